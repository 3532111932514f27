// A filtered waiter sits on a queue of non-matching packets; each new packet
// wakes it once. With the window test a wake-up examines only the newcomer,
// so the waiter's cost per examined entry stays flat as the queue grows 10x.
// Cost is the waiter thread's own CPU time, from the end of its first scan of
// the prefilled queue to its match; the floor is the same figure for a queue
// a tenth the size, measured in the same run.
#include "common/vPacketFifo.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const uint8_t kNoise = 4;
const uint8_t kWanted = 6;
const int kWakes = 3000;

uint64_t sThreadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

struct Probe {
    std::mutex mutex;
    std::condition_variable seen;
    size_t calls = 0;
    size_t prefilled = 0;
    uint64_t startNs = 0;
    uint64_t endNs = 0;
};

bool sFilter(const vPacket *packet, void *reference)
{
    Probe *p = static_cast<Probe *>(reference);
    bool match = packet->address == kWanted;
    std::lock_guard<std::mutex> hold(p->mutex);
    ++p->calls;
    if (p->calls == p->prefilled)
        p->startNs = sThreadCpuNs();
    if (match)
        p->endNs = sThreadCpuNs();
    p->seen.notify_one();
    return match;
}

void sPut(uint64_t q, uint8_t address)
{
    uint8_t data[3] = {20, 0x01, 0x20};
    vPacket *packet = vPacket_CreateWithData(address, 3, data);
    vPacketFifo_Put(q, packet);
    vPacket_Destroy(&packet);
}

// Waiter CPU nanoseconds per examined entry with `depth` packets queued.
double sMeasure(size_t depth)
{
    uint64_t q = vPacketFifo_Create();
    for (size_t i = 0; i < depth; ++i)
        sPut(q, kNoise);
    Probe probe;
    probe.prefilled = depth;
    std::thread waiter([&] {
        vPacket *got = vPacketFifo_AwaitFirst(q, sFilter, &probe, 600000);
        vPacket_Destroy(&got);
    });
    auto waitForCalls = [&](size_t calls) {
        std::unique_lock<std::mutex> lock(probe.mutex);
        probe.seen.wait(lock, [&] { return probe.calls >= calls; });
    };
    waitForCalls(depth);
    for (int k = 0; k < kWakes; ++k) {
        sPut(q, kNoise);
        waitForCalls(depth + size_t(k) + 1);
        // Keep the depth constant: the oldest entry was examined long ago.
        vPacket *old = vPacketFifo_Get(q);
        vPacket_Destroy(&old);
    }
    sPut(q, kWanted);
    waiter.join();
    size_t examined = probe.calls - depth;
    double ns = double(probe.endNs - probe.startNs) / double(examined);
    vPacketFifo_Destroy(&q);
    return ns;
}

double sMedian(size_t depth)
{
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i)
        runs.push_back(sMeasure(depth));
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

} // namespace

int main()
{
    sMedian(99); // warm up
    double small = sMedian(99);
    double large = sMedian(999);
    printf("BENCH fifo_window_q999 %.1f ns floor %.1f ns ratio %.2f\n", large, small, large / small);
    return 0;
}
