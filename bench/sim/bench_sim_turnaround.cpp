// How long the simulator takes to answer: round trips over TCP loopback to a
// running corvantis-sim, raw and through the library's link engine, beside the
// floor of a plain TCP ping-pong with the same message sizes against an echo
// thread in this process. The ratio says how much the simulator adds.
#include "common/vLink.h"
#include "common/vPacket.h"
#include "tests/support/sim_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const int kRounds = 4000;
const int kWarmup = 200;
const uint8_t kRequest[] = {2, 3, 3, 0x49, 0x20};  // serial number get
const size_t kReplySize = 9;

bool sReadAll(int fd, uint8_t *buf, size_t n) {
    size_t at = 0;
    while (at < n) {
        ssize_t r = read(fd, buf + at, n - at);
        if (r <= 0)
            return false;
        at += size_t(r);
    }
    return true;
}

int sConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        close(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

double sMedianUs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Round trips of the request over a connected socket; microseconds each.
std::vector<double> sPingPong(int fd) {
    std::vector<double> us;
    uint8_t reply[kReplySize];
    for (int i = 0; i < kWarmup + kRounds; i++) {
        auto t0 = Clock::now();
        if (write(fd, kRequest, sizeof kRequest) != ssize_t(sizeof kRequest) || !sReadAll(fd, reply, sizeof reply))
            break;
        if (i >= kWarmup)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return us;
}

// The floor: an echo thread that reads a request and writes a reply of the
// simulator's reply size, with nothing else to do.
double sFloorUs() {
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    listen(lfd, 1);
    socklen_t len = sizeof sa;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
    std::thread echo([lfd] {
        int c = accept(lfd, nullptr, nullptr);
        int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        uint8_t req[sizeof kRequest], reply[kReplySize] = {2, 7, 3, 9, 0, 1, 2, 3, 4};
        while (sReadAll(c, req, sizeof req))
            if (write(c, reply, sizeof reply) != ssize_t(sizeof reply))
                break;
        close(c);
    });
    int fd = sConnect(ntohs(sa.sin_port));
    double us = sMedianUs(sPingPong(fd));
    close(fd);
    echo.join();
    close(lfd);
    return us;
}

bool sMatchSerial(const vPacket *p, void *) { return p->dataSize >= 2 && p->data[0] == 3 && p->data[1] == 9; }

double sLinkUs(uint16_t port) {
    uint32_t id = vLink_CreateTCPIP(0x1234ABCD, htonl(INADDR_LOOPBACK), port);
    if (!id)
        return 0;
    std::vector<double> us;
    vPacket *req = vPacket_CreateWithData(2, 3, kRequest + 2);
    for (int i = 0; i < kWarmup + kRounds; i++) {
        auto t0 = Clock::now();
        vLink_PutPacket(id, req);
        vPacket *r = vLink_AwaitFirst(id, sMatchSerial, nullptr, 1000);
        if (!r)
            break;
        vPacket_Destroy(&r);
        if (i >= kWarmup)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    vPacket_Destroy(&req);
    vLink_Destroy(&id);
    return sMedianUs(us);
}

void sPrint(const char *name, double value, double floor) {
    std::printf("BENCH %s %.1f us floor %.1f us ratio %.2f\n", name, value, floor, floor > 0 ? value / floor : 0.0);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    double floor = sFloorUs();
    fixtures::SimProcess sim;
    if (!sim.Start({"--device", "serial=0x1234ABCD"})) {
        std::fprintf(stderr, "bench_sim_turnaround: %s\n", sim.Error().c_str());
        return 1;
    }
    uint16_t port = sim.Port("tcp:1234ABCD");
    int fd = sConnect(port);
    double raw = fd >= 0 ? sMedianUs(sPingPong(fd)) : 0;
    if (fd >= 0)
        close(fd);
    double link = sLinkUs(port);
    sim.Stop();
    if (raw <= 0 || link <= 0) {
        std::fprintf(stderr, "bench_sim_turnaround: no answers from the simulator\n");
        return 1;
    }
    sPrint("sim_rtt_tcp_p50", raw, floor);
    sPrint("sim_link_rtt_tcp_p50", link, floor);
    return 0;
}
