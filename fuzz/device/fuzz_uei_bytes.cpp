// A byte-array value read from a device: the input becomes the sequenced UEI
// packets a device sends for it (24 value bytes or fewer each, a trailing
// sequence byte with bit 7 set while more follow), with packets the reader
// must pass over put in between. The reader must return exactly the value,
// or the device's error, or vErrMemory when the value outgrows the buffer.
//   input: [capacity lo] [capacity hi] [chunk] [flags] [error at] [error code] value...
// flags: bit 0 a stale packet (the sequence number before) ahead of each packet, bit 1 a
// packet of another option before each, bit 2 a packet without a sequence
// byte before each, bit 3 an error reply in place of packet "error at".
#include "common/vLink.h"
#include "common/vPacket.h"
#include "device/Entity.h"
#include "device/Module.h"
#include "tests/support/device_double.h"
#include "tests/support/loopback_listener.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <netinet/tcp.h>
#include <thread>
#include <vector>

using namespace Velquire::Corvantis;

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint8_t kCommand = 3;
constexpr uint8_t kOption = 32;
constexpr uint32_t kSerial = 0x5C0000F2;

struct Harness {
    LoopbackListener listener;
    DeviceDouble device;
    Module module{kAddress, false, 0};
    EntityClass entity;
    std::mutex mutex;
    std::vector<Bytes> replies;
};

Harness *sHarness()
{
    static Harness *h = [] {
        Harness *made = new Harness;
        if (!made->listener.ok())
            abort();
        vEtherConfig direct;
        direct.enabled = 0;
        direct.fallback = 0;
        made->module.setConfig(direct);
        linkSpec spec;
        memset(&spec, 0, sizeof spec);
        spec.type = linkTypeTCPIP;
        spec.serialNumber = kSerial;
        inet_pton(AF_INET, "127.0.0.1", &spec.transport.ip.address);
        spec.transport.ip.port = made->listener.port;
        made->device.address = kAddress;
        made->device.setHandler([made](const Bytes &p) {
            // The get of the value: [address, 3, command, option | get, specifier].
            if (p.size() >= 5 && p[2] == kCommand && p[3] == (kOption | 0x40)) {
                std::lock_guard<std::mutex> hold(made->mutex);
                return made->replies;
            }
            return std::vector<Bytes>{};
        });
        std::thread accepter([made] {
            int fd = made->listener.accept();
            if (fd >= 0) {
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                made->device.start(fd);
            }
        });
        vErr err = made->module.connectFromSpec(spec);
        accepter.join();
        if (err != vErrNone)
            abort();
        made->entity.init(&made->module, kCommand, 0);
        std::atexit([] {
            Harness *me = sHarness();
            me->device.closeLine();
            me->module.disconnect();
            me->device.stop();
        });
        return made;
    }();
    return h;
}

Bytes sPacket(std::initializer_list<uint8_t> head, const uint8_t *value, size_t n, int trailer)
{
    Bytes wire;
    wire.reserve(3 + head.size() + n);
    wire.push_back(kAddress);
    wire.push_back(uint8_t(head.size() + n + (trailer >= 0 ? 1 : 0)));
    for (uint8_t byte : head)
        wire.push_back(byte);
    for (size_t i = 0; i < n; ++i)
        wire.push_back(value[i]);
    if (trailer >= 0)
        wire.push_back(uint8_t(trailer));
    return wire;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    Harness *h = sHarness();
    uint32_t capacity = 1 + ((data[0] | data[1] << 8) & 0xFFF);
    size_t chunk = 1 + data[2] % 24;
    uint8_t flags = data[3];
    const uint8_t *value = data + 6;
    size_t length = size - 6;
    size_t count = length == 0 ? 1 : (length + chunk - 1) / chunk;
    size_t errorAt = (flags & 8) ? data[4] % (count + 1) : SIZE_MAX;
    uint8_t code = data[5];

    // The device's packets, and what a reader makes of them: it ends at the
    // error reply, at the last packet, or at the first packet that does not fit.
    std::vector<Bytes> replies;
    vErr want = vErrNone;
    uint32_t wantCount = 0;
    size_t stop = SIZE_MAX; // index in replies of the packet the reader ends at
    for (size_t i = 0; i < count || i == errorAt; ++i) {
        uint8_t sequence = uint8_t(i & 0x7F);
        // A stale packet repeats the sequence number before: the reader has
        // passed it. Sequence numbers come round again after 128 packets, so
        // longer values get none (a queued stale packet would then be the
        // one the reader waits for).
        if ((flags & 1) && i > 0 && count <= 128)
            replies.push_back(sPacket({kCommand, kOption, 0}, value, 0, uint8_t((sequence - 1) & 0x7F)));
        if (flags & 2)
            replies.push_back(sPacket({kCommand, kOption + 1, 0}, value, 0, sequence));
        if (flags & 4)
            replies.push_back(sPacket({kCommand, kOption, 0}, nullptr, 0, -1));
        if (i == errorAt) {
            replies.push_back(sPacket({kCommand, kOption, 0x80, code}, nullptr, 0, -1));
            if (stop == SIZE_MAX) {
                // A code that names no vErr reads as vErrUnknown.
                want = code <= uint8_t(vErrUnknown) ? vErr(code) : vErrUnknown;
                stop = replies.size() - 1;
            }
            break;
        }
        size_t n = std::min(chunk, length - std::min(length, i * chunk));
        bool more = i + 1 < count;
        replies.push_back(sPacket({kCommand, kOption, 0}, value + i * chunk, n, sequence | (more ? 0x80 : 0)));
        if (stop != SIZE_MAX)
            continue;
        if (wantCount + n > capacity) {
            want = vErrMemory;
            stop = replies.size() - 1;
        } else {
            wantCount += uint32_t(n);
            if (!more)
                stop = replies.size() - 1;
        }
    }

    {
        std::lock_guard<std::mutex> hold(h->mutex);
        h->replies = replies;
    }
    std::vector<uint8_t> buffer(capacity);
    uint32_t got = 0;
    vErr err = h->entity.getUEIBytes(kOption, buffer.data(), capacity, &got);
    if (err != want || got != wantCount || memcmp(buffer.data(), value, got) != 0)
        __builtin_trap();

    // What the reader passed over, and what was still on its way when it
    // stopped, goes before the next input.
    uint32_t id = h->module.getLink()->getLinkId();
    bool lastIn = stop == replies.size() - 1;
    const Bytes &last = replies.back();
    for (int rounds = 0; rounds < 2000; ++rounds) {
        while (vPacket *p = vLink_GetPacket(id)) {
            lastIn = lastIn || (p->dataSize + 2u == last.size() && memcmp(p->data, last.data() + 2, p->dataSize) == 0);
            vPacket_Destroy(&p);
        }
        if (lastIn)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!lastIn)
        __builtin_trap();
    return 0;
}
