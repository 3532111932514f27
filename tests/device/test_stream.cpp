// Stream sampling: the packet parser and keys, the single-producer
// single-consumer queue, and streams from corvantis-sim and from a scripted
// device that floods the link.
#include "tests/device/device_fixture.h"

#include "device/LocklessQueue.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

using namespace devtest;

namespace {

vPacket *packetOf(uint8_t address, const Bytes &data)
{
    return vPacket_CreateWithData(address, uint8_t(data.size()), data.data());
}

// A stream packet: command, option, index | 0x40, type, body, trailer.
Bytes streamData(uint8_t type, const Bytes &body, uint8_t trailer = 0, uint8_t command = 3, uint8_t option = 27)
{
    Bytes d = {command, option, 0x40, type};
    d.insert(d.end(), body.begin(), body.end());
    d.push_back(trailer);
    return d;
}

const Bytes kStamp = {0, 0, 0, 1, 0, 0, 0, 2};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(StreamPacket, TypesLengthsAndSamples)
{
    struct Case {
        const char *name;
        Bytes data;
        Link::StreamPacketType type;
        vErr sample;
        uint32_t value;
        uint8_t subindex;
    } cases[] = {
        {"byte", streamData(1, cat({kStamp, {0x7F}})), Link::STREAM_PACKET_BYTE, vErrNone, 0x7F, 0},
        {"short", streamData(2, cat({kStamp, {0x12, 0x34}})), Link::STREAM_PACKET_SHORT, vErrNone, 0x1234, 0},
        {"int", streamData(3, cat({kStamp, {0xDE, 0xAD, 0xBE, 0xEF}})), Link::STREAM_PACKET_INT, vErrNone,
         0xDEADBEEF, 0},
        {"sub byte", streamData(5, cat({{9}, kStamp, {0x55}})), Link::STREAM_PACKET_SUB_BYTE, vErrNone, 0x55, 9},
        {"sub short (16 bytes)", streamData(6, cat({{4}, kStamp, {0xAB, 0xCD}})), Link::STREAM_PACKET_SUB_SHORT,
         vErrNone, 0xABCD, 4},
        {"sub short, 15 bytes", streamData(6, cat({{4}, kStamp, {0xAB}})), Link::STREAM_PACKET_SUB_SHORT,
         vErrPacket, 0, 0},
        {"sub int", streamData(7, cat({{1}, kStamp, {0, 0, 1, 0}})), Link::STREAM_PACKET_SUB_INT, vErrNone, 256, 1},
        {"int too long", streamData(3, cat({kStamp, {1, 2, 3, 4, 5}})), Link::STREAM_PACKET_INT, vErrPacket, 0, 0},
        {"bytes by trailer", streamData(3, cat({kStamp, {1, 2, 3, 4}}), 0x81), Link::STREAM_PACKET_BYTES,
         vErrSize, 0, 0},
        {"bytes by type", streamData(4, {1, 2, 3}), Link::STREAM_PACKET_BYTES, vErrSize, 0, 0},
        {"type 0", streamData(0, cat({kStamp, {1}})), Link::STREAM_PACKET_NONE, vErrUnknown, 0, 0},
        {"type 8", streamData(8, cat({kStamp, {1}})), Link::STREAM_PACKET_NONE, vErrUnknown, 0, 0},
        {"not a stream: no flag", {3, 27, 0x00, 3, 1, 2, 3}, Link::STREAM_PACKET_NONE, vErrPacket, 0, 0},
        {"not a stream: a get", {3, 0x5B, 0x40, 3, 1, 2, 3}, Link::STREAM_PACKET_NONE, vErrPacket, 0, 0},
        {"not a stream: upgrade", {95, 1, 0x40, 3, 1, 2, 3}, Link::STREAM_PACKET_NONE, vErrPacket, 0, 0},
        {"not a stream: too short", {3, 27, 0x40, 3}, Link::STREAM_PACKET_NONE, vErrPacket, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vPacket *p = packetOf(2, c.data);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(Link::getStreamPacketType(p), c.type);
        Link::StreamPacketType t;
        EXPECT_EQ(Link::isStreamPacket(p, &t), c.type != Link::STREAM_PACKET_NONE);
        EXPECT_EQ(Link::isStreamSample(p), c.sample == vErrNone);
        uint64_t stamp = 0;
        uint32_t value = 0;
        uint8_t sub = 0xEE;
        EXPECT_EQ(Link::getStreamSample(p, &stamp, &value, &sub), c.sample);
        if (c.sample == vErrNone) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(sub, c.subindex);
            EXPECT_EQ(stamp, 0x0000000100000002ull);
            uint32_t hi, lo;
            Link::getTimestampParts(stamp, &hi, &lo);
            EXPECT_EQ(hi, 1u);
            EXPECT_EQ(lo, 2u);
        }
        // Every output may be left out.
        EXPECT_EQ(Link::getStreamSample(p, nullptr, nullptr, nullptr), c.sample);
        vPacket_Destroy(&p);
    }
    EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), vErrPacket);
}

TEST(StreamKey, Elements)
{
    uint64_t key = Link::createStreamKey(2, 3, 27, 1, 9);
    EXPECT_EQ(key, 0x0902031B01ull);
    const uint8_t want[] = {2, 3, 27, 1, 9};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(Link::getStreamKeyElement(key, i), want[i]);
    EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
    EXPECT_EQ(Link::getStreamKeyElement(key, -1), 0);
}

TEST(LocklessQueue, OneSlotStaysEmptyAndOrderIsKept)
{
    LocklessQueue_SPSC<int> q(500);
    int pushed = 0;
    for (int i = 0; i < 600; i++) {
        int v = i;
        if (!q.push(v))
            break;
        pushed++;
    }
    EXPECT_EQ(pushed, 499);
    int v = -1;
    for (int i = 0; i < 499; i++) {
        ASSERT_TRUE(q.pop(v));
        ASSERT_EQ(v, i);
    }
    EXPECT_FALSE(q.pop(v));
    EXPECT_TRUE(q.empty());
}

TEST(LocklessQueue, ProducerAndConsumerThreads)
{
    LocklessQueue_SPSC<uint32_t> q(16);
    const uint32_t total = 200000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < total;) {
            uint32_t v = i;
            if (q.push(v))
                i++;
            else
                std::this_thread::yield();
        }
    });
    uint32_t expected = 0;
    while (expected < total) {
        uint32_t v;
        if (q.pop(v)) {
            ASSERT_EQ(v, expected);
            expected++;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
}

// Collects samples delivered by callbacks.
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<uint8_t, uint32_t>> samples;  // option, value
    std::set<std::thread::id> threads;

    static uint8_t callback(const vPacket *p, void *context)
    {
        Collector *c = static_cast<Collector *>(context);
        uint32_t value = 0;
        Link::getStreamSample(p, nullptr, &value, nullptr);
        std::lock_guard<std::mutex> hold(c->mutex);
        c->samples.emplace_back(uint8_t(p->data[1] & 0x3F), value);
        c->threads.insert(std::this_thread::get_id());
        c->changed.notify_all();
        return 0;
    }
    bool waitFor(size_t n, int ms = 3000)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return samples.size() >= n; });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> hold(mutex);
        return samples.size();
    }
};

struct StreamOnSim : ::testing::Test {
    SimOverTcp sim{0x0051EA11};
    Module module{2, uint8_t(0)};
    SystemClass system;

    void SetUp() override
    {
        ASSERT_TRUE(connectModule(module, sim.spec()));
        system.init(&module, 0);
    }
    Link &link() { return *module.getLink(); }
};

TEST_F(StreamOnSim, WildcardRegistrationSamplesEveryOptionOnTheWorker)
{
    Collector got;
    ASSERT_EQ(system.registerOptionCallback(255, true, Collector::callback, &got), vErrNone);
    uint8_t state = 0;
    ASSERT_EQ(link().isLinkStreaming(2, &state), vErrNone);
    EXPECT_EQ(state, 1);
    ASSERT_TRUE(got.waitFor(12));
    {
        std::lock_guard<std::mutex> hold(got.mutex);
        std::set<uint8_t> options;
        for (auto &s : got.samples)
            options.insert(s.first);
        EXPECT_EQ(options, (std::set<uint8_t>{12, 21, 22, 27}));
        EXPECT_EQ(got.threads.size(), 1u);
        EXPECT_EQ(got.threads.count(std::this_thread::get_id()), 0u);
    }
    // The first sample of option 27 made an entry of its own.
    uint32_t value = 0;
    vErr first = link().getStreamValue(2, 3, 27, 0, 0, &value);
    EXPECT_TRUE(first == vErrNone || first == vErrStreamStale) << first;
    EXPECT_GE(value, 31000000u);

    // Stream packets never reach the reply queue: requests still work.
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), vErrNone);
    EXPECT_EQ(serial, 0x0051EA11u);

    Link::StreamStatusEntry entries[8];
    size_t count = 0;
    ASSERT_EQ(system.getStreamStatus(entries, 8, &count), vErrNone);
    EXPECT_EQ(count, 4u);
    for (size_t i = 0; i < count; i++)
        EXPECT_EQ(Link::getStreamKeyElement(entries[i].key, 4), 0);
    EXPECT_EQ(system.getStreamStatus(entries, 1, &count), vErrSize);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(system.getStreamStatus(nullptr, 1, &count), vErrParam);
    EXPECT_EQ(system.getStreamStatus(entries, 0, &count), vErrParam);

    // Disabling the last registration ends it all.
    ASSERT_EQ(system.registerOptionCallback(255, false, nullptr, nullptr), vErrNone);
    EXPECT_EQ(link().getStreamValue(2, 3, 27, 0, 0, &value), vErrNotFound);
    ASSERT_EQ(link().isLinkStreaming(2, &state), vErrNone);
    EXPECT_EQ(state, 0);
    size_t after = got.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(got.count(), after);
    EXPECT_TRUE(sim.status()["entities"]["streams"].empty());
}

TEST_F(StreamOnSim, GetterAnswersFromTheSampleFreshThenStale)
{
    ASSERT_EQ(system.setStreamEnabled(true), vErrNone);
    // Wait for a sample of the temperature to arrive.
    uint32_t cached = 0;
    for (int i = 0; i < 300 && link().getStreamValue(2, 3, 27, 0, 0, &cached) == vErrNotFound; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Stop the device's stream but keep the cache: no new samples from now on.
    uei stop;
    stop.module = 2;
    stop.command = 93;
    stop.option = 0x82;
    stop.specifier = 0x20;
    stop.type = ueiTypeInt;
    stop.v.intVal = uint32_t(Link::createStreamKey(2, 3, 255, 0, 0));
    ASSERT_EQ(link().sendUEI(stop), vErrNone);
    // The device's acknowledgement comes behind every sample it sent before
    // the stop, and the link's reader caches a sample as it takes it.
    uei stopped;
    stopped.module = 2;
    stopped.command = 93;
    stopped.option = 0xC2;
    stopped.specifier = 0;
    ASSERT_EQ(link().receiveUEI(2, 93, 0xC2, 0, &stopped), vErrNone);
    uint64_t before = sim.status()["counters"]["packets_in"];

    uint32_t first = 0, second = 1;
    vErr a = system.getUEI32(27, &first);
    EXPECT_TRUE(a == vErrNone || a == vErrStreamStale) << a;
    EXPECT_EQ(system.getUEI32(27, &second), vErrStreamStale);
    EXPECT_EQ(first, second);
    int32_t signedValue = 0;
    EXPECT_EQ(system.getTemperature(&signedValue), vErrStreamStale);
    EXPECT_EQ(uint32_t(signedValue), first);
    // None of these went to the device.
    EXPECT_EQ(sim.status()["counters"]["packets_in"], before + 0);
}

TEST_F(StreamOnSim, RegistrationRefusals)
{
    EXPECT_EQ(link().registerStreamCallback(255, 3, 27, 0, true, nullptr, nullptr), vErrParam);
    EXPECT_EQ(link().registerStreamCallback(3, 3, 27, 0, true, nullptr, nullptr), vErrParam);
    // The device refuses an option it cannot stream; nothing stays registered.
    EXPECT_EQ(link().enableStream(2, 3, 9, 0, true), vErrInvalidOption);
    EXPECT_TRUE(link().filterActiveStreamKeys(2, 255, 255, 255, 255, true).empty());
    EXPECT_EQ(link().enableStream(2, 40, 255, 0, true), vErrInvalidEntity);
    EXPECT_TRUE(link().filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), vErrNone);
}

TEST_F(StreamOnSim, ALinkGoingAwayWhileStreamingStopsCleanly)
{
    Collector got;
    ASSERT_EQ(system.registerOptionCallback(27, true, Collector::callback, &got), vErrNone);
    ASSERT_TRUE(got.waitFor(2));
    EXPECT_EQ(module.disconnect(), vErrNone);
    size_t after = got.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(got.count(), after);
}

// A callback that turns its own stream off runs on the worker it stops.
TEST_F(StreamOnSim, CallbackMayDisableItsOwnStream)
{
    struct Self {
        Link *link;
        std::atomic<int> calls{0};
        std::atomic<int> result{-1};
    } self;
    self.link = &link();
    auto cb = [](const vPacket *, void *context) -> uint8_t {
        Self *s = static_cast<Self *>(context);
        if (s->calls++ == 0)
            s->result = s->link->registerStreamCallback(2, 3, 27, 0, false, nullptr, nullptr);
        return 0;
    };
    ASSERT_EQ(link().registerStreamCallback(2, 3, 27, 0, true, cb, &self), vErrNone);
    for (int i = 0; i < 300 && self.result == -1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(self.result, vErrNone);
    EXPECT_TRUE(link().filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
}

TEST(StreamFlood, AFloodOfSamplesIsBoundedAndTheLinkKeepsWorking)
{
    // The callbacks' counter outlives the link: callbacks may still run
    // until the link is gone.
    std::atomic<int> calls{0};
    ScriptedDevice d;
    // Acknowledge stream control; answer a serial-number get.
    d.device.setHandler([](const Bytes &p) -> std::vector<Bytes> {
        if (p.size() >= 5 && p[2] == 93 && p[3] == 0x81)
            return {Bytes{4, 3, 93, 0xC1, 0}};
        if (p.size() >= 5 && p[2] == 3 && p[3] == 0x49)
            return {Bytes{4, 7, 3, 9, 0, 0, 0, 0x12, 0x34}};
        return {};
    });
    ASSERT_TRUE(d.connect());
    // A callback that is slow, so the queue fills up.
    auto slow = [](const vPacket *, void *context) -> uint8_t {
        static_cast<std::atomic<int> *>(context)->fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return 0;
    };
    ASSERT_EQ(d.link.registerStreamCallback(4, 3, 27, 0, true, slow, &calls), vErrNone);
    Bytes burst;
    const int kSamples = 5000;
    for (int i = 0; i < kSamples; i++) {
        Bytes p = {4, 17};
        Bytes data = streamData(3, cat({kStamp, {0, 0, uint8_t(i >> 8), uint8_t(i)}}));
        p.insert(p.end(), data.begin(), data.end());
        burst.insert(burst.end(), p.begin(), p.end());
    }
    d.device.sendRaw(burst);
    // Replies still get through while the samples are dropped or handled.
    uei request;
    request.module = 4;
    request.command = 3;
    request.option = 0x49;
    request.specifier = 0x20;
    ASSERT_EQ(d.link.sendUEI(request), vErrNone);
    uei reply;
    reply.module = 4;
    reply.command = 3;
    reply.option = 9;
    ASSERT_EQ(d.link.receiveUEI(4, 3, 9, 0, &reply), vErrNone);
    EXPECT_EQ(reply.v.intVal, 0x1234u);
    // The last value is the newest sample's, whatever the callbacks dropped.
    uint32_t value = 0;
    for (int i = 0; i < 300; i++) {
        vErr e = d.link.getStreamValue(4, 3, 27, 0, 0, &value);
        if ((e == vErrNone || e == vErrStreamStale) && value == uint32_t(kSamples - 1))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(value, uint32_t(kSamples - 1));
    EXPECT_GT(calls.load(), 0);
    EXPECT_LE(calls.load(), kSamples);
}

// A device that streams before it is asked to (another host turned the
// stream on, or samples still in flight from the last registration): the
// worker starts while the reader thread already hands samples to the filter.
TEST(StreamFlood, SamplesAlreadyFlowingWhileCallbacksComeAndGo)
{
    ScriptedDevice d;
    d.device.setHandler([](const Bytes &p) -> std::vector<Bytes> {
        if (p.size() >= 5 && p[2] == 93 && (p[3] == 0x81 || p[3] == 0x82))
            return {Bytes{4, 3, 93, uint8_t(p[3] | 0x40), 0}};
        return {};
    });
    ASSERT_TRUE(d.connect());
    struct Feeder {
        std::atomic<bool> running{true};
        std::thread thread;
        ~Feeder()
        {
            running = false;
            if (thread.joinable())
                thread.join();
        }
    } feeder;
    feeder.thread = std::thread([&] {
        for (uint32_t i = 0; feeder.running && i < 20000; i++) {
            Bytes p = {4, 17};
            Bytes data = streamData(3, cat({kStamp, {0, 0, uint8_t(i >> 8), uint8_t(i)}}));
            p.insert(p.end(), data.begin(), data.end());
            d.device.sendRaw(p);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        Collector got;
        ASSERT_EQ(d.link.registerStreamCallback(4, 3, 27, 0, true, Collector::callback, &got), vErrNone);
        EXPECT_TRUE(got.waitFor(3));
        // Off again: the worker is joined before the collector goes.
        ASSERT_EQ(d.link.registerStreamCallback(4, 3, 27, 0, false, nullptr, nullptr), vErrNone);
        size_t after = got.count();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(got.count(), after);
    }
}

TEST(StreamCache, FreshOnceThenStaleUntilTheNextSample)
{
    ScriptedDevice d;
    d.device.setHandler([](const Bytes &p) -> std::vector<Bytes> {
        if (p.size() >= 5 && p[2] == 93 && p[3] == 0x81)
            return {Bytes{4, 3, 93, 0xC1, 0}};
        return {};
    });
    ASSERT_TRUE(d.connect());
    ASSERT_EQ(d.link.enableStream(4, 3, 255, 0, true), vErrNone);
    auto sample = [&](uint32_t v) {
        Bytes p = {4, 17};
        Bytes data = streamData(3, cat({kStamp, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}}),
                                0, 3, 27);
        p.insert(p.end(), data.begin(), data.end());
        d.device.sendRaw(p);
        // Wait until the cache holds it, without reading it.
        for (int i = 0; i < 300; i++) {
            Link::StreamStatusEntry e[4];
            size_t n = 0;
            if (d.link.getStreamStatus(4, 3, 255, 0, 255, e, 4, &n) == vErrNone && n == 1 && e[0].value == v)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };
    ASSERT_TRUE(sample(1111));
    uint32_t v = 0;
    EXPECT_EQ(d.link.getStreamValue(4, 3, 27, 0, 0, &v), vErrNone);
    EXPECT_EQ(v, 1111u);
    EXPECT_EQ(d.link.getStreamValue(4, 3, 27, 0, 0, &v), vErrStreamStale);
    EXPECT_EQ(v, 1111u);
    ASSERT_TRUE(sample(2222));
    EXPECT_EQ(d.link.getStreamValue(4, 3, 27, 0, 0, &v), vErrNone);
    EXPECT_EQ(v, 2222u);
    // Another option of the entity has no sample yet.
    EXPECT_EQ(d.link.getStreamValue(4, 3, 12, 0, 0, &v), vErrNotFound);
}

} // namespace
