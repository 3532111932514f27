// Stream sampling on a Link: stream keys, the packet filter that takes stream
// packets off the link's reader thread, the cache of last samples, and the
// worker thread that runs the callbacks.
#include "device/LinkPrivate.h"

#include "common/vLink.h"
#include "common/vUEI.h"

#include <chrono>

namespace Velquire {
namespace Corvantis {

namespace {

constexpr uint8_t kWild = 0xFF;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamState = 0x41;

// Data length of a complete sample of each type (0: not a sample type).
uint8_t sSampleLength(Link::StreamPacketType type)
{
    static const uint8_t lengths[8] = {0, 14, 15, 17, 0, 15, 16, 18};
    return lengths[type];
}

// The wildcard masks a sample is also looked up under, in this order:
// index; option; option+index; command; command+index; command+option;
// command+option+index; then the same seven and "none" with the subindex.
uint64_t sGenericMask(int n)
{
    static const uint64_t index = 0xFFull, option = 0xFF00ull, command = 0xFF0000ull, sub = 0xFF00000000ull;
    static const uint64_t masks[15] = {
        index, option, option | index, command, command | index, command | option, command | option | index,
        sub, sub | index, sub | option, sub | option | index, sub | command, sub | command | index,
        sub | command | option, sub | command | option | index,
    };
    return masks[n];
}

void sQueueAsyncCallback(AsyncState *async, const StreamEntry &entry, const vPacket *packet)
{
    if (!entry.callback || !async)
        return;
    asyncPacket item;
    item.callback = entry.callback;
    item.context = entry.context;
    item.packet.reset(vPacket_Copy(packet));
    if (!item.packet)
        return;
    // A full queue drops the sample: the reader thread never waits.
    if (!async->queue.push(item))
        return;
    {
        std::lock_guard<std::mutex> hold(async->wakeMutex);
    }
    async->wake.notify_one();
}

// Runs on the link engine's reader thread for every packet before it is
// queued; 1 consumes the packet.
int linkStreamFilter(const vPacket *packet, void *reference)
{
    Link::impl *m = static_cast<Link::impl *>(reference);
    Link::StreamPacketType type = Link::getStreamPacketType(packet);
    if (type == Link::STREAM_PACKET_NONE)
        return 0;
    uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
    uint64_t key = Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
                                         packet->data[2] & 0x1F, subindex);
    uint32_t value = 0;
    bool hasValue = Link::getStreamSample(packet, nullptr, &value, nullptr) == vErrNone;

    std::lock_guard<std::mutex> hold(m->streamMapMutex);
    AsyncState *async = m->async.get();
    auto exact = m->streamMap.find(key);
    if (exact != m->streamMap.end()) {
        sQueueAsyncCallback(async, exact->second, packet);
        if (hasValue) {
            exact->second.lastValue = value;
            exact->second.fresh = 1;
        }
    }
    bool generic = false;
    for (int n = 0; n < 15; n++) {
        auto it = m->streamMap.find(key | sGenericMask(n));
        if (it != m->streamMap.end()) {
            generic = true;
            sQueueAsyncCallback(async, it->second, packet);
        }
    }
    if (exact == m->streamMap.end() && generic && hasValue) {
        StreamEntry entry;
        entry.key = key;
        entry.fresh = 1;
        entry.lastValue = value;
        m->streamMap.emplace(key, std::move(entry));
    }
    return 1;
}

void asyncWork(std::shared_ptr<AsyncState> async)
{
    for (;;) {
        if (async->stop.load())
            return;
        asyncPacket item;
        while (async->queue.pop(item)) {
            if (item.callback)
                item.callback(item.packet.get(), item.context);
            item.packet.reset();
            if (async->stop.load())
                return;
        }
        // Sleep until a sample is queued or the worker is told to stop; the
        // time-out only bounds a wake-up lost to the lock-free hand-over.
        std::unique_lock<std::mutex> lock(async->wakeMutex);
        async->wake.wait_for(lock, std::chrono::milliseconds(100),
                             [&] { return async->stop.load() || !async->queue.empty(); });
    }
}

} // namespace

// --- keys and packets ------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return uint64_t(subindex) << 32 | uint64_t(module) << 24 | uint64_t(command) << 16 | uint64_t(option) << 8 |
           uint64_t(index);
}

uint8_t Link::getStreamKeyElement(uint64_t key, int element)
{
    switch (element) {
    case 0: return uint8_t(key >> 24);
    case 1: return uint8_t(key >> 16);
    case 2: return uint8_t(key >> 8);
    case 3: return uint8_t(key);
    case 4: return uint8_t(key >> 32);
    default: return 0;
    }
}

Link::StreamPacketType Link::getStreamPacketType(const vPacket *packet)
{
    if (!vVALIDPACKET(packet) || !vUEI_isStreamPacket(packet))
        return STREAM_PACKET_NONE;
    if (vUEI_getBytesSequence(packet) != 0 || vUEI_getBytesContinue(packet))
        return STREAM_PACKET_BYTES;
    uint8_t type = packet->data[3];
    if (type == 0 || type > 7)
        return STREAM_PACKET_NONE;
    return StreamPacketType(type);
}

bool Link::isStreamPacket(const vPacket *packet)
{
    return getStreamPacketType(packet) != STREAM_PACKET_NONE;
}

bool Link::isStreamPacket(const vPacket *packet, StreamPacketType *type)
{
    StreamPacketType t = getStreamPacketType(packet);
    if (type)
        *type = t;
    return t != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(StreamPacketType type)
{
    return type >= STREAM_PACKET_SUB_BYTE && type <= STREAM_PACKET_SUB_INT;
}

bool Link::isStreamSample(const vPacket *packet)
{
    StreamPacketType type = getStreamPacketType(packet);
    if (type == STREAM_PACKET_NONE || type == STREAM_PACKET_BYTES)
        return false;
    return packet->dataSize == sSampleLength(type);
}

vErr Link::getStreamSample(const vPacket *packet, uint64_t *timestamp, uint32_t *value, uint8_t *subindex)
{
    if (!vVALIDPACKET(packet) || !vUEI_isStreamPacket(packet))
        return vErrPacket;
    StreamPacketType type = getStreamPacketType(packet);
    if (type == STREAM_PACKET_BYTES)
        return vErrSize;
    if (type == STREAM_PACKET_NONE)
        return vErrUnknown;
    if (packet->dataSize != sSampleLength(type))
        return vErrPacket;
    const uint8_t *at = &packet->data[4];
    uint8_t sub = 0;
    if (isSubindexType(type))
        sub = *at++;
    uint64_t ts = uint64_t(vUEI_RetrieveInt(at)) << 32 | vUEI_RetrieveInt(at + 4);
    at += 8;
    uint32_t v = 0;
    switch (type) {
    case STREAM_PACKET_BYTE:
    case STREAM_PACKET_SUB_BYTE: v = *at; break;
    case STREAM_PACKET_SHORT:
    case STREAM_PACKET_SUB_SHORT: v = vUEI_RetrieveShort(at); break;
    default: v = vUEI_RetrieveInt(at); break;
    }
    if (timestamp)
        *timestamp = ts;
    if (value)
        *value = v;
    if (subindex)
        *subindex = sub;
    return vErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t *high, uint32_t *low)
{
    if (high)
        *high = uint32_t(timestamp >> 32);
    if (low)
        *low = uint32_t(timestamp);
}

// --- registration ----------------------------------------------------------

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock)
{
    std::unique_lock<std::mutex> hold(m_impl->streamMapMutex, std::defer_lock);
    if (lock)
        hold.lock();
    const uint8_t want[5] = {module, command, option, index, subindex};
    std::vector<uint64_t> keys;
    for (const auto &e : m_impl->streamMap) {
        bool match = true;
        for (int n = 0; n < 5 && match; n++)
            match = want[n] == kWild || getStreamKeyElement(e.first, n) == want[n];
        if (match)
            keys.push_back(e.first);
    }
    return keys;
}

vErr Link::impl::installStreamFilter(bool on)
{
    if (linkId == 0)
        return vErrConnection;
    bool started = false;
    if (on && !asyncWorker) {
        // The worker and its queue come first: the reader thread may hand
        // the filter a sample the moment it is installed (a device that is
        // streaming already), and the filter reads async under the map lock.
        std::shared_ptr<AsyncState> state = std::make_shared<AsyncState>();
        asyncWorker.reset(new std::thread(asyncWork, state));
        std::lock_guard<std::mutex> hold(streamMapMutex);
        async = std::move(state);
        started = true;
    }
    vErr err = vLink_InstallUserPacketFilter(linkId, on ? linkStreamFilter : nullptr, on ? this : nullptr);
    if (err != vErrNone) {
        if (started)
            stopWorker();
        return err;
    }
    if (on)
        return vErrNone;
    {
        std::lock_guard<std::mutex> hold(streamMapMutex);
        streamMap.clear();
    }
    stopWorker();
    return vErrNone;
}

void Link::impl::stopWorker()
{
    if (!asyncWorker)
        return;
    // From here on the filter queues nothing more for this worker.
    std::shared_ptr<AsyncState> state;
    {
        std::lock_guard<std::mutex> hold(streamMapMutex);
        state = std::move(async);
    }
    state->stop.store(true);
    {
        std::lock_guard<std::mutex> hold(state->wakeMutex);
    }
    state->wake.notify_one();
    // Told to stop by one of its own callbacks, the worker ends by itself once
    // that callback returns; it keeps its state alive on its own.
    if (asyncWorker->get_id() == std::this_thread::get_id())
        asyncWorker->detach();
    else
        asyncWorker->join();
    asyncWorker.reset();
}

void Link::impl::clearStreams()
{
    bool any;
    {
        std::lock_guard<std::mutex> hold(streamMapMutex);
        any = !streamMap.empty();
    }
    if ((any || asyncWorker) && linkId)
        installStreamFilter(false);
    // Without a link there is no filter to remove; the map and worker still go.
    {
        std::lock_guard<std::mutex> hold(streamMapMutex);
        streamMap.clear();
    }
    stopWorker();
}

vErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void *context)
{
    if (module & 1)
        return vErrParam;
    if (module == 0)
        return vErrPacket;
    uint64_t key = createStreamKey(module, command, option, index, kWild);
    bool empty;
    {
        std::lock_guard<std::mutex> hold(m_impl->streamMapMutex);
        if (enable) {
            StreamEntry &e = m_impl->streamMap[key];
            e.key = key;
            e.callback = std::move(callback);
            e.context = context;
        } else {
            for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kWild, false))
                m_impl->streamMap.erase(k);
        }
        empty = m_impl->streamMap.empty();
    }
    vErr err = m_impl->installStreamFilter(!empty);
    if (err == vErrNone) {
        uei request;
        request.module = module;
        request.command = cmdSTREAM;
        request.option = enable ? kStreamEnable : kStreamDisable;
        request.specifier = vUEI_SPEC_REQUEST;
        request.type = ueiTypeInt;
        request.v.intVal = uint32_t(key);
        err = sendUEI(request);
        if (err == vErrNone) {
            uei reply;
            reply.module = module;
            reply.command = cmdSTREAM;
            reply.option = uint8_t(request.option | 0x40);
            reply.specifier = 0;
            err = receiveUEI(module, cmdSTREAM, reply.option, 0, &reply);
            if (err == vErrNone && (reply.specifier & vUEI_SPEC_ERROR))
                err = vError_FromDevice(reply.v.byteVal);
        }
    }
    if (err != vErrNone) {
        bool nowEmpty;
        {
            std::lock_guard<std::mutex> hold(m_impl->streamMapMutex);
            for (uint64_t k : filterActiveStreamKeys(module, command, option, index, kWild, false))
                m_impl->streamMap.erase(k);
            nowEmpty = m_impl->streamMap.empty();
        }
        // Nothing left to sample: the filter and the worker go too.
        if (nowEmpty && m_impl->linkId)
            m_impl->installStreamFilter(false);
    }
    return err;
}

vErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

vErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t *value)
{
    uint64_t key = createStreamKey(module, command, option, index, subindex);
    std::lock_guard<std::mutex> hold(m_impl->streamMapMutex);
    auto it = m_impl->streamMap.find(key);
    if (it == m_impl->streamMap.end())
        return vErrNotFound;
    if (value)
        *value = it->second.lastValue;
    if (it->second.fresh) {
        it->second.fresh = 0;
        return vErrNone;
    }
    return vErrStreamStale;
}

vErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry *entries, size_t capacity, size_t *count)
{
    if (!isConnected())
        return vErrConnection;
    if (!entries || !count || capacity == 0)
        return vErrParam;
    std::lock_guard<std::mutex> hold(m_impl->streamMapMutex);
    std::vector<uint64_t> keys = filterActiveStreamKeys(module, command, option, index, subindex, false);
    *count = 0;
    for (uint64_t k : keys) {
        bool concrete = true;
        for (int n = 0; n < 5 && concrete; n++)
            concrete = getStreamKeyElement(k, n) != kWild;
        if (!concrete)
            continue;
        if (*count >= capacity)
            return vErrSize;
        entries[*count].key = k;
        entries[*count].value = m_impl->streamMap[k].lastValue;
        (*count)++;
    }
    return vErrNone;
}

vErr Link::isLinkStreaming(uint8_t module, uint8_t *state)
{
    if (!state)
        return vErrParam;
    uei request;
    request.module = module;
    request.command = cmdSTREAM;
    request.option = kStreamState;
    request.specifier = vUEI_SPEC_REQUEST;
    vErr err = sendUEI(request);
    if (err != vErrNone)
        return err;
    uei reply;
    reply.module = module;
    reply.command = cmdSTREAM;
    reply.option = kStreamState & 0x3F;
    reply.specifier = 0;
    err = receiveUEI(module, cmdSTREAM, reply.option, 0, &reply);
    if (err != vErrNone)
        return err;
    if (reply.specifier & vUEI_SPEC_ERROR)
        return vError_FromDevice(reply.v.byteVal);
    *state = reply.v.byteVal;
    return vErrNone;
}

} // namespace Corvantis
} // namespace Velquire
