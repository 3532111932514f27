// Runs the built corvantis-sim as a test would use it: start it, read its
// READY line, talk to its endpoints and its control socket, stop it.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline std::string Build_Dir() {
    const char *d = std::getenv("UPDATER_BUILD_DIR");
    return d ? d : ".";
}

// A fresh temporary directory, removed with its files at the end.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/cvsim-test-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &Path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    std::string Write(const std::string &name, const std::string &text) const {
        std::ofstream(File(name)) << text;
        return File(name);
    }

private:
    std::string path_;
};

// Reads with a deadline; returns the bytes read (fewer on time-out or EOF).
inline Bytes Read_Exact(int fd, size_t n, int timeout_ms = 3000) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            break;
        uint8_t buf[512];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) {
            if (r < 0 && errno == EAGAIN)
                continue;
            break;
        }
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// True when nothing arrives within the wait (used where a reply must not come).
inline bool Silent(int fd, int wait_ms) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) == 0)
        return true;
    uint8_t b;
    return read(fd, &b, 1) == 0;  // an orderly close is silence too
}

inline void Write_All(int fd, const Bytes &b) {
    size_t at = 0;
    while (at < b.size()) {
        ssize_t n = write(fd, b.data() + at, b.size() - at);
        ASSERT_GT(n, 0) << std::strerror(errno);
        at += size_t(n);
    }
}

class Tcp {
public:
    Tcp() = default;
    explicit Tcp(uint16_t port, const char *addr = "127.0.0.1") { Connect(port, addr); }
    ~Tcp() { Close(); }
    Tcp(const Tcp &) = delete;
    Tcp &operator=(const Tcp &) = delete;
    // Returns 0 or errno.
    int Connect(uint16_t port, const char *addr = "127.0.0.1") {
        Close();
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
            int e = errno;
            Close();
            return e;
        }
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return 0;
    }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }
    // False when the peer has gone (no SIGPIPE for the test).
    bool Send(const Bytes &b) {
        size_t at = 0;
        while (at < b.size()) {
            ssize_t n = send(fd_, b.data() + at, b.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += size_t(n);
        }
        return true;
    }
    Bytes Read(size_t n, int timeout_ms = 3000) { return Read_Exact(fd_, n, timeout_ms); }
    // Sends a request and reads a reply of the given wire length.
    Bytes Ask(const Bytes &req, size_t reply_len) {
        Send(req);
        return Read(reply_len);
    }

private:
    int fd_ = -1;
};

// Sends [addr, len, data] and returns the data bytes of a reply of the given
// data length, checking its address and length (a missing reply reads as
// that many 0xEE bytes).
inline Bytes Ask_Data(Tcp &t, uint8_t addr, const Bytes &data, size_t reply_data) {
    Bytes req(data.size() + 2);
    req[0] = addr;
    req[1] = uint8_t(data.size());
    std::copy(data.begin(), data.end(), req.begin() + 2);
    Bytes r = t.Ask(req, reply_data + 2);
    EXPECT_EQ(r.size(), reply_data + 2) << "request " << int(data[0]) << "/" << int(data.size() > 1 ? data[1] : 0);
    if (r.size() != reply_data + 2)
        return Bytes(reply_data, 0xEE);  // the failure is recorded; callers may index
    EXPECT_EQ(r[0], addr);
    EXPECT_EQ(r[1], reply_data);
    return Bytes(r.begin() + 2, r.end());
}

// True when the peer closes or resets the connection within the wait.
inline bool Dropped(Tcp &t, int timeout_ms = 3000) {
    pollfd p = {t.Fd(), POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    uint8_t b;
    return read(t.Fd(), &b, 1) <= 0;
}

// Connects once the device listens again (it is away while it restarts).
inline bool Reconnect(Tcp &t, uint16_t port, int *refusals = nullptr, const char *addr = "127.0.0.1") {
    for (int i = 0; i < 500; i++) {
        int e = t.Connect(port, addr);
        if (e == 0)
            return true;
        if (refusals && e == ECONNREFUSED)
            (*refusals)++;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Sim {
public:
    // Starts corvantis-sim with the arguments; fails the test when it does
    // not print READY.
    explicit Sim(std::vector<std::string> args, bool expect_ready = true) {
        std::string exe = Build_Dir() + "/corvantis-sim";
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::vector<char *> argv;
        args.insert(args.begin(), exe);
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // A simulator never outlives a test that died.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(127);
            dup2(out[1], 1);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        if (pid_ < 0) {
            ADD_FAILURE() << "cannot start " << exe << ": " << std::strerror(errno);
            return;
        }
        if (!expect_ready)
            return;
        std::string line;
        for (;;) {
            Bytes b = Read_Exact(out_, 1, 10000);
            if (b.empty() || b[0] == '\n')
                break;
            line.push_back(char(b[0]));
        }
        ready_ = line;
        if (line.rfind("READY", 0) != 0) {
            ADD_FAILURE() << "no READY line, got \"" << line << "\"";
            return;
        }
        size_t pos = 6;
        while (pos < line.size()) {
            size_t sp = line.find(' ', pos);
            std::string tok = line.substr(pos, sp == std::string::npos ? std::string::npos : sp - pos);
            auto eq = tok.find('=');
            endpoints_[tok.substr(0, eq)] = eq == std::string::npos ? "" : tok.substr(eq + 1);
            if (sp == std::string::npos)
                break;
            pos = sp + 1;
        }
    }
    ~Sim() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    const std::string &Ready() const { return ready_; }
    // "tcp:0000ABCD" -> "127.0.0.1:40000", "pty:..." -> path, "control" -> path.
    std::string Endpoint(const std::string &key) const {
        auto it = endpoints_.find(key);
        return it == endpoints_.end() ? "" : it->second;
    }
    uint16_t Port(const std::string &key) const {
        std::string e = Endpoint(key);
        auto c = e.rfind(':');
        return c == std::string::npos ? 0 : uint16_t(std::stoi(e.substr(c + 1)));
    }
    // Sends a signal and waits (bounded) for the exit; returns the exit
    // status, or -1 when it did not exit.
    int Stop(int sig = SIGTERM) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, sig);
        return Wait_Exit(10000);
    }
    int Wait_Exit(int timeout_ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // One control command; the reply line parsed as JSON.
    nlohmann::json Control(const std::string &command) const {
        std::string path = Endpoint("control");
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
            close(fd);
            ADD_FAILURE() << "control socket " << path << ": " << std::strerror(errno);
            return nullptr;
        }
        std::string line = command + "\n";
        Write_All(fd, Bytes(line.begin(), line.end()));
        std::string reply;
        for (;;) {
            Bytes b = Read_Exact(fd, 1, 5000);
            if (b.empty() || b[0] == '\n')
                break;
            reply.push_back(char(b[0]));
        }
        close(fd);
        return nlohmann::json::parse(reply, nullptr, false);
    }
    // The status entry of one device by serial ("%08X").
    nlohmann::json Device(const std::string &serial) const {
        nlohmann::json s = Control("status");
        for (const auto &d : s["devices"])
            if (d["serial"] == serial)
                return d;
        ADD_FAILURE() << "no device " << serial << " in " << s.dump();
        return nullptr;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string ready_;
    std::map<std::string, std::string> endpoints_;
};

// Waits (bounded) until a counter of a device's status reaches a value.
inline bool Counter_Reaches(const Sim &sim, const std::string &serial, const std::string &name, int value) {
    for (int i = 0; i < 300; i++) {
        nlohmann::json d = sim.Device(serial);
        if (d.is_object() && d["counters"][name].get<int>() >= value)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Opens a pty slave the way a host opens a serial line: raw, no echo.
inline int Open_Serial(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

}  // namespace simtest
