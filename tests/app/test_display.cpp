// The console display on a terminal and through pipes, and the debug log.
#include "app/CLI_Display.h"
#include "common/Log.h"
#include "recording_display.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Scenario = std::function<void(CLI_Display &)>;

// Reads fd until want bytes arrived, the writer closed it, or ten seconds
// passed without a byte.
std::string ReadUpTo(int fd, size_t want)
{
    std::string data;
    while (data.size() < want) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - data.size()));
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

// The child runs the scenario on a fresh CLI_Display and then waits for a
// byte on its standard input before it exits, so what the parent reads
// before releasing it was written at once, not flushed at exit.
void RunChild(const Scenario &scenario)
{
    // Start from buffered streams, as a freshly started program on this
    // output would (standard error buffered too, to see the display change it).
    setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ);
    setvbuf(stderr, nullptr, _IOFBF, BUFSIZ);
    CLI_Display display;
    scenario(display);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
}

// Standard output (and error) of the scenario on a raw pseudo-terminal.
std::string OnTerminal(const Scenario &scenario, size_t expected_size)
{
    struct termios raw;
    cfmakeraw(&raw);
    int master = -1;
    fflush(nullptr); // the child must not inherit pending output
    pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
    if (pid == 0)
        RunChild(scenario);
    EXPECT_GT(pid, 0);
    if (pid < 0)
        return "";
    std::string out = ReadUpTo(master, expected_size);
    EXPECT_EQ(write(master, "x", 1), 1);
    // Anything written after the expected bytes shows up as a difference.
    std::string rest = ReadUpTo(master, 1);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out + rest;
}

struct Piped {
    std::string out, err;
};

// Standard output and standard error of the scenario through two pipes.
Piped ThroughPipes(const Scenario &scenario, size_t expected_out, size_t expected_err)
{
    int in[2], out[2], err[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        RunChild(scenario);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Piped result;
    result.out = ReadUpTo(out[0], expected_out);
    result.err = ReadUpTo(err[0], expected_err);
    EXPECT_EQ(write(in[1], "x", 1), 1);
    close(in[1]);
    result.out += ReadUpTo(out[0], 1 << 20);
    result.err += ReadUpTo(err[0], 1 << 20);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return result;
}

std::string Bar(int filled, int pad, const char *percent, const char *label = nullptr)
{
    std::string text = label ? std::string("\r (") + label + ") [" : "\r[";
    text += std::string(filled, '=') + ">" + std::string(pad, ' ') + "] (" + percent + "% ) ";
    return text;
}

const std::string CLEAR = "\r" + std::string(88, ' ') + "\r";

struct TerminalCase {
    const char *name;
    Scenario scenario;
    std::string expected;
};

TEST(ConsoleDisplay, DrawsBarsAndSpinnersOnATerminal)
{
    const TerminalCase cases[] = {
        {"half", [](CLI_Display &d) { d.update_progress(0.5, nullptr); }, Bar(34, 34, " 50")},
        {"empty", [](CLI_Display &d) { d.update_progress(0.0, nullptr); }, Bar(0, 68, "  0")},
        // full: the pad width is -1, which prints one space
        {"full", [](CLI_Display &d) { d.update_progress(1.0, nullptr); }, Bar(69, 1, "100")},
        // 69 * 0.29 and 0.29 * 100 are both truncated, not rounded
        {"truncated", [](CLI_Display &d) { d.update_progress(0.29, nullptr); }, Bar(20, 48, " 28")},
        // a label takes its length plus four columns from the bar
        {"label", [](CLI_Display &d) { d.update_progress(0.25, "abc"); }, Bar(15, 46, " 25", "abc")},
        {"label full", [](CLI_Display &d) { d.update_progress(1.0, "Loader"); }, Bar(59, 1, "100", "Loader")},
        {"progress start and end",
         [](CLI_Display &d) {
             d.display_progress(true);
             d.display_progress(false);
         },
         CLEAR},
        {"spinner frames wrap after eight",
         [](CLI_Display &d) {
             for (int i = 0; i < 9; ++i)
                 d.update_spinner(true, "Downloading");
             d.update_spinner(true, nullptr);
             d.update_spinner(false, "Downloading");
         },
         "\r (Downloading) .      \r\r (Downloading) ..      \r\r (Downloading) ...      \r"
         "\r (Downloading) ....      \r\r (Downloading) .....      \r\r (Downloading) ....      \r"
         "\r (Downloading) ...      \r\r (Downloading) ..      \r\r (Downloading) .      \r"
         "\r ..      \r" +
             CLEAR},
        {"muted messages, drawn bar",
         [](CLI_Display &d) {
             d.mute_messages(true);
             d.message(UpdaterDisplayInterface::info, "dropped");
             d.message(UpdaterDisplayInterface::error, "dropped too");
             d.update_progress(0.5, nullptr);
             d.mute_messages(false);
             d.message(UpdaterDisplayInterface::info, "shown %d", 1);
         },
         Bar(34, 34, " 50") + "shown 1\n"},
    };
    for (const TerminalCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(OnTerminal(c.scenario, c.expected.size()), c.expected);
    }
}

TEST(ConsoleDisplay, OutOfRangeFractionsStayInsideTheBar)
{
    const TerminalCase cases[] = {
        {"negative", [](CLI_Display &d) { d.update_progress(-0.5, nullptr); }, Bar(0, 68, "  0")},
        {"above one", [](CLI_Display &d) { d.update_progress(7.0, nullptr); }, Bar(69, 1, "100")},
        {"not a number", [](CLI_Display &d) { d.update_progress(std::nan(""), nullptr); }, Bar(0, 68, "  0")},
        // a label wider than the bar leaves no bar rather than a whole one
        {"label wider than the bar",
         [](CLI_Display &d) { d.update_progress(0.5, std::string(70, 'L').c_str()); },
         Bar(0, 1, " 50", std::string(70, 'L').c_str())},
    };
    for (const TerminalCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(OnTerminal(c.scenario, c.expected.size()), c.expected);
    }
}

TEST(ConsoleDisplay, ThroughPipesOnlyMessagesAppearOnePerLine)
{
    Piped r = ThroughPipes(
        [](CLI_Display &d) {
            d.display_progress(true);
            d.update_progress(0.5, "Loader");
            d.message(UpdaterDisplayInterface::info, "Transferring loader block %d of %d, %d bytes", 1, 2, 300);
            d.update_spinner(true, "Downloading");
            d.update_spinner(false, nullptr);
            d.message(UpdaterDisplayInterface::error, "Download failed");
            d.display_progress(false);
            d.message(UpdaterDisplayInterface::info, "Update time: %.4f sec", 1.25);
        },
        strlen("Transferring loader block 1 of 2, 300 bytes\nUpdate time: 1.2500 sec\n"),
        strlen("Download failed\n"));
    EXPECT_EQ(r.out, "Transferring loader block 1 of 2, 300 bytes\nUpdate time: 1.2500 sec\n");
    EXPECT_EQ(r.err, "Download failed\n");
}

TEST(DisplayMessages, LevelsRouteAndLongTextIsCut)
{
    RecordingDisplay d;
    d.message(UpdaterDisplayInterface::info, "a %s", "b");
    d.message(UpdaterDisplayInterface::error, "c");
    d.message(static_cast<UpdaterDisplayInterface::Level>(7), "any other level is info");
    d.message(UpdaterDisplayInterface::info, "%s", std::string(3000, 'x').c_str());
    ASSERT_EQ(d.infos.size(), 3u);
    EXPECT_EQ(d.infos[0], "a b");
    EXPECT_EQ(d.infos[1], "any other level is info");
    EXPECT_EQ(d.infos[2], std::string(2047, 'x'));
    EXPECT_EQ(d.errors, std::vector<std::string>{"c"});

    d.mute_messages(true);
    d.message(UpdaterDisplayInterface::error, "muted");
    d.update_spinner(true, "still drawn");
    EXPECT_EQ(d.errors.size(), 1u);
    EXPECT_EQ(d.events, std::vector<std::string>{"spin still drawn"});
}

class DebugLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Log::DeactivatePackage(0xFFFFFFFFu);
        stream = open_memstream(&text, &size);
        ASSERT_NE(stream, nullptr);
        Log::SetOutput(stream);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        fclose(stream);
        free(text);
    }
    std::string Written()
    {
        fflush(stream);
        return std::string(text, size);
    }

    char *text = nullptr;
    size_t size = 0;
    FILE *stream = nullptr;
};

TEST_F(DebugLog, WritesOnlyActivePackagesAndAlwaysMaskZero)
{
    Log::log(DEBUG_Network_FIRM, "inactive\n");
    Log::log(0, "always %d\n", 1);
    Log::ActivatePackage(DEBUG_Network_FIRM | DEBUG_APP);
    Log::log(DEBUG_Network_FIRM, "firm\n");
    Log::log(DEBUG_Updater, "other package\n");
    Log::log(DEBUG_Updater | DEBUG_APP, "any bit in common\n");
    Log::DeactivatePackage(DEBUG_Network_FIRM);
    Log::log(DEBUG_Network_FIRM, "deactivated\n");
    Log::log(DEBUG_APP, "still active, no newline added");
    EXPECT_EQ(Written(), "always 1\nfirm\nany bit in common\nstill active, no newline added");
    EXPECT_EQ(Log::ActivePackages(), static_cast<uint32_t>(DEBUG_APP));
}

TEST_F(DebugLog, NothingWithoutAnOutputAndLongLinesAreCut)
{
    Log::SetOutput(nullptr);
    Log::log(0, "lost\n");
    Log::SetOutput(stream);
    Log::log(0, "%s", std::string(3000, 'y').c_str());
    EXPECT_EQ(Written(), std::string(2047, 'y'));
}

} // namespace
