// Link benchmarks over TCP loopback.
//
// Round trip: a caller puts a packet and awaits the reply from an echoing
// device, 10,000 times; the floor is a raw TCP ping-pong of the same bytes
// between two threads, measured in the same run (in alternating blocks).
// Pooled output: 200 queued packets leave in the writes predicted (185 + 15
// packets of 22 bytes); then bursts of 200 packets go out pooled and unpooled,
// and pooled throughput is compared with unpooled.
#include "common/vLink.h"
#include "common/vPacketFifo.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kExchanges = 10000;
const int kWarmup = 500;
const uint8_t kAddress = 4;
// The request and its echo: address 4, 5 data bytes (command 20 and a value).
const uint8_t kPacket[] = {kAddress, 5, 20, 0x01, 0x20, 0x12, 0x34};

int sListen(uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int sConnect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void sNoDelay(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool sReadExactly(int fd, uint8_t *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool sWriteAll(int fd, const uint8_t *buf, size_t n)
{
    size_t off = 0;
    while (off < n) {
        ssize_t w = send(fd, buf + off, n - off, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// The device side of the link: answers sync probes, ignores force-route,
// echoes everything else (or only counts its bytes when counting is set).
struct EchoDevice {
    int fd = -1;
    std::atomic<bool> echo{true};
    std::atomic<uint64_t> received{0};  // bytes of ordinary packets
    std::thread thread;

    void start(int connected)
    {
        fd = connected;
        sNoDelay(fd);
        thread = std::thread([this] { run(); });
    }
    void stop()
    {
        shutdown(fd, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
        close(fd);
    }
    void run()
    {
        std::vector<uint8_t> partial;
        uint8_t buf[8192];
        std::vector<uint8_t> out;
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            out.clear();
            for (ssize_t i = 0; i < n; ++i) {
                partial.push_back(buf[i]);
                if (partial.size() < 2 || partial.size() < size_t(partial[1]) + 2)
                    continue;
                if (partial[0] == 173 && partial[1] == 0) {
                    out.push_back(kAddress);
                    out.push_back(0);
                } else if (partial[0] != 175) {
                    received += partial.size();
                    if (echo)
                        out.insert(out.end(), partial.begin(), partial.end());
                }
                partial.clear();
            }
            if (!out.empty() && !sWriteAll(fd, out.data(), out.size()))
                return;
        }
    }
};

struct Percentiles {
    double p50, p99;
};

Percentiles sPercentiles(std::vector<double> &us)
{
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// Two threads ping-ponging the packet's bytes over a plain TCP connection.
struct RawPair {
    int client = -1, server = -1;
    std::thread echo;
    RawPair()
    {
        uint16_t port = 0;
        int listener = sListen(&port);
        client = sConnect(port);
        server = accept(listener, nullptr, nullptr);
        close(listener);
        sNoDelay(client);
        sNoDelay(server);
        int fd = server;
        echo = std::thread([fd] {
            uint8_t buf[sizeof kPacket];
            while (sReadExactly(fd, buf, sizeof buf) && sWriteAll(fd, buf, sizeof buf)) {
            }
        });
    }
    ~RawPair()
    {
        shutdown(client, SHUT_RDWR);
        echo.join();
        close(client);
        close(server);
    }
    double exchange()
    {
        uint8_t back[sizeof kPacket];
        auto t0 = Clock::now();
        if (!sWriteAll(client, kPacket, sizeof kPacket) || !sReadExactly(client, back, sizeof back)) {
            std::fprintf(stderr, "raw ping-pong failed\n");
            std::exit(1);
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
};

bool sIsEcho(const vPacket *p, void *)
{
    return p->address == kAddress && p->dataSize == 5 && p->data[0] == 20;
}

// A link to an echoing device; the device is accepted on its own thread.
struct LinkedDevice {
    EchoDevice device;
    uint32_t id = 0;

    LinkedDevice()
    {
        uint16_t port = 0;
        int listener = sListen(&port);
        std::thread acceptor([&] { device.start(accept(listener, nullptr, nullptr)); });
        id = vLink_CreateTCPIP(0xBE4C0001, htonl(INADDR_LOOPBACK), port);
        acceptor.join();
        close(listener);
        if (id == 0) {
            std::fprintf(stderr, "link creation failed\n");
            std::exit(1);
        }
    }
    ~LinkedDevice()
    {
        vLink_Destroy(&id);
        device.stop();
    }
};

// Link and raw exchanges alternate in blocks, so both see the same machine.
void sRoundTrips(Percentiles *link, Percentiles *raw)
{
    LinkedDevice linked;
    RawPair pair;
    vPacket *request = vPacket_CreateWithData(kPacket[0], kPacket[1], kPacket + 2);
    std::vector<double> linkUs, rawUs;
    linkUs.reserve(kExchanges);
    rawUs.reserve(kExchanges);
    const int kBlock = 100;
    for (int done = -kWarmup; done < kExchanges; done += kBlock) {
        for (int i = 0; i < kBlock; ++i) {
            double us = pair.exchange();
            if (done >= 0)
                rawUs.push_back(us);
        }
        for (int i = 0; i < kBlock; ++i) {
            auto t0 = Clock::now();
            vLink_PutPacket(linked.id, request);
            vPacket *reply = vLink_AwaitFirst(linked.id, sIsEcho, nullptr, 1000);
            if (reply == nullptr) {
                std::fprintf(stderr, "link round trip timed out\n");
                std::exit(1);
            }
            vPacket_Destroy(&reply);
            if (done >= 0)
                linkUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    vPacket_Destroy(&request);
    *link = sPercentiles(linkUs);
    *raw = sPercentiles(rawUs);
}

// A stream over a connected socket that counts its write calls; writes wait
// while the gate is closed, so packets can be made to pile up in the queue.
struct CountingStream {
    int fd;
    std::mutex m;
    std::condition_variable cv;
    bool gateOpen = true;
    bool blocked = false;
    int writes = 0;

    static vErr get(uint8_t *, void *) { return vErrNotReady; }
    static vErr wait(uint32_t ms, void *)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return vErrTimeout;
    }
    static vErr write(const uint8_t *data, uint32_t length, void *ref)
    {
        CountingStream *c = static_cast<CountingStream *>(ref);
        {
            std::unique_lock<std::mutex> lock(c->m);
            ++c->writes;
            c->blocked = !c->gateOpen;
            c->cv.notify_all();
            c->cv.wait(lock, [c] { return c->gateOpen; });
            c->blocked = false;
        }
        return sWriteAll(c->fd, data, length) ? vErrNone : vErrIO;
    }
    static vErr put(uint8_t b, void *ref) { return write(&b, 1, ref); }
};

int sPooledWritesFor200()
{
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    EchoDevice device;
    device.echo = false;
    device.start(sv[1]);
    CountingStream counter;
    counter.fd = sv[0];
    vStream *s = vStream_Create(CountingStream::get, CountingStream::put, CountingStream::write, nullptr, &counter);
    vStream_SetWaitOperation(s, CountingStream::wait);
    uint32_t id = vLink_Create(s);
    vLink_EnablePooledPackets(id, true);

    uint8_t data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    vPacket *packet = vPacket_CreateWithData(kAddress, 20, data);
    {
        // The start's force-route packet goes out first, through the open gate.
        std::unique_lock<std::mutex> lock(counter.m);
        counter.cv.wait(lock, [&] { return counter.writes >= 1; });
        counter.gateOpen = false;
    }
    // The first packet holds the output thread in its write; 200 queue behind it.
    vLink_PutPacket(id, packet);
    {
        std::unique_lock<std::mutex> lock(counter.m);
        counter.cv.wait(lock, [&] { return counter.blocked; });
    }
    int before = counter.writes;
    for (int i = 0; i < 200; ++i)
        vLink_PutPacket(id, packet);
    {
        std::lock_guard<std::mutex> hold(counter.m);
        counter.gateOpen = true;
        counter.cv.notify_all();
    }
    const uint64_t expected = 201 * 22;
    auto end = Clock::now() + std::chrono::seconds(5);
    while (device.received < expected && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int writes;
    {
        std::lock_guard<std::mutex> hold(counter.m);
        writes = counter.writes - before;
    }
    vPacket_Destroy(&packet);
    vLink_Destroy(&id);
    device.stop();
    return device.received == expected ? writes : -1;
}

// Packets per second for bursts of 200 packets of 22 bytes each.
double sBurstThroughput(bool pooled)
{
    LinkedDevice linked;
    linked.device.echo = false;
    vLink_EnablePooledPackets(linked.id, pooled);
    uint8_t data[20] = {0};
    vPacket *packet = vPacket_CreateWithData(kAddress, 20, data);
    const int kBursts = 300;
    uint64_t target = linked.device.received;
    double seconds = 0;
    for (int b = 0; b < kBursts; ++b) {
        auto t0 = Clock::now();
        for (int i = 0; i < 200; ++i)
            vLink_PutPacket(linked.id, packet);
        target += 200 * 22;
        auto end = t0 + std::chrono::seconds(5);
        while (linked.device.received < target && Clock::now() < end)
            std::this_thread::yield();
        if (linked.device.received < target) {
            std::fprintf(stderr, "burst not delivered\n");
            std::exit(1);
        }
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    vPacket_Destroy(&packet);
    return kBursts * 200 / seconds;
}

} // namespace

int main()
{
    Percentiles link, raw;
    sRoundTrips(&link, &raw);
    std::printf("BENCH link_rtt_p50_tcp %.1f us floor %.1f us ratio %.2f\n", link.p50, raw.p50, link.p50 / raw.p50);
    std::printf("BENCH link_rtt_p99_tcp %.1f us floor %.1f us ratio %.2f\n", link.p99, raw.p99, link.p99 / raw.p99);

    int writes = sPooledWritesFor200();
    std::printf("BENCH link_pooled_writes_200 %d writes floor 2 writes ratio %.2f\n", writes, writes / 2.0);

    double unpooled = sBurstThroughput(false);
    double pooled = sBurstThroughput(true);
    // Higher is better here: the floor is the unpooled rate, the ratio the gain.
    std::printf("BENCH link_pooled_throughput %.0f pkt/s floor %.0f pkt/s ratio %.2f\n", pooled, unpooled,
                pooled / unpooled);
    return writes == 2 ? 0 : 1;
}
