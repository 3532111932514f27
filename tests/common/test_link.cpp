// Link engine over real streams: a socketpair with a scripted device double,
// and a recording stream where write boundaries matter.
#include "common/vLink.h"
#include "common/vLinkTable.h"
#include "common/vPacketFifo.h"
#include "tests/support/device_double.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <sys/socket.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes wireOf(const vPacket *p)
{
    uint8_t buf[vPACKET_MAX_WIRE];
    size_t n = 0;
    if (vPacket_GetBytes(p, buf, sizeof buf, &n) != vErrNone)
        return {};
    return Bytes(buf, buf + n);
}

vErr put(uint32_t id, const Bytes &wire)
{
    vPacket *p = vPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
    vErr err = vLink_PutPacket(id, p);
    vPacket_Destroy(&p);
    return err;
}

bool waitStatus(uint32_t id, int status, int timeoutMs = 3000)
{
    return fixtures::WaitUntil([&] { return vLink_GetStatus(id) == status; }, timeoutMs, 2);
}

bool isCommand(const vPacket *p, void *ref)
{
    return p->dataSize >= 1 && p->data[0] == *static_cast<uint8_t *>(ref);
}

// A link over one end of a socketpair; the device double serves the other.
struct LinkOverSocketpair : ::testing::Test {
    DeviceDouble device;
    uint32_t id = 0;

    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        device.start(sv[1]);
        vStream *stream = nullptr;
        ASSERT_EQ(vStream_CreateSocketFromDescriptor(sv[0], &stream), vErrNone);
        id = vLink_Create(stream);
        ASSERT_NE(id, 0u);
        // The start's force-route packet is out before a test begins.
        ASSERT_TRUE(device.waitFor([](DeviceDouble &d) { return !d.forceRoutes().empty(); }));
    }
    void TearDown() override
    {
        if (id != 0) {
            EXPECT_EQ(vLink_Destroy(&id), vErrNone);
        }
        device.stop();
    }
};

TEST_F(LinkOverSocketpair, StartRoutesTrafficAndExchangesPackets)
{
    EXPECT_EQ(vLink_GetStatus(id), linkStatusRunning);
    ASSERT_TRUE(device.waitFor([](DeviceDouble &d) { return !d.forceRoutes().empty(); }));
    EXPECT_EQ(device.forceRoutes(), Bytes{1});

    // The model query: get of system option 8; the device answers with model 17.
    device.setHandler([](const Bytes &req) {
        std::vector<Bytes> out;
        if (req.size() == 5 && req[2] == 3 && req[3] == 0x48)
            out.push_back(Bytes{req[0], 4, 3, 8, 0, 17});
        return out;
    });
    // Unrelated traffic first: the filter must pass over it.
    device.sendPacket(Bytes{4, 3, 20, 5, 0x41});
    ASSERT_EQ(put(id, Bytes{4, 3, 3, 0x48, 0x20}), vErrNone);
    uint8_t cmd = 3;
    vPacket *reply = vLink_AwaitFirst(id, isCommand, &cmd, 2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(wireOf(reply), (Bytes{4, 4, 3, 8, 0, 17}));
    vPacket_Destroy(&reply);
    vPacket *other = vLink_AwaitPacket(id, 2000);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(wireOf(other), (Bytes{4, 3, 20, 5, 0x41}));
    vPacket_Destroy(&other);
    EXPECT_EQ(vLink_GetPacket(id), nullptr);
}

TEST_F(LinkOverSocketpair, HeartbeatsAreAnsweredAndNotQueued)
{
    struct Case {
        uint8_t state, answer;
    };
    for (Case c : {Case{0, 2}, Case{1, 3}}) {
        size_t before = device.requests().size();
        device.sendPacket(Bytes{4, 2, 0, c.state});
        ASSERT_TRUE(device.waitFor([&](DeviceDouble &d) { return d.requests().size() > before; }));
        EXPECT_EQ(device.requests().back(), (Bytes{4, 2, 0, c.answer}));
    }
    // A marker after the heartbeats shows they did not go inbound.
    device.sendPacket(Bytes{4, 1, 99});
    vPacket *p = vLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(wireOf(p), (Bytes{4, 1, 99}));
    vPacket_Destroy(&p);
}

TEST_F(LinkOverSocketpair, OddAddressResynchronisesAndIsNotQueued)
{
    device.address = 6;
    int probesBefore = device.probes();
    device.sendPacket(Bytes{5, 1, 42});
    ASSERT_TRUE(device.waitFor([&](DeviceDouble &d) { return d.probes() >= probesBefore + 6; }));
    ASSERT_TRUE(waitStatus(id, linkStatusRunning));
    // The leftover probe answers arrive as empty packets from address 6; a
    // marker behind them shows the packet with address 5 never got queued.
    device.sendPacket(Bytes{6, 1, 77});
    for (;;) {
        vPacket *p = vLink_AwaitPacket(id, 2000);
        ASSERT_NE(p, nullptr);
        Bytes w = wireOf(p);
        vPacket_Destroy(&p);
        ASSERT_NE(w[0], 5);
        if (w == Bytes{6, 1, 77})
            break;
        EXPECT_EQ(w, (Bytes{6, 0}));
    }
}

TEST_F(LinkOverSocketpair, SyncWaitsForTheProbeAnswersAndDrainsThem)
{
    device.address = 6;
    EXPECT_EQ(vLink_Sync(id), vErrNone);
    EXPECT_EQ(vLink_GetStatus(id), linkStatusRunning);
    EXPECT_GE(device.probes(), 1);
    EXPECT_EQ(vPacketFifo_GetLength(sGetLink(id)->inQueue.load()), 0u);
}

TEST_F(LinkOverSocketpair, SyncWithASilentDeviceGivesNotReady)
{
    device.answerSync = false;
    EXPECT_EQ(vLink_Sync(id), vErrNotReady);
    EXPECT_EQ(vLink_GetStatus(id), linkStatusSyncing);
    // Waiters do not wait on a link that is out of sync.
    auto t0 = Clock::now();
    uint8_t cmd = 3;
    EXPECT_EQ(vLink_AwaitFirst(id, isCommand, &cmd, 5000), nullptr);
    EXPECT_LT(Clock::now() - t0, milliseconds(1000));
    device.answerSync = true;
    EXPECT_EQ(vLink_Sync(id), vErrNone);
}

TEST(LinkSync, ReplyBytesDecideTheSync)
{
    // The device does not answer probes itself: after the link starts
    // synchronising, it sends exactly these bytes.
    struct Case {
        const char *name;
        Bytes bytes;
        bool synced;
    };
    const Case cases[] = {
        {"address, 0, address, 0", {6, 0, 6, 0}, true},
        {"second address differs", {6, 0, 8, 0}, false},
        {"odd address", {5, 0, 5, 0}, false},
        {"length not zero", {6, 1, 6, 0}, false},
        {"stray zero first", {0, 6, 0, 6, 0}, true},
        {"restart after a mismatch", {6, 0, 8, 0, 8, 0, 8, 0}, true},
    };
    for (const Case &c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        DeviceDouble device;
        device.answerSync = false;
        device.start(sv[1]);
        vStream *stream = nullptr;
        ASSERT_EQ(vStream_CreateSocketFromDescriptor(sv[0], &stream), vErrNone);
        uint32_t id = vLink_Create(stream);
        ASSERT_NE(id, 0u);

        device.sendPacket(Bytes{5, 0});  // out of step: the link starts syncing
        ASSERT_TRUE(device.waitFor([](DeviceDouble &d) { return d.probes() >= 6; })) << c.name;
        EXPECT_EQ(vLink_GetStatus(id), linkStatusSyncing) << c.name;
        device.sendRaw(c.bytes);
        if (c.synced) {
            EXPECT_TRUE(waitStatus(id, linkStatusRunning)) << c.name;
        } else {
            std::this_thread::sleep_for(milliseconds(150));
            EXPECT_EQ(vLink_GetStatus(id), linkStatusSyncing) << c.name;
        }
        EXPECT_EQ(vLink_Destroy(&id), vErrNone);
        device.stop();
    }
}

struct Counted {
    std::atomic<int> calls{0};
    std::atomic<int> consumeCommand{-1};
};

int countingFilter(const vPacket *p, void *ref)
{
    Counted *c = static_cast<Counted *>(ref);
    ++c->calls;
    return (p->dataSize >= 1 && p->data[0] == c->consumeCommand) ? 1 : 0;
}

TEST_F(LinkOverSocketpair, UserFilterConsumesBeforeHeartbeatsAndQueue)
{
    Counted counted;
    counted.consumeCommand = 0;  // heartbeats and anything else with command 0
    ASSERT_EQ(vLink_InstallUserPacketFilter(id, countingFilter, &counted), vErrNone);
    size_t before = device.requests().size();
    device.sendPacket(Bytes{4, 2, 0, 0});  // heartbeat, consumed by the filter
    device.sendPacket(Bytes{4, 1, 7});     // passes the filter
    vPacket *p = vLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(wireOf(p), (Bytes{4, 1, 7}));
    vPacket_Destroy(&p);
    EXPECT_EQ(counted.calls, 2);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(device.requests().size(), before);  // no heartbeat answer went out

    ASSERT_EQ(vLink_InstallUserPacketFilter(id, nullptr, nullptr), vErrNone);
    device.sendPacket(Bytes{4, 2, 0, 0});
    ASSERT_TRUE(device.waitFor([&](DeviceDouble &d) { return d.requests().size() > before; }));
    EXPECT_EQ(counted.calls, 2);
}

TEST_F(LinkOverSocketpair, ConcurrentCallersEachGetTheirOwnReplies)
{
    device.echo();
    const int kThreads = 4, kRounds = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                uint8_t tag = static_cast<uint8_t>(10 + t);
                if (put(id, Bytes{4, 2, tag, static_cast<uint8_t>(r)}) != vErrNone) {
                    ++failures;
                    continue;
                }
                vPacket *reply = vLink_AwaitFirst(id, isCommand, &tag, 3000);
                if (reply == nullptr || reply->data[1] != r)
                    ++failures;
                vPacket_Destroy(&reply);
            }
        });
    }
    for (auto &c : callers)
        c.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(LinkOverSocketpair, DestroyStopsRoutingAndClearsTheId)
{
    uint32_t copy = id;
    auto t0 = Clock::now();
    ASSERT_EQ(vLink_Destroy(&id), vErrNone);
    EXPECT_LT(Clock::now() - t0, milliseconds(900));  // no sitting out the output thread's wait
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(sLookupEntryByID(copy), nullptr);
    EXPECT_EQ(vLink_GetStatus(copy), linkStatusInvalid);
    EXPECT_EQ(vLink_Destroy(&copy), vErrParam);
    ASSERT_TRUE(device.waitFor([](DeviceDouble &d) { return d.forceRoutes().size() >= 2; }));
    EXPECT_EQ(device.forceRoutes(), (Bytes{1, 0}));
}

TEST_F(LinkOverSocketpair, StopAndStartAgain)
{
    vLinkRecord *link = sGetLink(id);
    ASSERT_EQ(vLink_Stop(link), vErrNone);
    EXPECT_EQ(vLink_GetStatus(id), linkStatusStopped);
    EXPECT_EQ(vLink_Stop(link), vErrNone);
    uint8_t cmd = 9;
    EXPECT_EQ(vLink_AwaitFirst(id, isCommand, &cmd, 5000), nullptr);  // not running: at once
    ASSERT_EQ(vLink_Start(id), vErrNone);
    EXPECT_EQ(vLink_Start(id), vErrNone);  // already running
    device.echo();
    ASSERT_EQ(put(id, Bytes{4, 1, 9}), vErrNone);
    vPacket *p = vLink_AwaitFirst(id, isCommand, &cmd, 2000);
    ASSERT_NE(p, nullptr);
    vPacket_Destroy(&p);
    EXPECT_EQ(vLink_Stop(nullptr), vErrParam);
}

TEST(Link, UnregisteredIdentifiers)
{
    const uint32_t none = 0x7FFFFFF0;
    vPacket *p = vPacket_CreateWithData(4, 0, reinterpret_cast<const uint8_t *>(""));
    EXPECT_EQ(vLink_Init(none, nullptr), 0u);
    EXPECT_EQ(vLink_Start(none), vErrParam);
    EXPECT_EQ(vLink_Sync(none), vErrParam);
    EXPECT_EQ(vLink_ForceRoute(none, true), vErrNotFound);
    EXPECT_EQ(vLink_GetStatus(none), linkStatusInvalid);
    EXPECT_EQ(vLink_PutPacket(none, p), vErrParam);
    EXPECT_EQ(vLink_GetPacket(none), nullptr);
    EXPECT_EQ(vLink_AwaitPacket(none, 10), nullptr);
    EXPECT_EQ(vLink_DrainPackets(none, nullptr, nullptr), 0u);
    EXPECT_EQ(vLink_InstallUserPacketFilter(none, nullptr, nullptr), vErrParam);
    EXPECT_EQ(vLink_EnablePooledPackets(none, true), vErrParam);
    EXPECT_EQ(vLink_PacketDebug_Enable(none), vErrParam);
    vPacket_Destroy(&p);
}

// A stream whose writes are recorded one by one; the first write can be held
// back so packets pile up in the outbound queue behind it.
struct RecordingStream {
    std::mutex m;
    std::condition_variable cv;
    std::vector<size_t> writes;
    Bytes bytes;
    bool holdFirst = false;
    bool released = false;
    bool failAfterFirst = false;  // every write after the first fails

    static vErr get(uint8_t *, void *) { return vErrNotReady; }
    static vErr wait(uint32_t ms, void *) {
        std::this_thread::sleep_for(milliseconds(ms));
        return vErrTimeout;
    }
    static vErr write(const uint8_t *data, uint32_t length, void *ref)
    {
        RecordingStream *r = static_cast<RecordingStream *>(ref);
        std::unique_lock<std::mutex> lock(r->m);
        r->writes.push_back(length);
        r->bytes.insert(r->bytes.end(), data, data + length);
        r->cv.notify_all();
        if (r->holdFirst && r->writes.size() == 1)
            r->cv.wait(lock, [r] { return r->released; });
        if (r->failAfterFirst && r->writes.size() > 1)
            return vErrIO;
        return vErrNone;
    }
    static vErr put(uint8_t b, void *ref) { return write(&b, 1, ref); }

    bool waitWrites(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(3), [&] { return writes.size() >= n; });
    }
    void release()
    {
        std::lock_guard<std::mutex> hold(m);
        released = true;
        cv.notify_all();
    }
};

uint32_t linkOver(RecordingStream &rec)
{
    vStream *s = vStream_Create(RecordingStream::get, RecordingStream::put, RecordingStream::write, nullptr, &rec);
    vStream_SetWaitOperation(s, RecordingStream::wait);
    uint32_t id = vLink_Create(s);
    if (id == 0)
        vStream_Destroy(&s);
    return id;
}

// Queued one by one or in batches, the packets leave in order, pooled into as
// few writes as fit or one write each, and every one is logged as sent.
TEST(LinkOutput, PooledPacketsLeaveInAsFewWritesAsFit)
{
    struct Case {
        bool pooled;
        uint32_t batch; // 0: one vLink_PutPacket per packet
        std::vector<size_t> writesAfterHeldOne;
    };
    std::vector<size_t> single(200, 22);
    const Case cases[] = {
        {true, 0, {185 * 22, 15 * 22}},
        {false, 0, single},
        {true, 200, {185 * 22, 15 * 22}},
        {true, 43, {185 * 22, 15 * 22}},
        {false, 43, single},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.pooled ? "pooled" : "single") << " batch " << c.batch);
        RecordingStream rec;
        rec.holdFirst = true;
        uint32_t id = linkOver(rec);
        ASSERT_NE(id, 0u);
        // The force-route packet of the start is the held first write; the
        // log begins after it.
        ASSERT_TRUE(rec.waitWrites(1));
        ASSERT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
        ASSERT_EQ(vLink_EnablePooledPackets(id, c.pooled), vErrNone);
        std::vector<Bytes> packets;
        std::vector<vPacket *> made;
        for (int i = 0; i < 200; ++i) {
            Bytes packet{8, 20};
            for (int k = 0; k < 20; ++k)
                packet.push_back(static_cast<uint8_t>(i + k));
            packets.push_back(packet);
            made.push_back(vPacket_CreateWithData(8, 20, packet.data() + 2));
        }
        if (c.batch == 0) {
            for (const Bytes &packet : packets)
                ASSERT_EQ(put(id, packet), vErrNone);
        } else {
            for (uint32_t at = 0; at < made.size(); at += c.batch) {
                uint32_t n = std::min<uint32_t>(c.batch, uint32_t(made.size()) - at);
                ASSERT_EQ(vLink_PutPackets(id, made.data() + at, n), vErrNone);
            }
        }
        for (vPacket *&p : made)
            vPacket_Destroy(&p);
        rec.release();
        ASSERT_TRUE(rec.waitWrites(1 + c.writesAfterHeldOne.size()));
        {
            std::lock_guard<std::mutex> hold(rec.m);
            std::vector<size_t> after(rec.writes.begin() + 1, rec.writes.end());
            EXPECT_EQ(after, c.writesAfterHeldOne);
            ASSERT_EQ(rec.bytes.size(), 3u + 200 * 22);
            for (int i = 0; i < 200; ++i)
                ASSERT_TRUE(std::equal(packets[i].begin(), packets[i].end(), rec.bytes.begin() + 3 + i * 22)) << i;
        }
        // The log: the 200 in order.
        uint8_t dir = 0, buf[64];
        for (int i = 0; i < 200; ++i) {
            uint32_t len = sizeof buf;
            ASSERT_EQ(vLink_PacketDebug_Read(id, &dir, &len, buf), vErrNone) << i;
            EXPECT_EQ(dir, vLinkLogSent);
            ASSERT_EQ(Bytes(buf, buf + len), packets[i]) << i;
        }
        EXPECT_EQ(vLink_Destroy(&id), vErrNone);
    }
}

TEST(LinkOutput, BatchOnAnUnregisteredLink)
{
    vPacket *p = vPacket_CreateWithData(4, 0, reinterpret_cast<const uint8_t *>(""));
    EXPECT_EQ(vLink_PutPackets(0x7FFFFFF0, &p, 1), vErrParam);
    vPacket_Destroy(&p);
}

TEST(LinkOutput, StopFlushesWhatIsQueued)
{
    RecordingStream rec;
    rec.holdFirst = true;
    uint32_t id = linkOver(rec);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(rec.waitWrites(1));
    ASSERT_EQ(put(id, Bytes{4, 1, 1}), vErrNone);
    ASSERT_EQ(put(id, Bytes{4, 1, 2}), vErrNone);
    std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        rec.release();
    });
    auto t0 = Clock::now();
    ASSERT_EQ(vLink_Destroy(&id), vErrNone);
    EXPECT_LT(Clock::now() - t0, milliseconds(900));  // stop does not sit out the output wait
    releaser.join();
    std::lock_guard<std::mutex> hold(rec.m);
    EXPECT_EQ(rec.bytes, (Bytes{175, 1, 1, 4, 1, 1, 4, 1, 2, 175, 1, 0}));
}

// A peer that takes nothing any more: the stop tries the queue once, not once
// per packet (each try would wait out its retries on a real stream).
TEST(LinkOutput, StopDropsTheQueueAfterAFailedWrite)
{
    RecordingStream rec;
    rec.holdFirst = true;
    rec.failAfterFirst = true;
    uint32_t id = linkOver(rec);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(rec.waitWrites(1));
    for (uint8_t i = 1; i <= 5; ++i)
        ASSERT_EQ(put(id, Bytes{4, 1, i}), vErrNone);
    std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        rec.release();
    });
    ASSERT_EQ(vLink_Destroy(&id), vErrNone);
    releaser.join();
    std::lock_guard<std::mutex> hold(rec.m);
    EXPECT_EQ(rec.writes.size(), 2u);  // the held force-route, then the first that failed
}

struct LogFixture : LinkOverSocketpair {
    Bytes take(uint8_t *direction, vErr expect = vErrNone)
    {
        uint8_t buf[256];
        uint32_t len = sizeof buf;
        EXPECT_EQ(vLink_PacketDebug_Read(id, direction, &len, buf), expect);
        return expect == vErrNone ? Bytes(buf, buf + len) : Bytes{};
    }
};

TEST_F(LogFixture, LogLifecycle)
{
    uint8_t dir = 0;
    uint32_t len = 0;
    EXPECT_EQ(vLink_PacketDebug_Disable(id), vErrNotReady);
    EXPECT_EQ(vLink_PacketDebug_Read(id, &dir, &len, nullptr), vErrNotReady);
    EXPECT_EQ(vLink_PacketDebug_Write(id, 3, 1, reinterpret_cast<const uint8_t *>("x")), vErrNotReady);
    EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, vLINK_LOG_MAX_SIZE + 1), vErrParam);
    EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, 64), vErrNone);
    ASSERT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
    EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, 128), vErrBusy);
    Bytes hundred(100, 0xAB);
    EXPECT_EQ(vLink_PacketDebug_Write(id, vLinkLogMarker, 100, hundred.data()), vErrOverrun);
    EXPECT_EQ(vLink_PacketDebug_Disable(id), vErrNone);
    EXPECT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
}

TEST_F(LogFixture, RingDropsTheOldestAndKeepsOversizedReads)
{
    ASSERT_EQ(vLink_PacketDebug_SetLogSize(id, 64), vErrNone);
    ASSERT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
    // Six 12-byte markers (14-byte records) into 64 bytes: the ring holds four,
    // and it wraps on the way.
    for (uint8_t i = 1; i <= 6; ++i) {
        Bytes marker(12, i);
        ASSERT_EQ(vLink_PacketDebug_Write(id, vLinkLogMarker, 12, marker.data()), vErrNone);
    }
    uint8_t dir = 0;
    uint8_t small[4];
    uint32_t len = sizeof small;
    EXPECT_EQ(vLink_PacketDebug_Read(id, &dir, &len, small), vErrOverrun);
    EXPECT_EQ(len, 12u);
    for (uint8_t i = 3; i <= 6; ++i) {
        EXPECT_EQ(take(&dir), Bytes(12, i));
        EXPECT_EQ(dir, vLinkLogMarker);
    }
    take(&dir, vErrNotFound);
}

TEST_F(LogFixture, PipeThreadsLogTraffic)
{
    ASSERT_EQ(vLink_PacketDebug_SetLogSize(id, -5), vErrNone);  // stored as 0: default size
    ASSERT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
    device.echo();
    ASSERT_EQ(put(id, Bytes{4, 2, 50, 51}), vErrNone);
    uint8_t cmd = 50;
    vPacket *reply = vLink_AwaitFirst(id, isCommand, &cmd, 2000);
    ASSERT_NE(reply, nullptr);
    vPacket_Destroy(&reply);
    uint8_t dir = 0;
    EXPECT_EQ(take(&dir), (Bytes{4, 2, 50, 51}));
    EXPECT_EQ(dir, vLinkLogSent);
    EXPECT_EQ(take(&dir), (Bytes{4, 2, 50, 51}));
    EXPECT_EQ(dir, vLinkLogReceived);
}

} // namespace
