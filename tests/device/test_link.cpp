// Link against corvantis-sim over TCP loopback and a pseudo-terminal, and
// against a scripted device where the exact packets matter.
#include "tests/device/device_fixture.h"

#include "common/vDefs.h"
#include "common/vLinkTable.h"
#include "common/vPacketFifo.h"
#include "common/vUEI.h"


using namespace devtest;

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;

struct LinkOnSim : ::testing::Test {
    SimOverTcp sim{kSerial, ",model=21,build=900,name=Bench unit"};
    Link link{"test link"};

    void SetUp() override
    {
        ASSERT_EQ(link.setConfig(directConfig()), vErrNone);
        ASSERT_EQ(link.setLinkSpecifier(sim.spec()), vErrNone);
        ASSERT_EQ(link.connect(), vErrNone);
    }

    // A system-entity get (command 3) of option, answered into reply.
    vErr systemGet(uint8_t option, uei *reply, uint8_t index = 0)
    {
        uei request;
        request.module = 2;
        request.command = 3;
        request.option = uint8_t(option | 0x40);
        request.specifier = uint8_t(index | 0x20);
        vErr err = link.sendUEI(request);
        if (err != vErrNone)
            return err;
        reply->module = 2;
        reply->command = 3;
        reply->option = option;
        reply->specifier = index;
        return link.receiveUEI(2, 3, option, index, reply);
    }
};

TEST_F(LinkOnSim, ConnectedStateGuardsConfigurationAndSpecifier)
{
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 2);
    EXPECT_STREQ(link.getName(), "test link");
    EXPECT_EQ(link.connect(), vErrConnection);

    vEtherConfig changed = directConfig();
    changed.assignedPort = 4242;
    EXPECT_EQ(link.setConfig(changed), vErrMode);
    vEtherConfig now;
    ASSERT_EQ(link.getConfig(&now), vErrNone);
    EXPECT_EQ(now.assignedPort, 0);
    EXPECT_EQ(link.getConfig(nullptr), vErrParam);
    EXPECT_EQ(link.setLinkSpecifier(tcpSpec(1, 1)), vErrBusy);
    linkSpec spec;
    ASSERT_EQ(link.getLinkSpecifier(&spec), vErrNone);
    EXPECT_EQ(spec.serialNumber, kSerial);

    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), vErrNone);
    EXPECT_EQ(address, 2);

    EXPECT_EQ(link.disconnect(), vErrNone);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 8);
    EXPECT_EQ(link.getModuleAddress(&address), vErrNotReady);
    EXPECT_EQ(address, 0);
    // Configured again: it connects again.
    EXPECT_EQ(link.connect(), vErrNone);
    EXPECT_TRUE(link.isConnected());
}

TEST_F(LinkOnSim, UEIValuesOfEveryWidthAndErrorReplies)
{
    uei reply;
    ASSERT_EQ(systemGet(9, &reply), vErrNone);
    EXPECT_EQ(reply.type, ueiTypeInt);
    EXPECT_EQ(reply.v.intVal, kSerial);

    ASSERT_EQ(systemGet(8, &reply), vErrNone);
    EXPECT_EQ(reply.type, ueiTypeByte);
    EXPECT_EQ(reply.v.byteVal, 21);

    // An option the device does not have: the receive succeeds and the uei
    // carries the raw specifier and the device's code.
    ASSERT_EQ(systemGet(63, &reply), vErrNone);
    EXPECT_EQ(reply.specifier, 0x80);
    EXPECT_EQ(reply.v.byteVal, vErrInvalidOption);
    ASSERT_EQ(systemGet(7, &reply, 3), vErrNone);
    EXPECT_EQ(reply.specifier, 0x83);
    EXPECT_EQ(reply.v.byteVal, vErrInvalidEntity);

    // The subindex form: identifier word 2 (none set: 0), and one out of range.
    uei request;
    request.module = 2;
    request.command = 3;
    request.option = 39 | 0x40;
    request.specifier = 0x20;
    ASSERT_EQ(link.sendUEI(request, 7), vErrNone);
    reply = uei();
    reply.module = 2;
    reply.command = 3;
    reply.option = 39;
    ASSERT_EQ(link.receiveUEI(2, 3, 39, 0, &reply), vErrNone);
    EXPECT_EQ(reply.specifier, 0x80);
    EXPECT_EQ(reply.v.byteVal, vErrIndexRange);
}

TEST_F(LinkOnSim, ByteArraySetReachesTheDevice)
{
    std::string name(50, 'n');
    for (size_t i = 0; i < name.size(); i++)
        name[i] = char('A' + i % 26);
    uei set;
    set.module = 2;
    set.command = 3;
    set.option = 32 | 0x80;
    set.specifier = 0x20;
    set.type = ueiTypeBytes;
    set.v.bytes.data = reinterpret_cast<uint8_t *>(&name[0]);
    set.v.bytes.length = uint32_t(name.size());
    ASSERT_EQ(link.sendUEI(set), vErrNone);
    uei ack;
    ack.module = 2;
    ack.command = 3;
    ack.option = 32 | 0xC0;
    ASSERT_EQ(link.receiveUEI(2, 3, ack.option, 0, &ack), vErrNone);
    EXPECT_EQ(ack.specifier, 0);
    EXPECT_EQ(sim.status()["name"], name);
}

TEST_F(LinkOnSim, RawPacketsAndAddressChecks)
{
    uint8_t data[28] = {};
    EXPECT_EQ(link.sendPacket(2, 23, 28, data), vErrParam);
    for (int i = 0; i < 27; i++)
        data[i] = uint8_t(i + 1);
    ASSERT_EQ(link.sendPacket(2, 23, 27, data), vErrNone);
    uint8_t match[1] = {23};
    uint8_t length = 1;
    uint8_t out[28];
    ASSERT_EQ(link.receivePacket(2, match, &length, out), vErrNone);
    ASSERT_EQ(length, 28);
    EXPECT_EQ(out[0], 23);
    EXPECT_EQ(0, std::memcmp(out + 1, data, 27));

    struct Case {
        uint8_t address;
    } cases[] = {{0}, {1}, {3}, {255}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.address));
        uei u;
        u.module = c.address;
        u.command = 3;
        EXPECT_EQ(link.sendUEI(u), vErrPacket);
        EXPECT_EQ(link.sendUEI(u, 1), vErrPacket);
        EXPECT_EQ(link.receiveUEI(c.address, 3, 1, 0, &u), vErrPacket);
        EXPECT_EQ(link.dropMatchingUEIPackets(c.address, 3, 1, 0), vErrPacket);
        EXPECT_EQ(link.sendPacket(c.address, 23, 0, nullptr), vErrPacket);
        length = 1;
        EXPECT_EQ(link.receivePacket(c.address, match, &length, out), vErrPacket);
    }
    // Nothing answers command 24: the wait ends in a time-out.
    ASSERT_EQ(link.sendPacket(2, 24, 0, nullptr), vErrNone);
    uint8_t m24[1] = {24};
    length = 1;
    EXPECT_EQ(link.receivePacket(2, m24, &length, out), vErrTimeout);
}

TEST_F(LinkOnSim, DroppedRepliesAreNotSeenByALaterReceive)
{
    uei request;
    request.module = 2;
    request.command = 3;
    request.option = 9 | 0x40;
    request.specifier = 0x20;
    ASSERT_EQ(link.sendUEI(request), vErrNone);
    ASSERT_EQ(link.sendUEI(request), vErrNone);
    // Let both replies arrive (the second waits in the link's inbound
    // queue), then drop them.
    uei reply;
    reply.module = 2;
    reply.command = 3;
    reply.option = 9;
    ASSERT_EQ(link.receiveUEI(2, 3, 9, 0, &reply), vErrNone);
    ASSERT_TRUE(fixtures::WaitUntil([&] { return vPacketFifo_GetLength(sGetLink(link.getLinkId())->inQueue) >= 1; }));
    ASSERT_EQ(link.dropMatchingUEIPackets(2, 3, 9, 0), vErrNone);
    EXPECT_EQ(link.receiveUEI(2, 3, 9, 0, &reply), vErrTimeout);
}

TEST_F(LinkOnSim, StoreSlots)
{
    uint32_t capacity = 0, size = 99;
    ASSERT_EQ(link.storeSlotCapacity(2, 0, 1, &capacity), vErrNone);
    EXPECT_EQ(capacity, 512u);
    ASSERT_EQ(link.storeSlotSize(2, 0, 1, &size), vErrNone);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(link.storeSlotSize(2, 0, 1, nullptr), vErrParam);

    // 60 bytes go in three chunks (25, 25, 10), each checked by its sum.
    uint8_t data[60];
    for (int i = 0; i < 60; i++)
        data[i] = uint8_t(200 + i * 3);
    ASSERT_EQ(link.loadStoreSlot(2, 0, 1, data, sizeof data), vErrNone);
    ASSERT_EQ(link.storeSlotSize(2, 0, 1, &size), vErrNone);
    EXPECT_EQ(size, 60u);
    uint8_t back[80] = {};
    uint32_t count = 0;
    ASSERT_EQ(link.unloadStoreSlot(2, 0, 1, back, sizeof back, &count), vErrNone);
    EXPECT_EQ(count, 60u);
    EXPECT_EQ(0, std::memcmp(back, data, 60));

    // A 100-byte slot into a 60-byte buffer: the first part and vErrOverrun.
    uint8_t small[60];
    count = 0;
    EXPECT_EQ(link.unloadStoreSlot(2, 1, 0, small, sizeof small, &count), vErrOverrun);
    EXPECT_EQ(count, 60u);
    for (int i = 0; i < 60; i++)
        ASSERT_EQ(small[i], uint8_t(i * 7 + 3)) << i;

    // The device's refusals come back as its codes.
    EXPECT_EQ(link.storeSlotSize(2, 7, 0, &size), vErrNotFound);
    EXPECT_EQ(link.storeSlotCapacity(2, 7, 0, &capacity), vErrNotFound);
    EXPECT_EQ(link.loadStoreSlot(2, 7, 0, data, 10), vErrMedia);
    std::vector<uint8_t> big(600, 1);
    EXPECT_EQ(link.loadStoreSlot(2, 0, 2, big.data(), uint32_t(big.size())), vErrSize);
    EXPECT_EQ(link.loadStoreSlot(2, 0, 2, nullptr, 1), vErrParam);
    // No handle is left open by any of this.
    EXPECT_EQ(sim.status()["entities"]["open_handles"], 0);
}

TEST_F(LinkOnSim, FactoryData)
{
    uint8_t buffer[128];
    uint32_t count = 0;
    ASSERT_EQ(link.getFactoryData(2, 1, buffer, sizeof buffer, &count), vErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), count), "CVSIM-FACTORY-CALIBRATION-RECORD-0001");
    // 52 bytes: two full replies, then an empty one ends the transfer.
    ASSERT_EQ(link.getFactoryData(2, 2, buffer, sizeof buffer, &count), vErrNone);
    ASSERT_EQ(count, 52u);
    for (uint32_t i = 0; i < count; i++)
        ASSERT_EQ(buffer[i], i);
    EXPECT_EQ(link.getFactoryData(2, 2, buffer, 40, &count), vErrOverrun);

    const uint8_t record[] = "written through the link, 44 bytes long ...";
    ASSERT_EQ(link.setFactoryData(2, 3, record, sizeof record), vErrNone);
    ASSERT_EQ(link.getFactoryData(2, 3, buffer, sizeof buffer, &count), vErrNone);
    ASSERT_EQ(count, sizeof record);
    EXPECT_EQ(0, std::memcmp(buffer, record, sizeof record));
    // A read-only record: the device's refusal is not an acknowledgement.
    EXPECT_EQ(link.setFactoryData(2, 15, record, 4), vErrSize);
}

TEST_F(LinkOnSim, PacketLogWritesEveryPacket)
{
    fixtures::TempDir dir;
    std::string path = dir / "packets.log";
    ASSERT_EQ(link.enablePacketLog(path.c_str()), vErrNone);
    uei reply;
    ASSERT_EQ(systemGet(9, &reply), vErrNone);
    // The logger thread writes the records behind the link's threads: the
    // reply, received last, is the last of them.
    const char kReply[] = "9 < 0x2 0x7 0x3 0x9 0x0 0x0 0x12 0xAB 0xCD";
    EXPECT_TRUE(fixtures::WaitUntil([&] { return fixtures::ReadFile(path).find(kReply) != std::string::npos; }));
    ASSERT_EQ(link.disablePacketLog(), vErrNone);
    std::string log = fixtures::ReadFile(path);
    EXPECT_NE(log.find("6 < START"), std::string::npos) << log;
    EXPECT_NE(log.find("5 > 0x2 0x3 0x3 0x49 0x20"), std::string::npos) << log;
    EXPECT_NE(log.find(kReply), std::string::npos) << log;
    link.disconnect();
    EXPECT_EQ(link.enablePacketLog(path.c_str()), vErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), vErrConfiguration);
}

TEST(LinkConnect, RefusedSpecifiersAndTransports)
{
    Link none("none");
    EXPECT_EQ(none.connect(), vErrConfiguration);
    linkSpec spec;
    EXPECT_EQ(none.getLinkSpecifier(&spec), vErrNotFound);

    struct Case {
        uint32_t type;
        uint8_t enabled;
        vErr expected;
    } cases[] = {
        {0, 0, vErrMode},
        {9, 0, vErrMode},
        {4, 0, vErrConfiguration},
        {7, 0, vErrConfiguration},
        {4, 1, vErrUnimplemented},  // needs the link server
        {6, 1, vErrUnimplemented},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Link link("refused");
        vEtherConfig config = directConfig();
        config.enabled = c.enabled;
        link.setConfig(config);
        linkSpec s = tcpSpec(1, 1);
        s.type = c.type;
        link.setLinkSpecifier(s);
        EXPECT_EQ(link.connect(), c.expected);
        EXPECT_EQ(link.getLinkId(), 0u);
        EXPECT_FALSE(link.isConnected());
    }
}

TEST(LinkConnect, SharingALinkThroughAServerIsNotAvailableYet)
{
    SimOverTcp sim(0x00C0FFEE);
    Link link("served");
    link.setLinkSpecifier(sim.spec());
    // The default configuration asks for the link server.
    EXPECT_EQ(link.connect(), vErrUnimplemented);
    EXPECT_EQ(link.getLinkId(), 0u);
    // The device was given back: a direct link to it works.
    link.setConfig(directConfig());
    EXPECT_EQ(link.connect(), vErrNone);
}

TEST(LinkConnect, NoDeviceBehindTheAddress)
{
    LoopbackListener closed;
    uint16_t port = closed.port;
    closed.stop();
    Link link("nobody");
    link.setConfig(directConfig());
    link.setLinkSpecifier(tcpSpec(1, port));
    EXPECT_EQ(link.connect(), vErrConnection);
    EXPECT_FALSE(link.isConnected());
}

TEST(LinkConnect, ThroughAnotherLinkSharesIt)
{
    SimOverTcp sim(0x00C0FFEE);
    Link router("router");
    router.setConfig(directConfig());
    router.setLinkSpecifier(sim.spec());
    Link child("child");
    EXPECT_EQ(child.connectThroughLinkModule(router), vErrInitialization);
    ASSERT_EQ(router.connect(), vErrNone);
    child.setConfig(directConfig());
    child.setLinkSpecifier(sim.spec());
    ASSERT_EQ(child.connectThroughLinkModule(router), vErrNone);
    EXPECT_EQ(child.getLinkId(), router.getLinkId());
    // One link to the device, two users: one going leaves the other working.
    EXPECT_EQ(sim.status()["sessions"], 1);
    child.disconnect();
    EXPECT_TRUE(router.isConnected());
    uint8_t address = 0;
    EXPECT_EQ(router.getModuleAddress(&address), vErrNone);
}

TEST(LinkConnect, ThroughAnotherLinkThatFailsKeepsNoBorrowedId)
{
    SimOverTcp sim(0x00C0FFEE);
    Link router("router");
    router.setConfig(directConfig());
    router.setLinkSpecifier(sim.spec());
    ASSERT_EQ(router.connect(), vErrNone);
    {
        Link child("child");
        child.setConfig(directConfig());
        linkSpec bad = sim.spec();
        bad.type = 9;
        child.setLinkSpecifier(bad);
        EXPECT_EQ(child.connectThroughLinkModule(router), vErrMode);
        EXPECT_EQ(child.getLinkId(), 0u);
    }
    // The child's destruction took nothing from the router's link.
    EXPECT_TRUE(router.isConnected());
    uint8_t address = 0;
    EXPECT_EQ(router.getModuleAddress(&address), vErrNone);
}

TEST(LinkSerial, CobsFramedPseudoTerminal)
{
    fixtures::TempDir dir;
    simtest::Sim sim({"--device", "serial=0x0000BEEF,pty", "--control", dir / "ctl"});
    std::string path = sim.Endpoint("pty:0000BEEF");
    ASSERT_FALSE(path.empty());
    Link link("serial");
    link.setConfig(directConfig());
    link.setLinkSpecifier(serialSpec(0xBEEF, path));
    ASSERT_EQ(link.connect(), vErrNone);
    uei request;
    request.module = 2;
    request.command = 3;
    request.option = 9 | 0x40;
    request.specifier = 0x20;
    ASSERT_EQ(link.sendUEI(request), vErrNone);
    uei reply;
    reply.module = 2;
    reply.command = 3;
    reply.option = 9;
    ASSERT_EQ(link.receiveUEI(2, 3, 9, 0, &reply), vErrNone);
    EXPECT_EQ(reply.v.intVal, 0xBEEFu);
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), vErrNone);
    EXPECT_EQ(address, 2);
}

TEST(LinkDiscovery, FallbackRule)
{
    // Nothing to find on USB here, and no link server on this host.
    struct Case {
        uint32_t type;
        uint8_t fallback;
        bool retried;
    } cases[] = {
        {1, 1, true},
        {1, 0, false},
        {3, 1, false},  // serial lines are not discovered, nor retried
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Link link("discover");
        vEtherConfig config = directConfig();
        config.fallback = c.fallback;
        link.setConfig(config);
        vCorvantisDebuggingEnable = true;
        vCorvantisDebuggingLevel = vDEBUG_LINK;
        ::testing::internal::CaptureStdout();
        vErr err = link.discoverAndConnect(c.type, 0x12345678, 0);
        std::string out = ::testing::internal::GetCapturedStdout();
        vCorvantisDebuggingEnable = false;
        EXPECT_EQ(err, vErrNotFound);
        EXPECT_EQ(out.find("Executing Fallback - old type: 1 - new type: 4") != std::string::npos, c.retried) << out;
    }
}

// --- exact packets, from a scripted device -----------------------------------

TEST(LinkPackets, ByteArraysGoOutInChunksWithTrailers)
{
    ScriptedDevice d;
    ASSERT_TRUE(d.connect());
    struct Case {
        uint32_t length;
        std::vector<uint8_t> payloads;
        std::vector<uint8_t> trailers;
    } cases[] = {
        {50, {24, 24, 2}, {0x80, 0x81, 0x02}},
        {24, {24}, {0x00}},
        {0, {0}, {0x00}},
        {3100, {}, {}}, // 130 chunks: queued in several batches, the count wraps
    };
    Case &longest = cases[3];
    for (uint32_t i = 0; i < 130; i++) {
        longest.payloads.push_back(i < 129 ? 24 : 4);
        longest.trailers.push_back(uint8_t((i & 0x7F) | (i < 129 ? 0x80 : 0)));
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        size_t before = d.device.requests().size();
        std::vector<uint8_t> payload(c.length);
        for (uint32_t i = 0; i < c.length; i++)
            payload[i] = uint8_t(i * 7 + i / 256);
        uei u;
        u.module = 4;
        u.command = 40;
        u.option = 0x85;
        u.specifier = 0x21;
        u.type = ueiTypeBytes;
        u.v.bytes.data = payload.data();
        u.v.bytes.length = c.length;
        ASSERT_EQ(d.link.sendUEI(u), vErrNone);
        ASSERT_TRUE(d.device.waitFor([&](DeviceDouble &dd) { return dd.requests().size() == before + c.payloads.size(); }));
        std::vector<Bytes> got = d.device.requests();
        uint32_t at = 0;
        for (size_t i = 0; i < c.payloads.size(); i++) {
            const Bytes &p = got[before + i];
            ASSERT_EQ(p[1], c.payloads[i] + 4);
            EXPECT_EQ(Bytes(p.begin() + 2, p.begin() + 5), (Bytes{40, 0x85, 0x21}));
            EXPECT_EQ(Bytes(p.begin() + 5, p.begin() + 5 + c.payloads[i]),
                      Bytes(payload.begin() + at, payload.begin() + at + c.payloads[i]));
            EXPECT_EQ(p.back(), c.trailers[i]);
            at += c.payloads[i];
        }
    }
}

TEST(LinkPackets, ValueEncodingsOfSendUEI)
{
    ScriptedDevice d;
    ASSERT_TRUE(d.connect());
    struct Case {
        ueiType type;
        uint32_t value;
        bool subindex;
        Bytes wire;
    } cases[] = {
        {ueiTypeVoid, 0, false, {4, 3, 3, 0x41, 0x20}},
        {ueiTypeByte, 0xAB, false, {4, 4, 3, 0x41, 0x20, 0xAB}},
        {ueiTypeShort, 0x1234, false, {4, 5, 3, 0x41, 0x20, 0x12, 0x34}},
        {ueiTypeInt, 0x12345678, false, {4, 7, 3, 0x41, 0x20, 0x12, 0x34, 0x56, 0x78}},
        {ueiTypeVoid, 0, true, {4, 4, 3, 0x41, 0x20, 9}},
        {ueiTypeByte, 0xAB, true, {4, 5, 3, 0x41, 0x20, 9, 0xAB}},
        {ueiTypeShort, 0x1234, true, {4, 6, 3, 0x41, 0x20, 9, 0x12, 0x34}},
        {ueiTypeInt, 0x12345678, true, {4, 8, 3, 0x41, 0x20, 9, 0x12, 0x34, 0x56, 0x78}},
    };
    for (const Case &c : cases) {
        size_t before = d.device.requests().size();
        uei u;
        u.module = 4;
        u.command = 3;
        u.option = 0x41;
        u.specifier = 0x20;
        u.type = c.type;
        u.v.intVal = c.value;
        if (c.type == ueiTypeByte)
            u.v.byteVal = uint8_t(c.value);
        if (c.type == ueiTypeShort)
            u.v.shortVal = uint16_t(c.value);
        ASSERT_EQ(c.subindex ? d.link.sendUEI(u, 9) : d.link.sendUEI(u), vErrNone);
        ASSERT_TRUE(d.device.waitFor([&](DeviceDouble &dd) { return dd.requests().size() == before + 1; }));
        EXPECT_EQ(d.device.requests().back(), c.wire);
    }
    uei bytes;
    bytes.module = 4;
    bytes.type = ueiTypeBytes;
    EXPECT_EQ(d.link.sendUEI(bytes, 1), vErrParam);
}

TEST(LinkPackets, ReplyLengthsDecideTheValueType)
{
    ScriptedDevice d;
    ASSERT_TRUE(d.connect());
    struct Case {
        Bytes reply;
        ueiType type;
        uint32_t value;
    } cases[] = {
        {{4, 3, 3, 1, 0}, ueiTypeVoid, 0},
        {{4, 4, 3, 1, 0, 0x7E}, ueiTypeByte, 0x7E},
        {{4, 5, 3, 1, 0, 0xBE, 0xEF}, ueiTypeShort, 0xBEEF},
        {{4, 7, 3, 1, 0, 0xDE, 0xAD, 0xBE, 0xEF}, ueiTypeInt, 0xDEADBEEF},
        // Flag bits 5 and 6 of the specifier do not stop a match.
        {{4, 4, 3, 1, 0x20, 0x11}, ueiTypeByte, 0x11},
    };
    for (const Case &c : cases) {
        d.device.sendPacket(c.reply);
        uei u;
        u.module = 4;
        u.command = 3;
        u.option = 1;
        u.specifier = 0;
        u.type = ueiTypeBytes;  // replaced by what the reply carries
        ASSERT_EQ(d.link.receiveUEI(4, 3, 1, 0, &u), vErrNone);
        EXPECT_EQ(u.type, c.type);
        uint32_t got = c.type == ueiTypeByte ? u.v.byteVal : c.type == ueiTypeShort ? u.v.shortVal
                                                   : c.type == ueiTypeInt   ? u.v.intVal
                                                                            : 0;
        EXPECT_EQ(got, c.value);
    }
    // Packets of another address, command, option or index are not replies.
    for (const Bytes &other : {Bytes{6, 4, 3, 1, 0, 1}, Bytes{4, 4, 2, 1, 0, 1}, Bytes{4, 4, 3, 2, 0, 1},
                               Bytes{4, 4, 3, 1, 1, 1}, Bytes{4, 2, 3, 1}}) {
        d.device.sendPacket(other);
    }
    uei u;
    u.module = 4;
    u.command = 3;
    u.option = 1;
    EXPECT_EQ(d.link.receiveUEI(4, 3, 1, 0, &u), vErrTimeout);
}

} // namespace
