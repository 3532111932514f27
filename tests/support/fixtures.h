// Helpers shared by the store, server-client, tools and end-to-end tests:
// temporary directories, whole-file reads and writes, and running the
// image builder and other programs of the source tree.
#pragma once

#include "common/vDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fixtures {

// A fresh directory under TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/updater-test.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data()))
            ADD_FAILURE() << "mkdtemp failed";
        path_ = buffer.data();
    }
    ~TempDir() { vDirectory_DeleteTree(path_.c_str()); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

inline bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Names in a directory except "." and "..", sorted.
inline std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (struct dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string SourceDir()
{
    const char *dir = getenv("UPDATER_SOURCE_DIR");
    return dir ? dir : ".";
}

inline std::string BuildDir()
{
    const char *dir = getenv("UPDATER_BUILD_DIR");
    return dir ? dir : ".";
}

inline std::string Tool(const std::string &name)
{
    return SourceDir() + "/tools/" + name;
}

// Runs argv (no shell); returns the exit status, or -1 when it did not exit
// (a child still running after hang_seconds is killed). Standard output and
// standard error are captured when out and err are given.
inline int Run(const std::vector<std::string> &argv, std::string *out = nullptr, std::string *err = nullptr,
               int hang_seconds = 120)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    std::string collected[2];
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    time_t deadline = time(nullptr) + hang_seconds;
    while (open_fds > 0) {
        int ready = poll(fds, 2, 1000);
        if (ready < 0)
            break;
        if (ready == 0) {
            if (time(nullptr) > deadline) {
                ADD_FAILURE() << argv[0] << " hung; killed";
                kill(pid, SIGKILL);
                break;
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                collected[i].append(buffer, (size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (int i = 0; i < 2; ++i)
        if (fds[i].fd >= 0)
            close(fds[i].fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out)
        *out = collected[0];
    if (err)
        *err = collected[1];
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}


// Runs the image builder: make-bird -o path ARGS...; fails the test when it fails.
inline std::string MakeBird(const std::string &path, const std::vector<std::string> &args)
{
    // -I -S: the standard library alone, without site packages to import.
    std::vector<std::string> argv{"python3", "-I", "-S", Tool("make-bird"), "-o", path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string err;
    int status = Run(argv, nullptr, &err);
    EXPECT_EQ(status, 0) << "make-bird failed: " << err;
    return path;
}

} // namespace fixtures
