// The demo (tools/demo, run by `make demo`) once, as a user runs it: its
// commands in order, the old and then the new build on both devices, and
// nothing left behind in TMPDIR or HOME.
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <regex>

using namespace fixtures;

TEST(Demo, UpdatesBothDevicesAndLeavesNothingBehind)
{
    TempDir tmp, home;
    RunOptions options;
    options.env = {"TMPDIR=" + tmp.path(), "HOME=" + home.path()};
    options.hang_seconds = 300;
    RunResult r = fixtures::Run({SourceDir() + "/tools/demo", BuildDir()}, options);
    const std::string &out = r.out, &err = r.err;
    ASSERT_EQ(r.status, 0) << out << err;

    // Each command is printed before its output, in this order.
    const char *commands[] = {"$ updater -D -t USB\n", "$ updater -B -d 0012ABCD\n", "$ updater -G -U -d 0012ABCD\n",
                              "$ updater -G -U -d 0012ABCE\n", "$ updater -D -t USB\n"};
    size_t at = 0;
    std::vector<size_t> starts;
    for (const char *c : commands) {
        at = out.find(c, at);
        ASSERT_NE(at, std::string::npos) << "missing " << c << out;
        starts.push_back(at++);
    }
    std::string before = out.substr(starts[0], starts[1] - starts[0]);
    std::string builds = out.substr(starts[1], starts[2] - starts[1]);
    std::string after = out.substr(starts[4]);
    for (const char *serial : {"0012ABCD", "0012ABCE"}) {
        std::string s = serial;
        EXPECT_TRUE(std::regex_search(before, std::regex(s + "  02       00      Hub 4 Pro      2\\.12\\.4 \\(       900\\)")))
            << before;
        EXPECT_TRUE(std::regex_search(after, std::regex(s + "  02       00      Hub 4 Pro      2\\.15\\.1 \\(      1300\\)")))
            << after;
    }
    EXPECT_NE(builds.find("1300           \t2.15.1"), std::string::npos) << builds;
    EXPECT_TRUE(std::regex_search(out, std::regex("Update time: [0-9.]+ sec\n\n\\$ updater -G -U -d 0012ABCE")));
    EXPECT_NE(out.find("demo: done"), std::string::npos);
    EXPECT_EQ(err.find("rror"), std::string::npos) << err;
    // The store and every temporary file lived in the demo's own directory.
    EXPECT_TRUE(ListDir(tmp.path()).empty()) << ListDir(tmp.path()).front();
    EXPECT_TRUE(ListDir(home.path()).empty());
}
