#include "tests/support/process.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fixtures {

namespace {

using Clock = std::chrono::steady_clock;

int sLeftMs(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

Clock::time_point sDeadline(int timeout_ms)
{
    return Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

std::vector<char *> sPointers(std::vector<std::string> &words)
{
    std::vector<char *> p;
    for (std::string &w : words)
        p.push_back(&w[0]);
    p.push_back(nullptr);
    return p;
}

void sClose(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Parent of the folder this program lies in: build/ for build/tests/x.
std::string sBuildTreeOfSelf()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = 0;
    std::string dir(path);
    dir = dir.substr(0, dir.rfind('/'));
    size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "." : dir.substr(0, slash);
}

}  // namespace

Child::~Child()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait(-1);
    }
    CloseFds();
}

void Child::CloseFds()
{
    sClose(out_);
    sClose(err_);
}

bool Child::Start(const std::vector<std::string> &argv, const SpawnOptions &options)
{
    if (argv.empty() || pid_ > 0) {
        error_ = argv.empty() ? "nothing to run" : "already running";
        return false;
    }
    // Everything the child needs is made before the fork.
    std::vector<std::string> words = argv;
    std::vector<char *> args = sPointers(words);
    std::vector<std::string> env = options.env;
    std::vector<char *> env_entries = sPointers(env);
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((options.capture_out || options.merge_err) && pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (options.capture_err && !options.merge_err && pipe2(err, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        sClose(out[0]);
        sClose(out[1]);
        return false;
    }
    int err_file = -1;
    if (!options.err_file.empty())
        err_file = open(options.err_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int null_in = options.null_stdin ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (out[1] >= 0)
            dup2(out[1], STDOUT_FILENO);
        if (options.merge_err && out[1] >= 0)
            dup2(out[1], STDERR_FILENO);
        else if (err[1] >= 0)
            dup2(err[1], STDERR_FILENO);
        else if (err_file >= 0)
            dup2(err_file, STDERR_FILENO);
        if (null_in >= 0)
            dup2(null_in, STDIN_FILENO);
        // The entries are set in the child's own copy of the environment
        // (putenv keeps the strings made above), after before_exec, which
        // may change the environment too.
        if (options.before_exec)
            options.before_exec();
        for (char *entry : env_entries)
            if (entry)
                putenv(entry);
        execvp(args[0], args.data());
        _exit(127);
    }
    int fork_errno = errno;
    sClose(out[1]);
    sClose(err[1]);
    sClose(err_file);
    sClose(null_in);
    if (pid < 0) {
        sClose(out[0]);
        sClose(err[0]);
        error_ = std::string("fork: ") + std::strerror(fork_errno);
        return false;
    }
    pid_ = pid;
    out_ = out[0];
    err_ = err[0];
    return true;
}

bool Child::ReadLine(std::string *line, int timeout_ms)
{
    Clock::time_point end = sDeadline(timeout_ms);
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        *line = pending_;
        if (out_ < 0)
            return false;
        pollfd p = {out_, POLLIN, 0};
        int ready = poll(&p, 1, sLeftMs(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sClose(out_);
            return false;
        }
        pending_.append(buffer, size_t(n));
    }
}

bool Child::Collect(std::string *out, std::string *err, int timeout_ms)
{
    Clock::time_point end = sDeadline(timeout_ms);
    if (out) {
        *out = pending_;
    }
    pending_.clear();
    int *fds[2] = {&out_, &err_};
    std::string *sinks[2] = {out, err};
    for (;;) {
        pollfd p[2];
        int n = 0, which[2];
        for (int i = 0; i < 2; i++)
            if (*fds[i] >= 0) {
                p[n] = {*fds[i], POLLIN, 0};
                which[n++] = i;
            }
        if (n == 0)
            return true;
        int ready = poll(p, nfds_t(n), sLeftMs(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        for (int k = 0; k < n; k++) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t got = read(p[k].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got > 0) {
                if (sinks[which[k]])
                    sinks[which[k]]->append(buffer, size_t(got));
            } else {
                sClose(*fds[which[k]]);
            }
        }
    }
}

int Child::Reaped(int wait_status)
{
    pid_ = -1;
    reaped_ = true;
    if (WIFEXITED(wait_status))
        status_ = WEXITSTATUS(wait_status);
    else if (WIFSIGNALED(wait_status))
        status_ = 128 + WTERMSIG(wait_status);
    return status_;
}

int Child::Wait(int timeout_ms)
{
    if (pid_ <= 0)
        return reaped_ ? status_ : -1;
    int st = 0;
    if (timeout_ms < 0) {
        while (waitpid(pid_, &st, 0) < 0)
            if (errno != EINTR)
                return -1;
        return Reaped(st);
    }
    Clock::time_point end = sDeadline(timeout_ms);
    // A process descriptor becomes readable when the child ends: a blocking
    // wait with a bound, no polling.
    int pidfd = int(syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            if (pidfd >= 0)
                close(pidfd);
            return Reaped(st);
        }
        int left = sLeftMs(end);
        if (r < 0 || left == 0)
            break;
        if (pidfd >= 0) {
            pollfd p = {pidfd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(left < 10 ? left : 10));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return -1;
}

bool Child::Signal(int sig)
{
    return pid_ > 0 && kill(pid_, sig) == 0;
}

int Child::Stop(int sig, int timeout_ms)
{
    if (pid_ <= 0)
        return reaped_ ? status_ : -1;
    kill(pid_, sig);
    int status = Wait(timeout_ms);
    if (status >= 0)
        return status;
    kill(pid_, SIGKILL);
    Wait(-1);
    return -1;
}

std::string BuildDir()
{
    const char *dir = getenv("UPDATER_BUILD_DIR");
    return dir && *dir ? dir : sBuildTreeOfSelf();
}

std::string SourceDir()
{
    const char *dir = getenv("UPDATER_SOURCE_DIR");
    return dir && *dir ? dir : UPDATER_SOURCE_TREE;
}

}  // namespace fixtures
