// The updater program run as a user runs it: what it prints where, and how
// it exits. Every run that gets as far as the store passes "-i DIR" with a
// temporary directory; runs that may reach a device or a server also get a
// private network namespace with no interfaces up.
#include "tests/support/netns.h"
#include "usage_texts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

const char COPYRIGHT[] = "Copyright (c) 2026 Velquire. All rights reserved.\n";

std::string Program()
{
    return fixtures::BuildDir() + "/updater";
}

bool IsVersionLine(const std::string &line)
{
    static const std::regex form(
        "Updater \\(Version: 2\\.12\\.4 (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-9]{4}\\)");
    return std::regex_match(line, form);
}

// Splits standard output into its first line and the rest.
std::pair<std::string, std::string> FirstLine(const std::string &text)
{
    size_t end = text.find('\n');
    if (end == std::string::npos)
        return {text, ""};
    return {text.substr(0, end), text.substr(end + 1)};
}

std::string Join(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

using fixtures::RunOptions;
using fixtures::RunResult;
using fixtures::TempDir;

class CommandLine : public ::testing::Test
{
protected:
    // Runs the program with "-i <temporary dir>" in front of args.
    RunResult Run(const std::vector<std::string> &args, RunOptions options = RunOptions())
    {
        std::vector<std::string> all = {Program(), "-i", store.path()};
        all.insert(all.end(), args.begin(), args.end());
        return fixtures::Run(all, options);
    }

    // The same in a network namespace of its own: commands that look for
    // devices or servers see no network at all.
    RunResult RunIsolated(const std::vector<std::string> &args, bool merge_streams = false)
    {
        RunOptions options;
        options.merge_streams = merge_streams;
        options.before_exec = netns::isolateChild;
        return Run(args, options);
    }

    TempDir store;
};

struct UsageCase {
    std::vector<std::string> args;
    std::string expected_err;
};

TEST_F(CommandLine, HelpAndEmptyCommandLinesPrintUsageAndSucceed)
{
    const std::string full = std::string(USAGE_SHORT) + USAGE_PARAMETERS + USAGE_SAMPLES;
    const std::string extended = std::string(USAGE_SHORT) + USAGE_PARAMETERS + USAGE_EXTENDED + USAGE_SAMPLES;
    const UsageCase cases[] = {
        {{}, USAGE_SHORT},
        {{"-h"}, full},
        {{"-H"}, full},
        {{"--help"}, full},
        {{"--he"}, full}, // unique prefix of --help
        {{"-X", "0x10000", "-h"}, extended},
        {{"-h", "-X", "0x10000"}, full}, // nothing after the help option is read
        {{"-Y", "-h"}, "Unhandled command: [-Y]\n" + full}, // an earlier error is forgotten
        {{"-d", "40F5849G", "-h"}, "Invalid serial number obtained from argument [40F5849G]\n" + full},
        {{"-X", "1"}, USAGE_SHORT},    // no command
        {{"-OVERRIDE"}, USAGE_SHORT},  // a switch, not a command
        {{"-Z"}, USAGE_SHORT},         // -Z without its argument is skipped
        {{"-d40F5849A"}, USAGE_SHORT}, // unknown option, skipped silently
        {{"--htt", "-Q", "stray"}, USAGE_SHORT},
    };
    for (const UsageCase &c : cases) {
        SCOPED_TRACE(Join(c.args));
        RunResult r = Run(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.expected_err);
        auto [version, rest] = FirstLine(r.out);
        EXPECT_TRUE(IsVersionLine(version)) << version;
        EXPECT_EQ(rest, COPYRIGHT);
    }
}

struct ErrorCase {
    std::vector<std::string> args;
    std::string messages; // standard error before the short usage
};

TEST_F(CommandLine, ParseErrorsPrintTheMessageThenShortUsageAndFail)
{
    const ErrorCase cases[] = {
        {{"-Y"}, "Unhandled command: [-Y]\n"},
        {{"-B", "-d", "40F5849G"}, "Invalid serial number obtained from argument [40F5849G]\n"},
        {{"-B", "-d", "0"}, "Invalid serial number obtained from argument [0]\n"},
        {{"-B", "-d", "0x"}, "Invalid serial number obtained from argument []\n"},
        {{"-B", "-d", "0X0"}, "Invalid serial number obtained from argument [0]\n"},
        {{"-B", "-d="}, "Invalid serial number obtained from argument []\n"},
        // Nine digits do not fit a serial number; they are not cut to eight.
        {{"-B", "-d", "140F5849A"}, "Invalid serial number obtained from argument [140F5849A]\n"},
        {{"-D", "-r", "0xD27203G"}, "Invalid router serial number obtained from argument [D27203G]\n"},
        {{"-D", "-t", "usb"}, "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-D", "-t", "SERIAL"},
         "Invalid transport type:[SERIAL]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-B", "--http", "--https"},
         "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
        {{"-B", "-u", "localhost:8080", "--http"},
         "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n"},
        {{"-Y", "-d", "0", "-t", "x"},
         "Unhandled command: [-Y]\nInvalid serial number obtained from argument [0]\n"
         "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
    };
    for (const ErrorCase &c : cases) {
        SCOPED_TRACE(Join(c.args));
        RunResult r = Run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.messages + USAGE_SHORT);
        auto [version, rest] = FirstLine(r.out);
        EXPECT_TRUE(IsVersionLine(version)) << version;
        EXPECT_EQ(rest, COPYRIGHT);
    }
}

TEST_F(CommandLine, BadDebugMaskIsReportedButAccepted)
{
    RunResult r = Run({"-C", "-X", "0x1G"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [G]\n");
    EXPECT_TRUE(IsVersionLine(FirstLine(r.out).first));
}

TEST_F(CommandLine, AcceptedCommandsWithoutActionPrintOnlyTheVersionLine)
{
    const std::vector<std::string> cases[] = {{"-C"}, {"-I"}, {"-Z", "anything"}, {"-Z=1"}, {"-C", "-OVER"}};
    for (const auto &args : cases) {
        SCOPED_TRACE(Join(args));
        RunResult r = Run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        auto [version, rest] = FirstLine(r.out);
        EXPECT_TRUE(IsVersionLine(version)) << version;
        EXPECT_EQ(rest, "");
    }
}

TEST_F(CommandLine, ParameterLogListsUnconsumedWordsBehindTheOptions)
{
    RunResult r = Run({"-C", "first", "-X", "0x10000", "-Q", "second", "-d40F5849A"});
    EXPECT_EQ(r.status, 0);
    std::string expected = "\nApplication parameters:[updater]\n\t[" + Program() + "]\n\t[-i]\n\t[" + store.path() +
                           "]\n\t[-C]\n\t[-X]\n\t[0x10000]\n\t[-Q]\n\t[-d40F5849A]\n\t[first]\n\t[second]\n";
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
}

TEST_F(CommandLine, StoreDirectoryIsCreatedWithEveryMissingParentAtMode0755)
{
    RunOptions options;
    options.before_exec = [] { umask(0); };
    std::string root = store.path() + "/a/b";
    RunResult r = fixtures::Run({Program(), "-C", "-i", root}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string &dir : {store.path() + "/a", root, root + "/updater"}) {
        struct stat st;
        ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
    }
    // A second run finds the directory and changes nothing.
    EXPECT_EQ(fixtures::Run({Program(), "-C", "-i", root}, options).status, 0);
}

TEST_F(CommandLine, StorePathBlockedByAFileFails)
{
    std::string blocker = store.path() + "/file";
    std::ofstream(blocker) << "not a directory";
    for (const std::string &root : {blocker, store.path()}) {
        SCOPED_TRACE(root);
        if (root == store.path())
            std::ofstream(root + "/updater") << "in the way";
        RunResult r = fixtures::Run({Program(), "-L", "-d", "40F5849A", "-i", root});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Could not find updater directory at " + root + "/updater\n");
        auto [version, rest] = FirstLine(r.out);
        EXPECT_TRUE(IsVersionLine(version));
        EXPECT_EQ(rest, "");
    }
}

struct DispatchCase {
    std::vector<std::string> args;
    int status;
    std::string out;   // standard output after the version line
    std::string err;   // standard error, when exact
    std::string err_end; // the end of standard error, when only that is fixed
};

// Missing arguments of the commands main runs; none reaches a device or server.
TEST_F(CommandLine, CommandsWithoutTheirDeviceOrPortFail)
{
    const DispatchCase cases[] = {
        {{"-N"}, 1, "", "Must specify the serial port used for connecting\n", ""},
        // the fingerprint check comes first and ends the run
        {{"-N", "-G"}, 1, "", "Must specify the serial port used for connecting\n", ""},
        {{"-G"}, 1, "", "-G must specify a specific device via -d\n--help for usage information\n", ""},
        {{"-G", "-U"}, 1, "", "-G must specify a specific device via -d\n--help for usage information\n", ""},
        {{"-U"}, 1, "", "Must specify the specific device to be updated\n", ""},
        {{"-U", "-t", "USB", "-b", "7"}, 1, "", "Must specify the specific device to be updated\n", ""},
        {{"-B"}, 1, "", std::string("Error must supply a serial number for the List Builds command\n") + USAGE_SHORT,
         ""},
        {{"-L"}, 1, "",
         std::string("Error must supply a serial number for the List Local Builds command\n") + USAGE_SHORT, ""},
        {{"-J"}, 1, "", std::string("Error must supply a serial number for the Get JWT command\n") + USAGE_SHORT, ""},
        // -d40F5849A is not "-d": the list command has no serial number
        {{"-B", "-d40F5849A"}, 1, "",
         std::string("Error must supply a serial number for the List Builds command\n") + USAGE_SHORT, ""},
    };
    for (const DispatchCase &c : cases) {
        SCOPED_TRACE(Join(c.args));
        RunResult r = Run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        auto [version, rest] = FirstLine(r.out);
        EXPECT_TRUE(IsVersionLine(version)) << version;
        EXPECT_EQ(rest, c.out);
    }
}

bool EndsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What main itself prints around each command, and the status it ends with.
TEST_F(CommandLine, CommandsRunWithTheirOwnOutputAndStatus)
{
    NETNS_ISOLATION_REQUIRED();
    const std::string no_port = "/nonexistent/ttyUSB9";
    const DispatchCase cases[] = {
        {{"-B", "-d", "0x40F5849A"}, 0, "No builds found for device [40F5849A]\n", "", ""},
        {{"-B", "-d", "0X40F5849A"}, 0, "No builds found for device [40F5849A]\n", "", ""},
        {{"-B", "-d", "40f5849a"}, 0, "No builds found for device [40F5849A]\n", "", ""},
        {{"-B", "-d=40F5849A"}, 0, "No builds found for device [40F5849A]\n", "", ""},
        {{"-B", "-d", "F5849A"}, 0, "No builds found for device [00F5849A]\n", "", ""},
        {{"-L", "-d", "40F5849A"}, 0, "No builds found for device [40F5849A]\n", "", ""},
        {{"-J", "-d", "40F5849A"}, 0, "\n", "", ""},
        {{"-D", "-t", "USB"}, 0, "Searching for Corvantis devices\nDiscovered Devices: (USB)\n    No devices found.\n",
         "", ""},
        {{"-D", "-t", "RECOVER"}, 0,
         "Searching for Corvantis devices\nDiscovered Devices: (USB)\n    No devices found.\n", "", ""},
        {{"-D", "-t", "TCPIP"}, 0,
         "Searching for Corvantis devices\nDiscovered Devices: (TCPIP)\n    No devices found.\n", "", ""},
        {{"-D", "-t", "TCP"}, 0,
         "Searching for Corvantis devices\nDiscovered Devices: (TCPIP)\n    No devices found.\n", "", ""},
        {{"-D", "-r", "D272031D"}, 0,
         "Searching for Corvantis Network devices connected to D272031D\nDiscovered Devices: (Unknown)\n"
         "    No devices found.\n",
         "", ""},
        {{"-D", "-r", "0xD272031D", "-t", "TCPIP"}, 0,
         "Searching for Corvantis Network devices connected to D272031D\nDiscovered Devices: (TCPIP)\n"
         "    No devices found.\n",
         "", ""},
        {{"-G", "-d", "40F5849A"}, 1,
         "Retrieving firmware for device with serial number 40F5849A\nNo build specified\nUsing Latest build\n", "",
         ""},
        {{"-G", "-d", "40F5849A", "-b", "99528558"}, 1,
         "Retrieving firmware for device with serial number 40F5849A\nRetrieving firmware build 99528558\n", "", ""},
        {{"-G", "-d", "40F5849A", "-b", "12a"}, 1,
         "Retrieving firmware for device with serial number 40F5849A\nRetrieving firmware build 0\n", "", ""},
        {{"-N", "-s", no_port}, 1, "", "", "Got no response from chip\n"},
        {{"-U", "-d", "40F5849A"}, 1, "", "", ""},
        {{"-U", "-t", "RECOVER", "-s", no_port}, 1, "", "", ""},
    };
    for (const DispatchCase &c : cases) {
        SCOPED_TRACE(Join(c.args));
        std::vector<std::string> args = c.args;
        // No run may reach a real server, even inside the namespace.
        args.insert(args.begin(), {"-u", "http://127.0.0.1:9/cgi/u"});
        RunResult r = RunIsolated(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        auto [version, rest] = FirstLine(r.out);
        EXPECT_TRUE(IsVersionLine(version)) << version;
        if (c.out.empty() && c.status != 0) {
            EXPECT_NE(r.err, ""); // a failed command says why
        } else {
            EXPECT_EQ(rest, c.out);
        }
        if (!c.err_end.empty()) {
            EXPECT_TRUE(EndsWith(r.err, c.err_end)) << r.err;
        }
    }
}

size_t Find(const std::string &text, const std::string &what)
{
    size_t at = text.find(what);
    EXPECT_NE(at, std::string::npos) << "missing: " << what << "\nin:\n" << text;
    return at;
}

TEST_F(CommandLine, FingerprintAndDownloadRunBeforeTheOneMainCommand)
{
    NETNS_ISOLATION_REQUIRED();
    const std::vector<std::string> server = {"-u", "http://127.0.0.1:9/cgi/u"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), server.begin(), server.end());
        return RunIsolated(args, true);
    };

    // The list comes last whatever the order of the switches.
    RunResult r = run({"-B", "-G", "-d", "40F5849A", "-N", "-s", "/nonexistent/tty"});
    EXPECT_EQ(r.status, 0); // the build list ends the run with 0
    size_t fingerprint = Find(r.out, "Got no response from chip\n");
    size_t download = Find(r.out, "Retrieving firmware for device with serial number 40F5849A\n");
    size_t list = Find(r.out, "No builds found for device [40F5849A]\n");
    EXPECT_LT(fingerprint, download);
    EXPECT_LT(download, list);

    // Without a main command the failures of -N and -G set the status.
    EXPECT_EQ(run({"-N", "-s", "/nonexistent/tty", "-C"}).status, 1);
    EXPECT_EQ(run({"-G", "-d", "40F5849A"}).status, 1);

    // Exactly one main command runs: discovery before update before the lists.
    r = run({"-B", "-L", "-J", "-U", "-D", "-t", "USB", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Discovered Devices: (USB)\n"), std::string::npos);
    EXPECT_EQ(r.out.find("No builds found"), std::string::npos);

    r = run({"-L", "-B", "-J", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0);
    size_t first = Find(r.out, "No builds found for device [40F5849A]\n");
    EXPECT_EQ(r.out.find("No builds found", first + 1), std::string::npos) << r.out;
    EXPECT_TRUE(EndsWith(r.out, "No builds found for device [40F5849A]\n")) << r.out; // no token line after it
}

// The default store root is the home directory's ".velquire", with the home
// directory taken from the password database before HOME. The run gets its
// own mount namespace with a password file of the test's making, and runs as
// a user id of its own.
TEST_F(CommandLine, DefaultStoreIsUnderTheHomeDirectoryFromThePasswordDatabase)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace and another user id";
    const unsigned uid = 54321;
    ASSERT_EQ(chmod(store.path().c_str(), 0755), 0);
    const std::string passwd_home = store.path() + "/passwd-home", env_home = store.path() + "/env-home";
    for (const std::string &dir : {passwd_home, env_home}) {
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(chown(dir.c_str(), uid, uid), 0);
    }
    struct HomeCase {
        bool in_passwd;
        bool env_set;
        int status;
        std::string created; // store root expected, empty for none
    } cases[] = {
        {true, true, 0, passwd_home + "/.velquire/updater"},
        {false, true, 0, env_home + "/.velquire/updater"},
        {false, false, 1, ""},
    };
    for (const HomeCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.in_passwd) + std::to_string(c.env_set));
        std::string passwd_file = store.path() + "/passwd";
        {
            std::ofstream passwd(passwd_file);
            passwd << "root:x:0:0:root:/root:/bin/sh\n";
            if (c.in_passwd)
                passwd << "tester:x:" << uid << ":" << uid << "::" << passwd_home << ":/bin/sh\n";
        }
        RunOptions options;
        options.before_exec = [&] {
            netns::isolateChild();
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                mount(passwd_file.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
                _exit(125);
            if (c.env_set)
                setenv("HOME", env_home.c_str(), 1);
            else
                unsetenv("HOME");
            umask(022);
            if (setgid(uid) != 0 || setuid(uid) != 0)
                _exit(125);
        };
        // No "-i": the point is the default. The namespace and the user id
        // keep the run away from the invoking user's home.
        RunResult r = fixtures::Run({Program(), "-C", "-X", "0x10000"}, options);
        if (r.status == 125)
            GTEST_SKIP() << "needs root for a private mount namespace";
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.created.empty()) {
            EXPECT_NE(r.err.find("Updater: FailedvDirectory_GetHomeDirectory()==> "), std::string::npos) << r.err;
            struct stat st;
            EXPECT_NE(stat((passwd_home + "/.velquire").c_str(), &st), 0);
            EXPECT_NE(stat((env_home + "/.velquire").c_str(), &st), 0);
        } else {
            struct stat st;
            ASSERT_EQ(stat(c.created.c_str(), &st), 0) << r.err;
            EXPECT_EQ(st.st_mode & 07777, 0755u);
            fixtures::Run({"/bin/rm", "-rf", passwd_home + "/.velquire", env_home + "/.velquire"});
        }
    }
}

} // namespace
