// Child processes for tests and benchmarks: the one way to start a program,
// read what it prints, wait for it with a bound and stop it. Nothing here
// reports through the test framework, so the benchmarks use it as well.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fixtures {

struct SpawnOptions {
    // "NAME=VALUE" entries set in the child's environment (over inherited ones).
    std::vector<std::string> env;
    // Standard output into a pipe of ours (ReadLine, Collect); else inherited.
    bool capture_out = true;
    // Standard error into a pipe of its own (Collect); else see below.
    bool capture_err = false;
    // Standard error into the standard output pipe, in the order written.
    bool merge_err = false;
    // Standard error appended to this file; empty: inherited.
    std::string err_file;
    // Standard input from /dev/null, so that no child waits on the terminal.
    bool null_stdin = true;
    // Runs in the child just before exec (namespaces, credentials, umask):
    // only system calls there, the parent may have threads.
    std::function<void()> before_exec;
};

// One child process. It never outlives the test or benchmark that started it:
// it gets SIGKILL when its parent dies, and the destructor kills and reaps a
// child still running (owners that want a clean stop call Stop first).
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Starts argv[0] (looked up in PATH when it has no slash). False with
    // Error() when it could not be started; a program that cannot be
    // executed exits with 127.
    bool Start(const std::vector<std::string> &argv, const SpawnOptions &options = SpawnOptions());
    const std::string &Error() const { return error_; }
    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0 || reaped_; }

    // The next line of standard output without its newline. False at the end
    // of the output or after timeout_ms; *line then holds what came of it.
    bool ReadLine(std::string *line, int timeout_ms);
    // Standard output and standard error (when captured) until both end.
    // False when timeout_ms passed first; what came so far is kept.
    bool Collect(std::string *out, std::string *err, int timeout_ms);
    int OutFd() const { return out_; }

    // Waits for the exit: the exit status, 128 + signal for a child killed by
    // one, -1 when it still runs after timeout_ms (negative: no bound).
    int Wait(int timeout_ms);
    // Sends sig and waits up to timeout_ms; a child still running then is
    // killed and -1 returned.
    int Stop(int sig = SIGTERM, int timeout_ms = 10000);
    bool Signal(int sig);

private:
    int Reaped(int wait_status);
    void CloseFds();

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pending_;  // read from out_ beyond the last line handed out
    std::string error_;
};

// Where the tests find the built programs and the source tree: the
// environment CTest gives them, else the build tree this binary lies in
// (build/tests/x or build/bench/x) and the source tree it was built from.
std::string BuildDir();
std::string SourceDir();

}  // namespace fixtures
