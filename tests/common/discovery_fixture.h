// Helpers of the discovery tests: wire records built by hand, a callback that
// records what it is offered, and stand-ins for the programs that answer
// discovery on this host (link servers' responders, a device on loopback).
#pragma once

#include "common/vDiscovery.h"
#include "common/vMulticast.h"

#include "tests/support/netns.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace discovery {

// A direct-query reply as a device sends it.
inline std::vector<uint8_t> reply(uint32_t serial, uint16_t port, uint8_t address, uint8_t model)
{
    std::vector<uint8_t> r(16, 0);
    r[0] = 0xEE; // not used by the host
    r[1] = address;
    r[2] = uint8_t(port);
    r[3] = uint8_t(port >> 8);
    for (int i = 0; i < 4; i++)
        r[4 + i] = uint8_t(serial >> (8 * i));
    r[8] = 0x77; // not used
    r[12] = model;
    r[13] = 0x55; // not used
    return r;
}

inline linkSpec serverSpec(uint32_t type, uint32_t serial, const char *address, uint32_t port)
{
    linkSpec s;
    memset(&s, 0, sizeof s);
    s.type = type;
    s.serialNumber = serial;
    s.moduleAddress = 7;
    s.modelNumber = 15;
    s.transport.ip.address = netns::ipv4(address);
    s.transport.ip.port = port;
    return s;
}

inline std::vector<uint8_t> bytes(const linkSpec &s)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&s);
    return std::vector<uint8_t>(p, p + sizeof s);
}

// Records each spec offered; accepts those the predicate takes and asks to
// stop after stopAfter calls (0: never).
struct Collector {
    std::vector<linkSpec> offered;
    std::function<bool(const linkSpec &)> accept = [](const linkSpec &) { return true; };
    size_t stopAfter = 0;

    static int callback(const linkSpec *spec, int *found, void *reference)
    {
        Collector *c = static_cast<Collector *>(reference);
        c->offered.push_back(*spec);
        *found = c->accept(*spec) ? 1 : 0;
        return c->stopAfter == 0 || c->offered.size() < c->stopAfter;
    }
    std::vector<uint32_t> serials() const
    {
        std::vector<uint32_t> s;
        for (const linkSpec &spec : offered)
            s.push_back(spec.serialNumber);
        return s;
    }
    std::vector<uint32_t> sortedSerials() const
    {
        std::vector<uint32_t> s = serials();
        std::sort(s.begin(), s.end());
        return s;
    }
};

// A link server's local responder: holds request port 9850 + n and answers
// each 4-byte request with the given datagram on reply port 9950 + n.
class LocalServer {
public:
    LocalServer(int n, std::vector<uint8_t> answer) : n_(n), answer_(std::move(answer))
    {
        const uint32_t group = netns::ipv4("224.0.0.7");
        requests_ = vMulticast_Create(0, group, uint16_t(9850 + n), 0);
        replies_ = vMulticast_Create(0, group, uint16_t(9950 + n), 1);
        if (requests_ && replies_)
            thread_ = std::thread([this] { serve(); });
    }
    ~LocalServer() { stop(); }
    bool ok() const { return requests_ && replies_; }
    int requests() const { return requests_seen_; }

    void stop()
    {
        if (thread_.joinable()) {
            stop_ = true;
            // Wakes the receive at once instead of waiting for its timeout.
            vMulticast *wake = vMulticast_Create(0, netns::ipv4("224.0.0.7"), uint16_t(9850 + n_), 1);
            uint8_t b = 0;
            vMulticast_Send(wake, &b, 1);
            vMulticast_Destroy(&wake);
            thread_.join();
        }
        vMulticast_Destroy(&requests_);
        vMulticast_Destroy(&replies_);
    }

private:
    void serve()
    {
        while (!stop_) {
            uint8_t buffer[64];
            int got = vMulticast_Receive(requests_, buffer, sizeof buffer);
            uint32_t request;
            if (got != 4)
                continue;
            memcpy(&request, buffer, 4);
            if (request != 0xABCDDCBA)
                continue;
            requests_seen_++;
            vMulticast_Send(replies_, answer_.data(), answer_.size());
        }
    }

    int n_;
    std::vector<uint8_t> answer_;
    vMulticast *requests_ = nullptr;
    vMulticast *replies_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_seen_{0};
    std::thread thread_;
};

// A device answering the direct query on loopback only: the query must never
// be sent there.
class LoopbackDevice {
public:
    explicit LoopbackDevice(std::vector<uint8_t> answer) : answer_(std::move(answer))
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1, off = 0;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Only what arrives on loopback, not every group member's traffic.
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(9888);
        ip_mreq m{};
        m.imr_multiaddr.s_addr = netns::ipv4("232.2.2.2");
        m.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
              setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 && pipe(wake_) == 0;
        if (ok_)
            thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackDevice()
    {
        if (thread_.joinable()) {
            char c = 0;
            (void)!write(wake_[1], &c, 1);
            thread_.join();
            close(wake_[0]);
            close(wake_[1]);
        }
        close(fd_);
    }
    bool ok() const { return ok_; }
    int requests() const { return requests_; }

private:
    void serve()
    {
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || (p[1].revents & POLLIN))
                return;
            uint8_t request[64];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from), &length) != 16)
                continue;
            requests_++;
            from.sin_port = htons(9889);
            sendto(fd_, answer_.data(), answer_.size(), 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
        }
    }

    std::vector<uint8_t> answer_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    bool ok_ = false;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

} // namespace discovery
