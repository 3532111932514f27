// A small command-line option parser for the program's option grammar:
//  - options are matched case-sensitively; a word that is not exactly an
//    option text selects the one option (with the same number of leading
//    dashes) that it is a strict prefix of: "-OVER" selects "-OVERRIDE";
//  - "-opt=value" gives the argument after "=";
//  - an option with a required argument and no "=" takes the next word,
//    which must not begin with "-";
//  - words that do not begin with "-" are not options; once the parser has
//    seen every word they are moved behind the options in the argument
//    vector, keeping their order.
// Failures (unknown, ambiguous, missing or unexpected argument) are
// reported per word so the caller can skip them.
#pragma once

#include <string>
#include <vector>

enum OptionArgument {
    OPTION_NO_ARGUMENT,
    OPTION_REQUIRED_ARGUMENT, // separate word or "=value"
};

struct OptionSpec {
    int id;           // -1 ends the table
    const char *text; // with its dashes: "-d", "--help"
    OptionArgument argument;
};

enum OptionStatus {
    OPTION_OK,
    OPTION_UNKNOWN,
    OPTION_AMBIGUOUS,
    OPTION_MISSING_ARGUMENT,
    OPTION_UNEXPECTED_ARGUMENT,
};

struct ParsedOption {
    OptionStatus status = OPTION_UNKNOWN;
    int id = -1;                  // table id when the text was matched
    const char *text = nullptr;   // the table text when matched, else the word
    const char *argument = nullptr; // points into the argument vector
};

class OptionParser
{
public:
    // argv[0] is the program and is left in place. The table must outlive
    // the parser. No flags are defined; 0 is the only value.
    OptionParser(int argc, char **argv, const OptionSpec *table, unsigned flags = 0);

    // The next option word, in command-line order; false when none is left.
    bool Next(ParsedOption &option);

private:
    // Index of the table entry the option part of a word selects, or -1
    // (status says why).
    int _match(const std::string &name, OptionStatus &status) const;
    void _move_words_behind();

    int argc_;
    char **argv_;
    const OptionSpec *table_;
    int index_ = 1;
    std::vector<bool> consumed_;
};
