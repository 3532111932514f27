// Private network namespaces for tests that send discovery traffic, so that
// nothing they send reaches this machine's real interfaces.
//
// A test binary using this defines main as
//     int main(int argc, char **argv) { return netns::main(argc, argv); }
// It then runs inside a fresh network namespace of its own (only lo, up), and
// it can start peers: processes in further namespaces joined to ours by a
// veth pair, each playing a device or a server on that link. A peer runs a
// given program, or this same binary in one of the responder modes below.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace netns {

// Why namespace tests cannot run here; empty when they can.
inline std::string &skipReason()
{
    static std::string reason = "the namespace was never set up";
    return reason;
}

#define NETNS_REQUIRED()                                                                                            \
    do {                                                                                                            \
        if (!netns::skipReason().empty())                                                                           \
            GTEST_SKIP() << netns::skipReason();                                                                    \
    } while (0)

inline bool run(const std::string &command)
{
    std::string quiet = "(" + command + ") >/dev/null 2>&1";
    return system(quiet.c_str()) == 0;
}

// Moves this process into a fresh network namespace with lo up. Must run
// before any thread exists: a namespace change applies to the calling thread
// and what it starts afterwards.
inline void enterPrivate()
{
    if (geteuid() != 0) {
        skipReason() = "needs root to create a private network namespace";
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        skipReason() = std::string("cannot create a network namespace: ") + strerror(errno);
        return;
    }
    if (!run("ip link set lo up")) {
        skipReason() = "cannot bring lo up in the private namespace (is iproute2 installed?)";
        return;
    }
    skipReason().clear();
}

inline std::string selfPath()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    path[n] = 0;
    return path;
}

// A process in its own namespace at the far end of a veth pair. Our end is
// localName with localCidr; the peer's end is "peer0" with peerCidr. The
// program must print a line starting with "READY" once it serves.
class Peer {
public:
    Peer(const std::string &localName, const std::string &localCidr, const std::string &peerCidr,
         const std::vector<std::string> &program)
    {
        start(localName, localCidr, peerCidr, program);
    }
    // This binary in responder mode: "--peer MODE ARGS...".
    static std::vector<std::string> self(const std::vector<std::string> &modeAndArgs)
    {
        std::vector<std::string> argv{selfPath(), "--peer"};
        argv.insert(argv.end(), modeAndArgs.begin(), modeAndArgs.end());
        return argv;
    }
    ~Peer() { stop(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    const std::string &error() const { return error_; }
    const std::string &output() const { return output_; }

    void stop()
    {
        if (pid_ > 0) {
            // Every program run as a peer ends on SIGTERM.
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (out_ >= 0)
            close(out_);
        out_ = -1;
    }

private:
    void start(const std::string &localName, const std::string &localCidr, const std::string &peerCidr,
               const std::vector<std::string> &program)
    {
        // Everything the child needs is made before the fork: the child of a
        // process that may have threads does nothing but system calls.
        std::string script = "ip link set lo up && ip addr add " + peerCidr +
                             " dev peer0 && ip link set peer0 up && exec \"$@\"";
        std::vector<std::string> words{"/bin/sh", "-c", script, "sh"};
        words.insert(words.end(), program.begin(), program.end());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);

        int ready[2], go[2], out[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            error_ = "pipe failed";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            if (unshare(CLONE_NEWNET) != 0)
                _exit(120);
            char c = 1;
            if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
                _exit(121);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(ready[1]);
        close(go[0]);
        close(out[1]);
        out_ = out[0];
        char c;
        pollfd p{ready[0], POLLIN, 0};
        bool unshared = pid_ > 0 && poll(&p, 1, 5000) == 1 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
        if (!unshared) {
            error_ = "the peer could not create its namespace";
            close(go[1]);
            return;
        }
        std::string pid = std::to_string(pid_);
        if (!run("ip link add " + localName + " type veth peer name peer0 netns " + pid) ||
            !run("ip addr add " + localCidr + " dev " + localName) || !run("ip link set " + localName + " up")) {
            error_ = "cannot set up the veth pair " + localName;
            close(go[1]);
            return;
        }
        c = 1;
        bool sent = write(go[1], &c, 1) == 1;
        close(go[1]);
        if (!sent || !waitFor("READY", 10000))
            error_ = "the peer did not get ready; it printed: " + output_;
    }

    bool waitFor(const std::string &prefix, int timeoutMs)
    {
        for (;;) {
            size_t line = 0;
            while (line < output_.size()) {
                if (output_.compare(line, prefix.size(), prefix) == 0)
                    return true;
                size_t end = output_.find('\n', line);
                if (end == std::string::npos)
                    break;
                line = end + 1;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1)
                return false;
            char buffer[512];
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            output_.append(buffer, size_t(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string error_;
    std::string output_;
};

#define NETNS_PEER_OK(peer) ASSERT_TRUE((peer).error().empty()) << (peer).error()

inline std::string toHex(const void *data, size_t length)
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

inline std::vector<uint8_t> fromHex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(uint8_t(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}

inline uint32_t ipv4(const char *dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

inline void ready()
{
    printf("READY\n");
    fflush(stdout);
}

// "answer IFACE REPLY_HEX...": a network device on IFACE answering each direct
// discovery request with the given datagrams. "flood IFACE REPLY_HEX": one
// that, once asked, never stops answering.
inline int peerAnswer(bool flood, int argc, char **argv)
{
    if (argc < 1)
        return 2;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1, off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(9888);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        return 3;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = ipv4("232.2.2.2");
    m.imr_interface.s_addr = ipv4(argv[0]);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0)
        return 4;
    std::vector<std::vector<uint8_t>> replies;
    for (int i = 1; i < argc; i++)
        replies.push_back(fromHex(argv[i]));
    ready();
    for (;;) {
        uint8_t request[64];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n != 16 || request[0] != 1)
            continue;
        from.sin_port = htons(9889);
        do {
            for (const std::vector<uint8_t> &r : replies)
                sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
            if (flood)
                usleep(20 * 1000);
        } while (flood);
    }
}

// "beacon BROADCAST CONTENT_HEX...": a link server publishing its beacon on
// UDP 8585 every 100 ms, taking the contents in turn.
inline int peerBeacon(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8585);
    to.sin_addr.s_addr = ipv4(argv[0]);
    std::vector<std::vector<uint8_t>> contents;
    for (int i = 1; i < argc; i++)
        contents.push_back(fromHex(argv[i]));
    ready();
    for (size_t i = 0;; i = (i + 1) % contents.size()) {
        sendto(fd, contents[i].data(), contents[i].size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        usleep(100 * 1000);
    }
}

inline int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--peer") == 0) {
        std::string mode = argv[2];
        if (mode == "answer" || mode == "flood")
            return peerAnswer(mode == "flood", argc - 3, argv + 3);
        if (mode == "beacon")
            return peerBeacon(argc - 3, argv + 3);
        return 2;
    }
    enterPrivate();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

} // namespace netns
