// The one network-namespace bootstrap of the tests: nothing a test sends for
// discovery reaches this machine's real interfaces.
//
// A test binary whose tests send discovery traffic defines main as
//     int main(int argc, char **argv) { return netns::main(argc, argv); }
// It then runs inside a fresh network namespace of its own (only lo, up).
// There it can add a veth pair with both ends its own (localPair), or start
// peers: processes in further namespaces joined to ours by a veth pair, each
// playing a device or a server on that link. A peer runs a given program, or
// this same binary in one of the responder modes below. A binary that runs
// other programs can instead give each run an empty namespace of its own
// (isolateChild). All of it needs root; without it the tests that need a
// namespace skip with the reason.
#pragma once

#include "tests/support/fixtures.h"

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
#include <unistd.h>
#include <vector>

namespace netns {

// Why namespace tests cannot run here; empty when they can.
inline std::string &skipReason()
{
    static std::string reason = "the namespace was never set up";
    return reason;
}

// Skips the test, saying why, unless reason is empty.
#define NETNS_SKIP_UNLESS(reason)                                                                                   \
    do {                                                                                                            \
        if (!(reason).empty())                                                                                      \
            GTEST_SKIP() << (reason);                                                                               \
    } while (0)
#define NETNS_REQUIRED() NETNS_SKIP_UNLESS(netns::skipReason())

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
        skipReason() = "needs root for a private network namespace";
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

// A veth pair with both ends in this namespace, 192.0.2.1/24 on veth0 and
// 192.0.2.2/24 on veth1: a network of this process's own for programs that
// discover each other across an interface other than lo. Set up on first
// use; empty when it is there, else why not.
inline const std::string &localPair()
{
    static const std::string why = [] {
        if (!skipReason().empty())
            return skipReason();
        if (!run("ip link add veth0 type veth peer name veth1 && ip addr add 192.0.2.1/24 dev veth0 && "
                 "ip addr add 192.0.2.2/24 dev veth1 && ip link set veth0 up && ip link set veth1 up"))
            return std::string("cannot set up the veth pair veth0/veth1 (ip failed)");
        return std::string();
    }();
    return why;
}

#define NETNS_LOCAL_PAIR_REQUIRED() NETNS_SKIP_UNLESS(netns::localPair())

// For fixtures::RunOptions::before_exec: the program runs in an empty
// network namespace of its own (not even lo is up), so whatever it looks
// for on a network it finds nothing. A child that cannot have one exits 125.
inline void isolateChild()
{
    if (unshare(CLONE_NEWNET) != 0)
        _exit(125);
}

// Why children cannot be isolated here; empty when they can.
inline const std::string &isolationSkipReason()
{
    static const std::string why = [] {
        fixtures::RunOptions options;
        options.before_exec = isolateChild;
        return fixtures::Run({"/bin/true"}, options).status == 0
                   ? std::string()
                   : std::string("needs root for a private network namespace");
    }();
    return why;
}

#define NETNS_ISOLATION_REQUIRED() NETNS_SKIP_UNLESS(netns::isolationSkipReason())

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
// program must print a line starting with "READY" once it serves, and end
// on SIGTERM.
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

    void stop() { child_.Stop(SIGTERM, 10000); }

private:
    void start(const std::string &localName, const std::string &localCidr, const std::string &peerCidr,
               const std::vector<std::string> &program)
    {
        // The child makes its namespace and waits there until our end of the
        // pair is set up; then it configures its end and runs the program.
        std::string script = "ip link set lo up && ip addr add " + peerCidr +
                             " dev peer0 && ip link set peer0 up && exec \"$@\"";
        std::vector<std::string> argv{"/bin/sh", "-c", script, "sh"};
        argv.insert(argv.end(), program.begin(), program.end());
        int ready[2], go[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            error_ = "pipe failed";
            return;
        }
        if (pipe2(go, O_CLOEXEC) != 0) {
            close(ready[0]);
            close(ready[1]);
            error_ = "pipe failed";
            return;
        }
        fixtures::SpawnOptions options;
        options.before_exec = [&ready, &go] {
            if (unshare(CLONE_NEWNET) != 0)
                _exit(120);
            char c = 1;
            if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
                _exit(121);
        };
        bool started = child_.Start(argv, options);
        close(ready[1]);
        close(go[0]);
        char c;
        pollfd p{ready[0], POLLIN, 0};
        bool unshared = started && poll(&p, 1, 5000) == 1 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
        if (!unshared) {
            error_ = "the peer could not create its namespace";
            close(go[1]);
            return;
        }
        std::string pid = std::to_string(child_.Pid());
        if (!run("ip link add " + localName + " type veth peer name peer0 netns " + pid) ||
            !run("ip addr add " + localCidr + " dev " + localName) || !run("ip link set " + localName + " up")) {
            error_ = "cannot set up the veth pair " + localName;
            close(go[1]);
            return;
        }
        c = 1;
        bool sent = write(go[1], &c, 1) == 1;
        close(go[1]);
        if (!sent || !waitForReady(10000))
            error_ = "the peer did not get ready; it printed: " + output_;
    }

    bool waitForReady(int timeoutMs)
    {
        std::string line;
        while (child_.ReadLine(&line, timeoutMs)) {
            output_ += line + "\n";
            if (line.rfind("READY", 0) == 0)
                return true;
        }
        output_ += line;
        return false;
    }

    fixtures::Child child_;
    std::string error_;
    std::string output_;
};

#define NETNS_PEER_OK(peer) ASSERT_TRUE((peer).error().empty()) << (peer).error()

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
        replies.push_back(fixtures::FromHex(argv[i]));
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
        contents.push_back(fixtures::FromHex(argv[i]));
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
