#include "common/vPacketFifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

struct vPacketDeleter {
    void operator()(vPacket *packet) const { vPacket_Destroy(&packet); }
};
typedef std::unique_ptr<vPacket, vPacketDeleter> PacketPtr;

struct SerialPacket {
    uint32_t id;
    PacketPtr packet;
};

struct packetFifo {
    std::deque<SerialPacket> entries; // arrival order, so ids ascend (modulo 2^32)
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> active{true};
    std::atomic<uint32_t> windowStart{0};
    std::atomic<uint32_t> nextId{0};
};
typedef std::shared_ptr<packetFifo> FifoRef;

std::mutex gRegistryMutex;
std::unordered_map<uint64_t, FifoRef> gRegistry;
std::atomic<uint64_t> gIdentifierCounter{0};

FifoRef sLookup(uint64_t identifier)
{
    if (identifier == 0)
        return nullptr;
    std::lock_guard<std::mutex> hold(gRegistryMutex);
    auto found = gRegistry.find(identifier);
    return found == gRegistry.end() ? nullptr : found->second;
}

// Caller holds the queue lock.
void sUpdateWindow(packetFifo &q)
{
    q.windowStart = q.entries.empty() ? q.nextId.load() : q.entries.front().id;
}

void sClear(packetFifo &q)
{
    q.entries.clear();
    q.windowStart = q.nextId.load();
}

vPacket *sTake(packetFifo &q, std::deque<SerialPacket>::iterator at)
{
    vPacket *packet = at->packet.release();
    q.entries.erase(at);
    sUpdateWindow(q);
    return packet;
}

// True when id is newer than reference. The queue never spans anywhere near
// 2^31 ids, so the signed difference survives wrap-around.
bool sNewer(uint32_t id, uint32_t reference)
{
    return int32_t(id - reference) > 0;
}

} // namespace

uint64_t vPacketFifo_Create(void)
{
    try {
        FifoRef q = std::make_shared<packetFifo>();
        uint64_t identifier;
        do
            identifier = ++gIdentifierCounter;
        while (identifier == 0);
        std::lock_guard<std::mutex> hold(gRegistryMutex);
        gRegistry.emplace(identifier, std::move(q));
        return identifier;
    } catch (const std::exception &) {
        return 0;
    }
}

vErr vPacketFifo_Destroy(uint64_t *identifier)
{
    if (!identifier)
        return vErrParam;
    FifoRef q;
    try {
        std::lock_guard<std::mutex> hold(gRegistryMutex);
        auto found = gRegistry.find(*identifier);
        if (found == gRegistry.end())
            return vErrNotFound;
        q = std::move(found->second);
        gRegistry.erase(found);
    } catch (const std::exception &) {
        return vErrUnknown;
    }
    *identifier = 0;
    {
        std::lock_guard<std::mutex> hold(q->mutex);
        sClear(*q);
        q->active = false;
    }
    q->condition.notify_all();
    return vErrNone;
}

uint32_t vPacketFifo_GetLength(uint64_t identifier)
{
    FifoRef q = sLookup(identifier);
    if (!q)
        return 0;
    std::lock_guard<std::mutex> hold(q->mutex);
    return uint32_t(q->entries.size());
}

namespace {

// Appends copies[0..count) in order as that many puts would, under one lock
// and with at most one wake-up.
vErr sAppend(packetFifo &q, PacketPtr *copies, size_t count)
{
    bool wake;
    try {
        std::lock_guard<std::mutex> hold(q.mutex);
        if (!q.active)
            return vErrParam;
        for (size_t i = 0; i < count; ++i) {
            uint32_t id = q.nextId;
            q.entries.push_back(SerialPacket{id, std::move(copies[i])});
            q.nextId = id + 1;
            // An undrained queue is bounded: the oldest traffic is worthless
            // by now. Each packet counts as its own put, so the rest of a
            // batch goes on into the emptied queue.
            if (q.entries.size() > vPACKETFIFO_MAX_ENTRIES)
                sClear(q);
        }
        sUpdateWindow(q);
        // A batch that ends in a cleared queue has nothing to wake anyone for.
        wake = !q.entries.empty();
    } catch (const std::exception &) {
        return vErrResource;
    }
    if (wake)
        q.condition.notify_all();
    return vErrNone;
}

} // namespace

vErr vPacketFifo_Put(uint64_t identifier, const vPacket *packet)
{
    FifoRef q = sLookup(identifier);
    if (!q || !vVALIDPACKET(packet))
        return vErrParam;
    PacketPtr copy(vPacket_Copy(packet));
    if (!copy)
        return vErrParam;
    return sAppend(*q, &copy, 1);
}

vErr vPacketFifo_PutMany(uint64_t identifier, const vPacket *const *packets, uint32_t count)
{
    FifoRef q = sLookup(identifier);
    if (!q || (count > 0 && !packets))
        return vErrParam;
    // Copies are made before the lock is taken. The first packet that is
    // invalid or cannot be copied ends the batch with vErrParam, as a put of
    // it would; the packets before it are queued all the same.
    vErr result = vErrNone;
    std::vector<PacketPtr> copies;
    try {
        copies.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            PacketPtr copy(vVALIDPACKET(packets[i]) ? vPacket_Copy(packets[i]) : nullptr);
            if (!copy) {
                result = vErrParam;
                break;
            }
            copies.push_back(std::move(copy));
        }
    } catch (const std::exception &) {
        return vErrResource;
    }
    if (copies.empty())
        return result;
    vErr err = sAppend(*q, copies.data(), copies.size());
    return err != vErrNone ? err : result;
}

vPacket *vPacketFifo_Get(uint64_t identifier)
{
    FifoRef q = sLookup(identifier);
    if (!q)
        return nullptr;
    std::lock_guard<std::mutex> hold(q->mutex);
    if (q->entries.empty())
        return nullptr;
    return sTake(*q, q->entries.begin());
}

vPacket *vPacketFifo_Await(uint64_t identifier, uint32_t timeout)
{
    FifoRef q = sLookup(identifier);
    if (!q)
        return nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    std::unique_lock<std::mutex> lock(q->mutex);
    q->condition.wait_until(lock, deadline, [&] { return !q->entries.empty() || !q->active; });
    if (q->entries.empty())
        return nullptr;
    return sTake(*q, q->entries.begin());
}

vPacket *vPacketFifo_GetFirst(uint64_t identifier, vPacketFilter filter, void *reference)
{
    return vPacketFifo_AwaitFirst(identifier, filter, reference, 0);
}

vPacket *vPacketFifo_AwaitFirst(uint64_t identifier, vPacketFilter filter, void *reference, uint32_t timeout)
{
    if (!filter)
        return nullptr;
    FifoRef q = sLookup(identifier);
    if (!q)
        return nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    std::unique_lock<std::mutex> lock(q->mutex);
    // Everything queued now is examined once; after that only newcomers.
    uint32_t lastChecked = q->windowStart - 1;
    auto match = q->entries.end();
    auto examine = [&] {
        if (!q->active)
            return true;
        // Ids ascend through the queue, so the entries not yet examined are
        // a tail found by binary search rather than by walking the old ones.
        auto it = std::partition_point(q->entries.begin(), q->entries.end(),
                                       [&](const SerialPacket &e) { return !sNewer(e.id, lastChecked); });
        for (; it != q->entries.end(); ++it) {
            lastChecked = it->id;
            if (filter(it->packet.get(), reference)) {
                match = it;
                return true;
            }
        }
        return false;
    };
    if (!q->condition.wait_until(lock, deadline, examine) || !q->active || match == q->entries.end())
        return nullptr;
    return sTake(*q, match);
}

uint32_t vPacketFifo_DrainPackets(uint64_t identifier, vPacketFilter filter, void *reference)
{
    FifoRef q = sLookup(identifier);
    if (!q)
        return 0;
    std::lock_guard<std::mutex> hold(q->mutex);
    size_t before = q->entries.size();
    q->entries.erase(std::remove_if(q->entries.begin(), q->entries.end(),
                                    [&](const SerialPacket &e) { return !filter || filter(e.packet.get(), reference); }),
                     q->entries.end());
    sUpdateWindow(*q);
    return uint32_t(before - q->entries.size());
}
