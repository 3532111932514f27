#include "app/OptionParser.h"

#include <cstring>

namespace {

size_t _dash_count(const char *text)
{
    size_t n = 0;
    while (text[n] == '-')
        ++n;
    return n;
}

} // namespace

OptionParser::OptionParser(int argc, char **argv, const OptionSpec *table, unsigned)
    : argc_(argc < 0 ? 0 : argc), argv_(argv), table_(table), consumed_(argc_, false)
{
}

int OptionParser::_match(const std::string &name, OptionStatus &status) const
{
    size_t dashes = _dash_count(name.c_str());
    int candidate = -1;
    int candidates = 0;
    for (int i = 0; table_[i].id != -1; ++i) {
        const char *text = table_[i].text;
        if (name == text) {
            status = OPTION_OK;
            return i;
        }
        if (_dash_count(text) != dashes)
            continue;
        if (name.size() < strlen(text) && strncmp(text, name.c_str(), name.size()) == 0) {
            candidate = i;
            ++candidates;
        }
    }
    if (candidates == 1) {
        status = OPTION_OK;
        return candidate;
    }
    status = candidates == 0 ? OPTION_UNKNOWN : OPTION_AMBIGUOUS;
    return -1;
}

bool OptionParser::Next(ParsedOption &option)
{
    while (index_ < argc_) {
        int here = index_++;
        const char *word = argv_[here];
        if (!word || word[0] != '-')
            continue; // not an option; moved behind the options at the end
        consumed_[here] = true;

        option = ParsedOption();
        option.text = word;
        std::string name = word;
        const char *equals = strchr(word, '=');
        if (equals) {
            name.assign(word, static_cast<size_t>(equals - word));
        }
        int entry = _match(name, option.status);
        if (entry < 0)
            return true;
        option.id = table_[entry].id;
        option.text = table_[entry].text;

        if (table_[entry].argument == OPTION_NO_ARGUMENT) {
            if (equals)
                option.status = OPTION_UNEXPECTED_ARGUMENT;
            return true;
        }
        if (equals) {
            option.argument = equals + 1;
            return true;
        }
        const char *next = index_ < argc_ ? argv_[index_] : nullptr;
        if (!next || next[0] == '-') {
            option.status = OPTION_MISSING_ARGUMENT;
            return true;
        }
        consumed_[index_] = true;
        option.argument = next;
        ++index_;
        return true;
    }
    _move_words_behind();
    return false;
}

void OptionParser::_move_words_behind()
{
    if (argc_ <= 1)
        return;
    std::vector<char *> options, others;
    for (int i = 1; i < argc_; ++i)
        (consumed_[i] ? options : others).push_back(argv_[i]);
    int out = 1;
    for (char *word : options)
        argv_[out++] = word;
    for (char *word : others)
        argv_[out++] = word;
    consumed_.assign(argc_, true); // a further call finds nothing more to move
}
