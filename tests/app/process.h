// Runs a program as a child process and collects its exit status, standard
// output and standard error separately.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Runs in the child just before exec (umask, namespaces, ...).
    std::function<void()> before_exec;
    // Standard error goes into out too, in the order written.
    bool merge_streams = false;
    int hang_seconds = 60;
};

// A child that cannot exec exits with 127.
inline ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &args,
                                const ProcessOptions &options = ProcessOptions())
{
    ProcessResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(options.merge_streams ? out_pipe[1] : err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, STDIN_FILENO);
        if (options.before_exec)
            options.before_exec();
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    time_t deadline = time(nullptr) + options.hang_seconds;
    while (open_count > 0) {
        int left = static_cast<int>(deadline - time(nullptr));
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left * 1000) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.status = 128 + WTERMSIG(wstatus);
    return result;
}

// A fresh directory under TMPDIR (or /tmp), removed with everything in it.
class TempDir
{
public:
    TempDir()
    {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()))
            path_ = name.data();
    }
    ~TempDir()
    {
        if (!path_.empty())
            RunProcess("/bin/rm", {"-rf", path_});
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
