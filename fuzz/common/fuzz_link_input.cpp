// The link's input path fed arbitrary bytes through a socketpair. After each
// input the link must find its step again, and nothing it queued may carry an
// odd address or a malformed length.
#include "common/vLink.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const uint8_t kAddress = 2;
const uint8_t kMarker = 0xEE;

struct Harness {
    int peer = -1;
    uint32_t id = 0;
};

Harness *sHarness()
{
    static Harness *h = [] {
        Harness *made = new Harness;
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            std::abort();
        vStream *stream = nullptr;
        if (vStream_CreateSocketFromDescriptor(sv[0], &stream) != vErrNone)
            std::abort();
        made->peer = sv[1];
        made->id = vLink_Create(stream);
        if (made->id == 0)
            std::abort();
        // Stop the pipe threads before the process's statics go away. The
        // peer goes first, so the stop's last writes fail at once rather
        // than wait for room nobody makes.
        std::atexit([] {
            Harness *me = sHarness();
            close(me->peer);
            vLink_Destroy(&me->id);
        });
        return made;
    }();
    return h;
}

// Throws away what the link sends (probes, heartbeat answers, force-route).
void sDrainOutbound(int fd)
{
    uint8_t buf[4096];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void sSend(int fd, const uint8_t *data, size_t size)
{
    size_t off = 0;
    while (off < size) {
        ssize_t n = send(fd, data + off, size - off, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            std::abort();
        sDrainOutbound(fd);
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 10);
    }
}

bool sIsMarker(const vPacket *p, void *)
{
    return p->address == kAddress && p->dataSize == 1 && p->data[0] == kMarker;
}

// Takes every queued packet, checks it, and tells whether the marker was among them.
bool sCheckQueued(uint32_t id)
{
    bool marker = false;
    while (vPacket *p = vLink_GetPacket(id)) {
        if (p->address == 0 || (p->address & 1) != 0 || p->dataSize > 28 || p->curSize != p->dataSize + 2)
            std::abort();
        marker = marker || sIsMarker(p, nullptr);
        vPacket_Destroy(&p);
    }
    return marker;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness *h = sHarness();
    sSend(h->peer, data, size);

    // However the input left the link, 31 odd bytes end any packet in progress
    // and leave it synchronising; the sync answer and a marker packet follow.
    uint8_t tail[31 + 7];
    for (int i = 0; i < 31; ++i)
        tail[i] = 0x01;
    const uint8_t sync[] = {kAddress, 0, kAddress, 0, kAddress, 1, kMarker};
    for (int i = 0; i < 7; ++i)
        tail[31 + i] = sync[i];
    sSend(h->peer, tail, sizeof tail);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        sDrainOutbound(h->peer);
        if (sCheckQueued(h->id))
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "link did not resynchronise (status %d)\n", vLink_GetStatus(h->id));
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (vLink_GetStatus(h->id) != linkStatusRunning)
        std::abort();
    return 0;
}
