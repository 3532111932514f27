// The command-line grammar and what each switch puts into Parameters.
#include "common/Log.h"
#include "app/Parameters.h"
#include "recording_display.h"
#include "updateserver/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Parsed {
    int result = -1;
    Parameters params;
    std::vector<std::string> errors;
    std::vector<std::string> argv_after; // the argument vector after parsing
};

Parsed Parse(std::vector<std::string> words, const char *program = "/usr/local/bin/updater")
{
    Log::DeactivatePackage(0xFFFFFFFFu);
    words.insert(words.begin(), program);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    RecordingDisplay display;
    Parsed parsed;
    parsed.result = _get_params(display, static_cast<int>(words.size()), argv.data(), &parsed.params);
    parsed.errors = display.errors;
    for (size_t i = 0; i < words.size(); ++i)
        parsed.argv_after.push_back(argv[i]);
    return parsed;
}

std::string Join(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &word : words)
        text += "[" + word + "]";
    return text;
}

TEST(Params, DefaultsBeforeAnyOption)
{
    Parsed p = Parse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.errors.empty());
    EXPECT_FALSE(p.params.commands.IsSet(0xFFFFFFFFu));
    EXPECT_EQ(p.params.serial_number, 0u);
    EXPECT_EQ(p.params.router_serial, 0u);
    EXPECT_EQ(p.params.transport, 1u);
    EXPECT_FALSE(p.params.transport_given);
    EXPECT_EQ(p.params.baud_rate, 115200u);
    EXPECT_EQ(p.params.module_address, 0u);
    EXPECT_EQ(p.params.build, "");
    EXPECT_EQ(p.params.server_url, "http://update.velquire.com/cgi/u");
    EXPECT_EQ(p.params.server_url, UpdateServerRequest::DEFAULT_URL); // the server client agrees
    EXPECT_EQ(p.params.store_directory, "");
    EXPECT_EQ(p.params.app_name, "updater");
    EXPECT_EQ(p.params.log_mode, "a+");
    EXPECT_EQ(p.params.log_file, "Updater.log");
    EXPECT_TRUE(p.params.use_uei_bytes);
    EXPECT_FALSE(p.params.override_model_check);
    EXPECT_FALSE(p.params.debug_mask_given);
    EXPECT_FALSE(p.params.help_requested);
    EXPECT_FALSE(p.params.home_directory.empty());
    EXPECT_GE(p.params.home_directory.capacity(), 2048u);

    EXPECT_EQ(Parse({}, "C:\\tools\\updater.exe").params.app_name, "updater.exe");
    EXPECT_EQ(Parse({}, "updater").params.app_name, "updater");
}

TEST(Params, ParsingStartsFromTheDefaultsEachTime)
{
    Log::DeactivatePackage(0xFFFFFFFFu);
    Parameters params;
    params.serial_number = 7;
    params.bird_file = "left over";
    params.commands.Set(CMD_UPDATE);
    char program[] = "updater";
    char *argv[] = {program, nullptr};
    RecordingDisplay display;
    EXPECT_EQ(_get_params(display, 1, argv, &params), 0);
    EXPECT_EQ(params.serial_number, 0u);
    EXPECT_EQ(params.bird_file, "");
    EXPECT_FALSE(params.commands.IsSet(CMD_UPDATE));
}

TEST(Params, EachCommandSwitchSetsItsBit)
{
    const struct {
        std::vector<std::string> args;
        uint32_t bit;
    } cases[] = {
        {{"-B"}, CMD_BUILD_LIST},    {{"-L"}, CMD_LOCAL_BUILD_LIST}, {{"-D"}, CMD_DISCOVER},
        {{"-G"}, CMD_GET_BUILD},     {{"-I"}, CMD_INFO},             {{"-U"}, CMD_UPDATE},
        {{"-N"}, CMD_FINGERPRINT},   {{"-C"}, CMD_CHECK_BIRD},       {{"-J"}, CMD_GET_JWT},
        {{"-Z", "x"}, CMD_Z},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Join(c.args));
        Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(p.params.commands.IsSet(c.bit));
        EXPECT_FALSE(p.params.commands.IsSet(~c.bit));
        EXPECT_TRUE(p.params.commands.IsSet(CMD_ANY_COMMAND));
    }
    Parsed p = Parse({"-OVERRIDE"});
    EXPECT_TRUE(p.params.override_model_check);
    EXPECT_FALSE(p.params.commands.IsSet(0xFFFFFFFFu));
}

TEST(Params, SerialNumbersInEveryAcceptedForm)
{
    const struct {
        std::vector<std::string> args;
        uint32_t serial;
        uint32_t router;
    } cases[] = {
        {{"-d", "0x40F5849A"}, 0x40F5849A, 0},
        {{"-d", "0X40F5849A"}, 0x40F5849A, 0},
        {{"-d", "40f5849a"}, 0x40F5849A, 0},
        {{"-d=40F5849A"}, 0x40F5849A, 0},
        {{"-d", "1"}, 1, 0},
        {{"-d", "FFFFFFFF"}, 0xFFFFFFFF, 0},
        {{"-r", "0xd272031d"}, 0, 0xD272031D},
        {{"-r=D272031D", "-d", "2181F0EE"}, 0x2181F0EE, 0xD272031D},
        {{"-d", "1", "-d", "2"}, 2, 0}, // the last one counts
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Join(c.args));
        Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(p.errors.empty());
        EXPECT_EQ(p.params.serial_number, c.serial);
        EXPECT_EQ(p.params.router_serial, c.router);
    }
}

TEST(Params, TransportChoices)
{
    const struct {
        const char *argument;
        uint32_t transport;
        bool valid;
    } cases[] = {
        {"USB", 1, true},          {"USB2", 1, true}, {"TCPIP", 2, true}, {"TCP", 2, true},
        {"RECOVER", 255, true},    {"usb", 0, false}, {"tcpip", 0, false}, {"SERIAL", 0, false},
        {"", 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        Parsed p = Parse({std::string("-t=") + c.argument});
        EXPECT_EQ(p.result, c.valid ? 0 : 1);
        EXPECT_EQ(p.params.transport, c.transport);
        EXPECT_TRUE(p.params.transport_given);
        EXPECT_EQ(p.errors.size(), c.valid ? 0u : 1u);
    }
}

TEST(Params, ServerChoices)
{
    const struct {
        std::vector<std::string> args;
        const char *url;
        bool valid;
    } cases[] = {
        {{}, "http://update.velquire.com/cgi/u", true},
        {{"--https"}, "https://update.velquire.com/cgi/u", true},
        {{"--http"}, "http://update.velquire.com/cgi/u", true},
        {{"--https", "--"}, "https://update.velquire.com/cgi/u", true}, // "--" alone is ambiguous, skipped
        {{"-u", "localhost:8080"}, "localhost:8080", true},             // verbatim
        {{"-u=http://127.0.0.1:1/x?y=z"}, "http://127.0.0.1:1/x?y=z", true},
        {{"--htt"}, "http://update.velquire.com/cgi/u", true}, // ambiguous: skipped silently
        {{"--https", "--https"}, "https://update.velquire.com/cgi/u", false},
        {{"--http", "-u", "h:1"}, "h:1", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Join(c.args));
        Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, c.valid ? 0 : 1);
        EXPECT_EQ(p.params.server_url, c.url);
        if (c.valid) {
            EXPECT_TRUE(p.errors.empty());
        } else {
            EXPECT_EQ(p.errors, std::vector<std::string>{"Multiple update server URLs specified. Choose one of: "
                                                         "--https, --http, or -U <host:port>."});
        }
    }
}

TEST(Params, NumbersAndSwitchValues)
{
    struct Case {
        std::vector<std::string> args;
        std::string build;
        uint32_t baud;
        bool uei;
    } cases[] = {
        {{"-b", "42"}, "42", 115200, true},
        {{"-b", "007"}, "7", 115200, true},
        {{"-b", "12a"}, "0", 115200, true},
        {{"-b="}, "0", 115200, true},
        {{"-b", "99999999999"}, "0", 115200, true}, // does not fit 32 bits
        {{"-o", "9600"}, "", 9600, true},
        {{"-o", "fast"}, "", 0, true},
        {{"-m", "0"}, "", 115200, false},
        {{"-m", "1"}, "", 115200, true},
        {{"-m", "10"}, "", 115200, true},
        {{"-m", "true"}, "", 115200, true},
        {{"-m", "trueish"}, "", 115200, true},
        {{"-m", "false"}, "", 115200, false},
        {{"-m", "yes"}, "", 115200, false},
        {{"-m="}, "", 115200, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Join(c.args));
        Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.params.build, c.build);
        EXPECT_EQ(p.params.baud_rate, c.baud);
        EXPECT_EQ(p.params.use_uei_bytes, c.uei);
    }

    Parsed p = Parse({"-i", "/store", "-f", "a.bird", "-l", "note", "-k", "k.log", "-s", "/dev/ttyS1", "-e", "-n"});
    EXPECT_EQ(p.params.store_directory, "/store");
    EXPECT_EQ(p.params.bird_file, "a.bird");
    EXPECT_EQ(p.params.log_message, "note");
    EXPECT_EQ(p.params.log_file, "k.log");
    EXPECT_EQ(p.params.serial_port, "/dev/ttyS1");
    EXPECT_TRUE(p.params.echo_bytes);
    EXPECT_TRUE(p.params.flag_n);
}

TEST(Params, DebugMaskIsActivatedOnlyWhenWhollyANumber)
{
    const struct {
        const char *argument;
        uint32_t mask;
        bool activated;
        const char *rest;
    } cases[] = {
        {"0x10000", 0x10000, true, nullptr},
        {"0X10", 0x10, true, nullptr},
        {"65536", 0x10000, true, nullptr},
        {"0x10000000", 0x10000000, true, nullptr},
        {"0xFFFFFFFFF", 0xFFFFFFFF, true, nullptr}, // more than 32 bits keeps every bit
        {"12abc", 12, false, "abc"},
        {"0x1G", 1, false, "G"},
        {"0x", 0, false, "x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        Parsed p = Parse({"-X", c.argument});
        EXPECT_EQ(p.result, 0); // a bad mask does not make the command line invalid
        EXPECT_TRUE(p.params.debug_mask_given);
        EXPECT_EQ(p.params.debug_mask, c.mask);
        EXPECT_EQ(Log::ActivePackages(), c.activated ? c.mask : 0u);
        if (c.rest) {
            EXPECT_EQ(p.errors, std::vector<std::string>{std::string("Invalid format for \"-X\" parameter, "
                                                                     "unprocessed characters [") +
                                                         c.rest + "]"});
        } else {
            EXPECT_TRUE(p.errors.empty());
        }
    }
}

TEST(Params, OptionGrammar)
{
    struct Case {
        std::vector<std::string> args;
        bool override_check;
        uint32_t serial;
        uint32_t commands;
    } cases[] = {
        {{"-OVER"}, true, 0, 0},                 // unique prefix
        {{"-O"}, true, 0, 0},                    // "-o" is another option: matching is case-sensitive
        {{"-OVERRIDE=1"}, false, 0, 0},          // argument to an option that takes none
        {{"-OVERRIDES"}, false, 0, 0},           // longer than any option
        {{"-D=1", "-B"}, false, 0, CMD_BUILD_LIST},
        {{"-d", "-B"}, false, 0, CMD_BUILD_LIST}, // an argument may not look like an option
        {{"-B", "-d"}, false, 0, CMD_BUILD_LIST}, // missing argument at the end
        {{"-d40F5849A", "-B"}, false, 0, CMD_BUILD_LIST},
        {{"--d", "40F5849A"}, false, 0, 0},      // the number of dashes counts
        {{"-b"}, false, 0, 0},
        {{"stray", "-D", "words"}, false, 0, CMD_DISCOVER},
        {{"-", "-D"}, false, 0, CMD_DISCOVER},
        {{"-d", "40F5849A", "-d"}, false, 0x40F5849A, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Join(c.args));
        Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(p.errors.empty()); // failed words are skipped without a message
        EXPECT_EQ(p.params.override_model_check, c.override_check);
        EXPECT_EQ(p.params.serial_number, c.serial);
        for (uint32_t bit = 1; bit; bit <<= 1)
            EXPECT_EQ(p.params.commands.IsSet(bit), (c.commands & bit) != 0) << bit;
    }
}

TEST(Params, HelpEndsParsingAndForgetsEarlierErrors)
{
    Parsed p = Parse({"-B", "-Y", "-d", "0", "--he", "-Y", "-d", "1"});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.params.help_requested);
    EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(p.params.commands.IsSet(CMD_BUILD_LIST));
    EXPECT_EQ(p.params.serial_number, 0u); // "-d 1" after the help option is not read
    // Messages of the earlier errors were already shown, the later "-Y" is not read.
    EXPECT_EQ(p.errors, (std::vector<std::string>{"Unhandled command: [-Y]",
                                                  "Invalid serial number obtained from argument [0]"}));
}

TEST(Params, WordsThatAreNotOptionsMoveBehindTheOptions)
{
    Parsed p = Parse({"a", "-d", "1", "b", "-Q", "-C", "c", "-t=USB"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.argv_after, (std::vector<std::string>{"/usr/local/bin/updater", "-d", "1", "-Q", "-C", "-t=USB",
                                                      "a", "b", "c"}));
}

TEST(Params, PrefixNotesGoToTheDebugLog)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *log = open_memstream(&text, &size);
    ASSERT_NE(log, nullptr);
    Log::SetOutput(log);
    Parse({"-X", "1", "-d", "0x40F5849A", "-r", "0XD272031D"});
    Parse({"-d", "0x40F5849A"}); // package not active
    Log::SetOutput(nullptr);
    fclose(log);
    EXPECT_STREQ(text, "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n");
    free(text);
    Log::DeactivatePackage(0xFFFFFFFFu);
}

TEST(Params, DigitArguments)
{
    char *sentinel = reinterpret_cast<char *>(&sentinel);
    const struct {
        const char *text;
        uint32_t hex;
        uint32_t dec;
    } cases[] = {
        {"", 0, 0},           {"0", 0, 0},          {"19", 0x19, 19},
        {"1F", 0x1F, 0},      {"ffffffff", 0xFFFFFFFF, 0},
        {"4294967295", 0, 4294967295u}, // too big for base 16, fits base 10
        {"100000000", 0, 100000000},
        {" 1", 0, 0},         {"-1", 0, 0},         {"+1", 0, 0},
        {"0x10", 0, 0},       {"1 ", 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char *end = sentinel;
        EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex);
        bool hex_digits = strspn(c.text, "0123456789ABCDEFabcdef") == strlen(c.text);
        if (hex_digits) {
            EXPECT_EQ(end, c.text + strlen(c.text));
        } else {
            EXPECT_EQ(end, sentinel); // untouched
        }
        end = sentinel;
        EXPECT_EQ(_get_int_arg(c.text, &end), c.dec);
        EXPECT_EQ(_get_hex_arg(c.text, nullptr), 0u);
        EXPECT_EQ(_get_int_arg(c.text, nullptr), 0u);
    }
}

} // namespace
