// Link creation per transport, sharing by use count, reset and teardown, over
// TCP loopback and a pseudo-terminal carrying COBS frames.
#include "common/vLink.h"
#include "common/vLinkPrivate.h"
#include "common/vLinkTable.h"
#include "tests/support/device_double.h"
#include "tests/support/fixtures.h"
#include "tests/support/loopback_listener.h"
#include "tests/common/pty_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A device on TCP loopback: every accepted connection gets its own double.
struct TcpDevice {
    std::unique_ptr<LoopbackListener> listener;
    uint16_t port = 0;
    std::mutex m;
    std::vector<std::unique_ptr<DeviceDouble>> sessions;
    std::thread acceptor;
    std::atomic<bool> running{false};
    std::function<void(DeviceDouble &)> configure = [](DeviceDouble &) {};

    explicit TcpDevice(uint16_t wanted = 0) { listen(wanted); }
    ~TcpDevice() { shutdown(); }

    void listen(uint16_t wanted)
    {
        listener.reset(new LoopbackListener(wanted));
        port = listener->port;
        running = true;
        acceptor = std::thread([this] {
            while (running) {
                int fd = listener->accept(50);
                if (fd < 0)
                    continue;
                std::unique_ptr<DeviceDouble> d(new DeviceDouble);
                configure(*d);
                d->start(fd);
                std::lock_guard<std::mutex> hold(m);
                sessions.push_back(std::move(d));
            }
        });
    }
    // Stops accepting and closes the listener (connections stay).
    void stopListening()
    {
        running = false;
        if (acceptor.joinable())
            acceptor.join();
        listener.reset();
    }
    void shutdown()
    {
        stopListening();
        std::lock_guard<std::mutex> hold(m);
        sessions.clear();
    }
    DeviceDouble *session(size_t i)
    {
        auto end = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < end) {
            {
                std::lock_guard<std::mutex> hold(m);
                if (sessions.size() > i)
                    return sessions[i].get();
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return nullptr;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> hold(m);
        return sessions.size();
    }
};

bool isCommand(const vPacket *p, void *ref)
{
    return p->dataSize >= 1 && p->data[0] == *static_cast<uint8_t *>(ref);
}

// One request through the link, answered by an echoing device.
bool roundTrip(uint32_t id, uint8_t command)
{
    uint8_t data[2] = {command, 0x5A};
    vPacket *p = vPacket_CreateWithData(4, 2, data);
    vErr err = vLink_PutPacket(id, p);
    vPacket_Destroy(&p);
    if (err != vErrNone)
        return false;
    vPacket *reply = vLink_AwaitFirst(id, isCommand, &command, 2000);
    bool ok = reply != nullptr && reply->dataSize == 2 && reply->data[1] == 0x5A;
    vPacket_Destroy(&reply);
    return ok;
}

bool waitStatus(uint32_t id, int status, int timeoutMs = 3000)
{
    return fixtures::WaitUntil([&] { return vLink_GetStatus(id) == status; }, timeoutMs, 2);
}

TEST(LinkCreate, TcpLinksAreSharedByUseCount)
{
    TcpDevice dev;
    dev.configure = [](DeviceDouble &d) { d.echo(); };
    const uint32_t serial = 0x11000001;
    uint32_t a = vLink_CreateTCPIP(serial, loopbackAddress(), dev.port);
    ASSERT_NE(a, 0u);
    uint32_t b = vLink_CreateTCPIP(serial, loopbackAddress(), dev.port);
    EXPECT_EQ(b, a);
    EXPECT_EQ(sGetUseCount(sLookupEntryByID(a)), 2);
    ASSERT_NE(dev.session(0), nullptr);
    EXPECT_EQ(dev.count(), 1u);  // one connection for both users

    uint32_t firstId = a;
    ASSERT_EQ(vLink_Destroy(&a), vErrNone);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(vLink_GetStatus(b), linkStatusRunning);
    EXPECT_TRUE(roundTrip(b, 30));

    ASSERT_EQ(vLink_Destroy(&b), vErrNone);
    EXPECT_EQ(sLookupEntryByID(firstId), nullptr);
    DeviceDouble *d = dev.session(0);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->waitFor([](DeviceDouble &x) { return x.forceRoutes() == Bytes{1, 0}; }));

    // A new link for the device gets a new id, never the old one.
    uint32_t c = vLink_CreateTCPIP(serial, loopbackAddress(), dev.port);
    ASSERT_NE(c, 0u);
    EXPECT_GT(c, firstId);
    vLink_Destroy(&c);
}

TEST(LinkCreate, ServedTcpLinkIsNotHandedOutAgain)
{
    TcpDevice dev;
    const uint32_t serial = 0x11000002;
    uint32_t a = vLink_CreateTCPIP(serial, loopbackAddress(), dev.port);
    ASSERT_NE(a, 0u);
    linkTableEntry *entry = sLookupEntryByID(a);
    int marker = 0;
    sSetServer(entry, reinterpret_cast<vServer *>(&marker));
    EXPECT_EQ(vLink_CreateTCPIP(serial, loopbackAddress(), dev.port), 0u);
    EXPECT_EQ(sGetUseCount(entry), 1);
    sSetServer(entry, nullptr);
    vLink_Destroy(&a);
}

TEST(LinkCreate, FailedCreationsLeaveNothing)
{
    uint16_t closedPort;
    {
        LoopbackListener l;
        closedPort = l.port;
    }
    EXPECT_EQ(vLink_CreateTCPIP(0x22000001, loopbackAddress(), closedPort), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(0x22000001, 2), nullptr);

    PtyDevice pty;
    ASSERT_TRUE(pty.ok());
    for (uint32_t rate : {1200u, 0u, 115201u}) {
        EXPECT_EQ(vLink_CreateSerial(0x22000002, pty.slavePath.c_str(), rate), 0u) << rate;
        EXPECT_EQ(sLookupEntryByIdentifier(0x22000002, 3), nullptr) << rate;
    }
    EXPECT_EQ(vLink_CreateSerial(0x22000003, "/dev/no-such-serial-line", 115200), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(0x22000003, 3), nullptr);
    EXPECT_EQ(vLink_Create(nullptr), 0u);
    EXPECT_EQ(vLink_Destroy(nullptr), vErrParam);
    uint32_t none = 0x7FFFFFF1;
    EXPECT_EQ(vLink_Destroy(&none), vErrParam);
}

TEST(LinkCreate, SerialLinkSpeaksCobsFrames)
{
    PtyDevice pty;
    ASSERT_TRUE(pty.ok());
    const uint32_t serial = 0x33000001;
    uint32_t a = vLink_CreateSerial(serial, pty.slavePath.c_str(), 115200);
    ASSERT_NE(a, 0u);
    DeviceDouble device;
    device.echo();
    device.start(dup(pty.master), DeviceDouble::Framing::Cobs);

    EXPECT_TRUE(roundTrip(a, 40));
    uint32_t b = vLink_CreateSerial(serial, pty.slavePath.c_str(), 9600);
    EXPECT_EQ(b, a);  // shared, whatever rate the second caller asked for
    vLink_Destroy(&b);

    // Heartbeats and sync work through the framing as on any stream.
    size_t before = device.requests().size();
    device.sendPacket(Bytes{4, 2, 0, 1});
    ASSERT_TRUE(device.waitFor([&](DeviceDouble &d) { return d.requests().size() > before; }));
    EXPECT_EQ(device.requests().back(), (Bytes{4, 2, 0, 3}));
    EXPECT_EQ(vLink_Sync(a), vErrNone);

    // A bad frame is a stream error; the link resynchronises and goes on.
    device.sendRaw(Bytes{0x03, 0x04, 0x01, 0x02, 0x5B, 0x00});
    EXPECT_TRUE(waitStatus(a, linkStatusIOError));
    EXPECT_TRUE(waitStatus(a, linkStatusRunning));
    EXPECT_TRUE(roundTrip(a, 41));
    vLink_Destroy(&a);
    EXPECT_TRUE(device.waitFor([](DeviceDouble &d) { return d.forceRoutes() == Bytes{1, 0}; }));
    device.stop();
}

TEST(LinkCreate, DeviceClosingTheConnectionDropsTheLink)
{
    TcpDevice dev;
    dev.configure = [](DeviceDouble &d) { d.echo(); };
    uint32_t id = vLink_CreateTCPIP(0x44000001, loopbackAddress(), dev.port);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(roundTrip(id, 50));
    dev.stopListening();
    dev.session(0)->closeLine();  // an orderly end, and no device to reconnect to
    EXPECT_TRUE(waitStatus(id, linkStatusIOError));
    auto t0 = Clock::now();
    uint8_t cmd = 50;
    EXPECT_EQ(vLink_AwaitFirst(id, isCommand, &cmd, 5000), nullptr);
    EXPECT_LT(Clock::now() - t0, milliseconds(1000));
    vLink_Destroy(&id);
}

TEST(LinkCreate, ResetRebuildsTheStream)
{
    std::unique_ptr<TcpDevice> dev(new TcpDevice);
    dev->configure = [](DeviceDouble &d) { d.echo(); };
    uint16_t port = dev->port;
    uint32_t id = vLink_CreateTCPIP(0x55000001, loopbackAddress(), port);
    ASSERT_NE(id, 0u);

    // Device still listening: the reset reconnects at once.
    ASSERT_EQ(vLink_Reset(id), vErrNone);
    EXPECT_NE(dev->session(1), nullptr);  // a second connection
    EXPECT_TRUE(roundTrip(id, 60));

    // Device gone: 20 attempts about 100 ms apart, then the stream's error.
    dev.reset();
    auto t0 = Clock::now();
    EXPECT_EQ(vLink_Reset(id), vErrResource);
    auto took = Clock::now() - t0;
    EXPECT_GE(took, milliseconds(1800));
    EXPECT_LT(took, milliseconds(6000));
    EXPECT_EQ(vLink_GetStatus(id), linkStatusInvalid);
    uint8_t cmd = 1;
    EXPECT_EQ(vLink_AwaitFirst(id, isCommand, &cmd, 100), nullptr);

    // Device back on the same port: a later reset restores the link.
    dev.reset(new TcpDevice(port));
    ASSERT_EQ(dev->port, port);
    dev->configure = [](DeviceDouble &d) { d.echo(); };
    ASSERT_EQ(vLink_Reset(id), vErrNone);
    EXPECT_TRUE(roundTrip(id, 61));
    EXPECT_EQ(vLink_Destroy(&id), vErrNone);
}

// A reset drops the packet log while another thread may be reading it, as the
// packet logger's thread does all the time.
TEST(LinkCreate, ResetDropsThePacketLogUnderItsReader)
{
    TcpDevice dev;
    dev.configure = [](DeviceDouble &d) { d.echo(); };
    uint32_t id = vLink_CreateTCPIP(0x55000002, loopbackAddress(), dev.port);
    ASSERT_NE(id, 0u);
    struct Reader {
        std::atomic<bool> running{true};
        std::atomic<int> records{0};
        std::thread thread;
        ~Reader()
        {
            running = false;
            if (thread.joinable())
                thread.join();
        }
    } reader;
    reader.thread = std::thread([&] {
        while (reader.running) {
            uint8_t direction = 0, bytes[64];
            uint32_t length = sizeof bytes;
            if (vLink_PacketDebug_Read(id, &direction, &length, bytes) == vErrNone)
                reader.records++;
            else
                std::this_thread::sleep_for(milliseconds(1));
        }
    });
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
        int before = reader.records;
        ASSERT_TRUE(roundTrip(id, uint8_t(70 + round)));
        auto end = Clock::now() + std::chrono::seconds(3);
        while (reader.records < before + 2 && Clock::now() < end)
            std::this_thread::sleep_for(milliseconds(1));
        EXPECT_GE(reader.records, before + 2);  // the request and its echo
        ASSERT_EQ(vLink_Reset(id), vErrNone);
        // The new life starts without a log.
        EXPECT_EQ(vLink_PacketDebug_Write(id, vLinkLogMarker, 1, reinterpret_cast<const uint8_t *>("x")),
                  vErrNotReady);
    }
    reader.running = false;
    reader.thread.join();
    EXPECT_EQ(vLink_Destroy(&id), vErrNone);
}

TEST(LinkCreate, CallerStreamTransportCannotBeReset)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    DeviceDouble device;
    device.start(sv[1]);
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateSocketFromDescriptor(sv[0], &s), vErrNone);
    uint32_t id = vLink_Create(s);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(sLookupEntryByID(id)->linkType, 0u);
    EXPECT_EQ(vLink_Reset(id), vErrParam);
    EXPECT_EQ(vLink_Destroy(&id), vErrNone);
}

// A transport whose create syncs after the start (as USB does): the device
// must answer the probes, else the create fails and leaves nothing.
TEST(LinkCreate, CreateWithSyncNeedsTheDeviceToAnswer)
{
    for (bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "answers" : "silent");
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        DeviceDouble device;
        device.answerSync = answers;
        device.start(sv[1]);
        auto open = [](void *context, vStream **stream) {
            return vStream_CreateSocketFromDescriptor(*static_cast<int *>(context), stream);
        };
        const uint32_t serial = answers ? 0x77000002 : 0x77000001;
        vLinkDeviceRequest request{serial, 0, 0, 1, true, true, true, open, &sv[0]};
        uint32_t id = vLink_CreateDeviceLink(&request);
        if (!answers) {
            EXPECT_EQ(id, 0u);
            EXPECT_EQ(sLookupEntryByIdentifier(serial, 1), nullptr);
            continue;
        }
        ASSERT_NE(id, 0u);
        EXPECT_EQ(vLink_GetStatus(id), linkStatusRunning);
        EXPECT_EQ(vLink_CreateDeviceLink(&request), id);  // shared
        vLink_Destroy(&id);
        uint32_t again = sLookupEntryByIdentifier(serial, 1)->id;
        vLink_Destroy(&again);
    }
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(LinkCreate, IdleLinksCostNoCpu)
{
    // Open and idle: a TCP link and a COBS serial link.
    TcpDevice dev;
    uint32_t tcp = vLink_CreateTCPIP(0x66000001, loopbackAddress(), dev.port);
    ASSERT_NE(tcp, 0u);
    PtyDevice pty;
    ASSERT_TRUE(pty.ok());
    uint32_t serial = vLink_CreateSerial(0x66000002, pty.slavePath.c_str(), 115200);
    ASSERT_NE(serial, 0u);
    std::this_thread::sleep_for(milliseconds(200));

    double cpu0 = cpuSeconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double used = cpuSeconds() - cpu0;
    // A spinning thread costs a whole core; two idle links' 50 ms polls cost
    // under 1% in a plain build, a few times that under a sanitizer on a busy
    // machine. The bound sits far from both.
    EXPECT_LT(used / wall, 0.05) << "cpu " << used << " s over " << wall << " s";
    EXPECT_EQ(vLink_GetStatus(tcp), linkStatusRunning);
    vLink_Destroy(&tcp);
    vLink_Destroy(&serial);
}

} // namespace
