// The test side of the kit: running programs to the end, the image builder,
// waiting on state that changes elsewhere, and small text helpers. Failures
// of the kit itself (a program that hung) are reported as test failures.
#pragma once

#include "tests/support/files.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fixtures {

inline std::string Tool(const std::string &name)
{
    return SourceDir() + "/tools/" + name;
}

struct RunOptions {
    std::vector<std::string> env;       // "NAME=VALUE" set for the program
    std::function<void()> before_exec;  // see SpawnOptions
    bool merge_streams = false;         // standard error into out, in the order written
    int hang_seconds = 120;             // then the program is killed and the test fails
};

struct RunResult {
    int status = -1;  // exit status, 128 + signal, -1 when it could not run
    std::string out;
    std::string err;
};

// Runs argv (no shell) to its end, collecting standard output and standard
// error; standard input is /dev/null.
inline RunResult Run(const std::vector<std::string> &argv, const RunOptions &options = RunOptions())
{
    RunResult result;
    SpawnOptions spawn;
    spawn.env = options.env;
    spawn.before_exec = options.before_exec;
    spawn.merge_err = options.merge_streams;
    spawn.capture_err = !options.merge_streams;
    Child child;
    if (!child.Start(argv, spawn)) {
        ADD_FAILURE() << child.Error();
        return result;
    }
    const int bound_ms = options.hang_seconds * 1000;
    auto start = std::chrono::steady_clock::now();
    bool ended = child.Collect(&result.out, &result.err, bound_ms);
    int spent = int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count());
    result.status = ended ? child.Wait(std::max(0, bound_ms - spent)) : -1;
    if (result.status < 0) {
        ADD_FAILURE() << argv[0] << " hung; killed";
        result.status = child.Stop(SIGKILL, 10000);
    }
    return result;
}

// Runs the image builder: make-bird -o path ARGS...; fails the test when it fails.
inline std::string MakeBird(const std::string &path, const std::vector<std::string> &args)
{
    // -I -S: the standard library alone, without site packages to import.
    std::vector<std::string> argv{"python3", "-I", "-S", Tool("make-bird"), "-o", path};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = Run(argv);
    EXPECT_EQ(r.status, 0) << "make-bird failed: " << r.err;
    return path;
}

// Waits until done() holds, looking every poll_ms for at most timeout_ms:
// for state that changes elsewhere without telling (another process's
// status, a file, a counter). True when it came to hold.
template <typename Done>
bool WaitUntil(Done done, int timeout_ms = 3000, int poll_ms = 10)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

// The lines of a text, without their newlines; a last line without one counts.
inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// Lower-case hexadecimal, two digits a byte.
inline std::string Hex(const void *data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; i++) {
        text.push_back(digits[p[i] >> 4]);
        text.push_back(digits[p[i] & 15]);
    }
    return text;
}
inline std::string Hex(const std::string &bytes) { return Hex(bytes.data(), bytes.size()); }
inline std::string Hex(const std::vector<uint8_t> &bytes) { return Hex(bytes.data(), bytes.size()); }

inline std::vector<uint8_t> FromHex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The message of the std::runtime_error that f throws.
inline std::string ThrownText(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace fixtures
