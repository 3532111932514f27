// The private record behind a Link and the helpers its files share: Link.cpp
// (connecting), LinkExchanges.cpp, LinkStoreSlots.cpp, LinkFactoryData.cpp,
// LinkPacketLog.cpp and StreamSampling.cpp.
#pragma once

#include "common/vLogger.h"
#include "device/Link.h"
#include "device/LocklessQueue.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Velquire {
namespace Corvantis {

struct StreamEntry {
    uint64_t key = 0;
    uint8_t fresh = 0; // a sample arrived since the value was last read
    Link::StreamCallback callback;
    void *context = nullptr;
    uint32_t lastValue = 0;
};

// A callback to run on the worker thread with its own copy of the packet.
struct asyncPacket {
    Link::StreamCallback callback;
    void *context = nullptr;
    std::unique_ptr<vPacket, void (*)(vPacket *)> packet{nullptr, [](vPacket *p) { vPacket_Destroy(&p); }};
};

// What the worker thread works on. Shared with the thread so that a worker
// told to stop from inside one of its own callbacks (and so detached rather
// than joined) never outlives the queue it reads.
struct AsyncState {
    LocklessQueue_SPSC<asyncPacket> queue{500};
    std::atomic<bool> stop{false};
    std::mutex wakeMutex;
    std::condition_variable wake;
};

struct Link::impl {
    explicit impl(Link &o) : owner(o) {}

    Link &owner;
    uint32_t linkId = 0;
    vLogger *packetLogger = nullptr;
    vEtherConfig config;
    std::map<uint64_t, StreamEntry> streamMap;
    std::unique_ptr<std::thread> asyncWorker;
    std::shared_ptr<AsyncState> async;
    std::mutex streamMapMutex;
    std::string name;
    linkSpec *spec = nullptr;
    // True once this Link holds a use of the engine link it names (false
    // while it only borrows a router's id during connectThroughLinkModule).
    bool holdsUse = false;

    vErr installStreamFilter(bool on);
    void stopWorker();
    void clearStreams(); // filter off, map cleared, worker stopped
};

// How long an exchange waits for its reply.
constexpr uint32_t kReplyWaitMs = 1000;

// Puts one packet; vErrResource when it cannot be built.
vErr sPut(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t *data);

} // namespace Corvantis
} // namespace Velquire
