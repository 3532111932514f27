// corvantis-sim as the tests use it: the kit's launcher reporting its
// failures to the test, and the raw TCP, pseudo-terminal and control-socket
// exchanges the tests have with it.
#pragma once

#include "tests/support/fixtures.h"
#include "tests/support/sim_process.h"

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
    return fixtures::WaitUntil(
        [&] {
            int e = t.Connect(port, addr);
            if (refusals && e == ECONNREFUSED)
                (*refusals)++;
            return e == 0;
        },
        5000);
}

// The launcher for a test: a simulator that does not start, or a control
// command that gets no answer, fails the test.
class Sim : public fixtures::SimProcess {
public:
    // Starts corvantis-sim with the arguments; fails the test when it does
    // not print READY (unless told not to expect it).
    explicit Sim(const std::vector<std::string> &args, bool expect_ready = true) {
        if (!Start(args, expect_ready))
            ADD_FAILURE() << Error();
    }
    // One control command; the reply line parsed as JSON.
    nlohmann::json Control(const std::string &command) const {
        std::string reply;
        if (!ControlLine(command, &reply)) {
            ADD_FAILURE() << Error();
            return nullptr;
        }
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
};

// Waits (bounded) until a counter of a device's status reaches a value.
inline bool Counter_Reaches(const Sim &sim, const std::string &serial, const std::string &name, int value) {
    return fixtures::WaitUntil([&] {
        nlohmann::json d = sim.Device(serial);
        return d.is_object() && d["counters"][name].get<int>() >= value;
    });
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
