// Replies no well-behaved device sends, from a scripted device: error
// replies, wrong lengths, wrong sequence numbers, malformed slot and factory
// replies, and silence. Each gets its code; nothing hangs or crashes.
#include "tests/device/device_fixture.h"

using namespace devtest;

namespace {

// A scripted device at module address 4 whose answers the test sets.
struct BadDevice : ::testing::Test {
    ScriptedDevice d;
    Module module{4, false, 0};
    SystemClass system;

    void SetUp() override { ASSERT_TRUE(d.connect()); }

    // Binds a Module to the scripted link by connecting it through that link.
    void bind()
    {
        module.setConfig(directConfig());
        ASSERT_EQ(module.connectFromSpec(tcpSpec(ScriptedDevice::kSerial, d.listener.port)), vErrNone);
        system.init(&module, 0);
    }
    void answer(std::function<std::vector<Bytes>(const Bytes &)> h) { d.device.setHandler(std::move(h)); }
};

// Requests are matched on command and option byte.
bool isRequest(const Bytes &p, uint8_t command, uint8_t option)
{
    return p.size() >= 4 && p[2] == command && p[3] == option;
}

TEST_F(BadDevice, GetterReplies)
{
    bind();
    struct Case {
        const char *name;
        std::vector<Bytes> replies;  // to a get of option 9 (32-bit)
        vErr expected;
        uint32_t value;
    } cases[] = {
        {"good", {{4, 7, 3, 9, 0, 1, 2, 3, 4}}, vErrNone, 0x01020304},
        {"error reply", {{4, 4, 3, 9, 0x80, uint8_t(vErrBusy)}}, vErrBusy, 0},
        {"error reply without a code", {{4, 3, 3, 9, 0x80}}, vErrUnknown, 0},
        {"error code no vErr has", {{4, 4, 3, 9, 0x80, 200}}, vErrUnknown, 0},
        {"a byte for an int", {{4, 4, 3, 9, 0, 7}}, vErrSize, 0},
        {"odd length", {{4, 6, 3, 9, 0, 1, 2, 3}}, vErrSize, 0},
        {"another option only", {{4, 7, 3, 8, 0, 1, 2, 3, 4}}, vErrTimeout, 0},
        {"another address only", {{6, 7, 3, 9, 0, 1, 2, 3, 4}}, vErrTimeout, 0},
        {"silence", {}, vErrTimeout, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> replies = c.replies;
        answer([replies](const Bytes &p) { return isRequest(p, 3, 0x49) ? replies : std::vector<Bytes>{}; });
        uint32_t value = 0;
        EXPECT_EQ(system.getSerialNumber(&value), c.expected);
        EXPECT_EQ(value, c.value);
        module.getLink()->dropMatchingUEIPackets(4, 3, 8, 0);
    }
}

TEST_F(BadDevice, SetterAcknowledgements)
{
    bind();
    struct Case {
        const char *name;
        Bytes reply;
        vErr expected;
    } cases[] = {
        {"acknowledged", {4, 3, 3, 0xC4, 0}, vErrNone},
        {"refused", {4, 4, 3, 0xC4, 0x80, uint8_t(vErrPermission)}, vErrPermission},
        {"a get reply is no acknowledgement", {4, 3, 3, 0x04, 0}, vErrTimeout},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = c.reply;
        answer([reply](const Bytes &p) { return isRequest(p, 3, 0x84) ? std::vector<Bytes>{reply} : std::vector<Bytes>{}; });
        EXPECT_EQ(system.setLED(1), c.expected);
        module.getLink()->dropMatchingUEIPackets(4, 3, 4, 0);
    }
}

// A byte array of the name option (32) in the packets given.
std::vector<Bytes> nameReply(std::initializer_list<std::pair<Bytes, uint8_t>> chunks)
{
    std::vector<Bytes> out;
    for (const auto &c : chunks) {
        Bytes p = {4, uint8_t(c.first.size() + 4), 3, 32, 0};
        p.insert(p.end(), c.first.begin(), c.first.end());
        p.push_back(c.second);
        out.push_back(p);
    }
    return out;
}

TEST_F(BadDevice, ByteArrayReplies)
{
    bind();
    Bytes a(24, 'a'), b(6, 'b');
    struct Case {
        const char *name;
        std::vector<Bytes> replies;
        vErr expected;
        std::string text;
    } cases[] = {
        {"two packets", nameReply({{a, 0x80}, {b, 0x01}}), vErrNone, std::string(24, 'a') + "bbbbbb"},
        {"continuation clear ends it", nameReply({{b, 0x00}, {a, 0x01}}), vErrNone, "bbbbbb"},
        {"wrong sequence waits in vain", nameReply({{a, 0x80}, {b, 0x05}}), vErrTimeout, ""},
        {"first packet not 0", nameReply({{b, 0x01}}), vErrTimeout, ""},
        {"more promised, none sent", nameReply({{b, 0x80}}), vErrTimeout, ""},
        {"error reply midway", {nameReply({{a, 0x80}})[0], Bytes{4, 4, 3, 32, 0x80, uint8_t(vErrIO)}}, vErrIO, ""},
        {"error code no vErr has", {nameReply({{a, 0x80}})[0], Bytes{4, 4, 3, 32, 0x80, 255}}, vErrUnknown, ""},
        {"longer than the buffer", nameReply({{a, 0x80}, {a, 0x81}, {a, 0x02}}), vErrMemory, ""},
        {"no trailer", {Bytes{4, 3, 3, 32, 0}}, vErrTimeout, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> replies = c.replies;
        answer([replies](const Bytes &p) { return isRequest(p, 3, 0x60) ? replies : std::vector<Bytes>{}; });
        char name[40];
        uint32_t length = 99;
        EXPECT_EQ(system.getName(name, sizeof name, &length), c.expected);
        if (c.expected == vErrNone) {
            EXPECT_EQ(std::string(name, length), c.text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        module.getLink()->dropMatchingUEIPackets(4, 3, 32, 0);
    }
}

TEST_F(BadDevice, ModuleQueryReplies)
{
    bind();
    struct Case {
        const char *name;
        Bytes reply;
        vErr build, has;
    } cases[] = {
        {"build", {4, 6, 73, 0xFF, 0x00, 0x01, 0x02, 0x03}, vErrNone, vErrUnknown},
        {"short build", {4, 5, 73, 0xFF, 0x00, 0x01, 0x02}, vErrSize, vErrUnknown},
        {"has UEI", {4, 6, 73, 1, 3, 9, 0, 0}, vErrTimeout, vErrNone},
        {"has UEI of another option", {4, 6, 73, 1, 3, 8, 0, 0}, vErrTimeout, vErrUnknown},
        {"has UEI refused", {4, 6, 73, 1, 3, 9, 0, uint8_t(vErrInvalidOption)}, vErrTimeout, vErrInvalidOption},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = c.reply;
        answer([reply](const Bytes &p) { return p[2] == 73 ? std::vector<Bytes>{reply} : std::vector<Bytes>{}; });
        uint32_t build = 0;
        EXPECT_EQ(module.getBuild(&build), c.build);
        if (c.build == vErrNone) {
            EXPECT_EQ(build, 66051u);
        }
        EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), c.has);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        module.getLink()->dropMatchingUEIPackets(4, 73, 0xFF, 0);
        d.device.setHandler(nullptr);
        uint8_t out[28], len = 0;
        while (module.getLink()->receivePacket(4, nullptr, &len, out) == vErrNone)
            len = 0;
    }
    // Echo that does not repeat the bytes.
    answer([](const Bytes &p) { return p[2] == 23 ? std::vector<Bytes>{Bytes{4, 3, 23, 1, 9}} : std::vector<Bytes>{}; });
    const uint8_t echo[] = {1, 2};
    EXPECT_EQ(module.debug(echo, 2), vErrIO);
    answer([](const Bytes &p) { return p[2] == 73 ? std::vector<Bytes>{Bytes{4, 3, 73, 4, 3}} : std::vector<Bytes>{}; });
    uint8_t count = 5;
    EXPECT_EQ(module.classQuantity(3, &count), vErrUnknown);
    EXPECT_EQ(count, 0);
}

TEST_F(BadDevice, SlotReplies)
{
    // Open for writing gives handle 9; each write is answered as the case says.
    struct Case {
        const char *name;
        Bytes writeReply;  // after [4, 7, 9]
        Bytes closeReply;
        vErr expected;
    } cases[] = {
        {"good", {}, {4, 4, 4, 8, 9, 0}, vErrNone},
        {"wrong sum", {4, 4, 4, 7, 9, 0x00}, {4, 4, 4, 8, 9, 0}, vErrIO},
        {"write refused", {4, 4, 4, 0x87, 9, uint8_t(vErrSize)}, {4, 4, 4, 8, 9, 0}, vErrSize},
        {"close refused", {}, {4, 4, 4, 0x88, 9, uint8_t(vErrMedia)}, vErrMedia},
        {"close malformed", {}, {4, 5, 4, 8, 9, 0, 0}, vErrIO},
        {"close unanswered", {}, {}, vErrTimeout},
    };
    const uint8_t data[3] = {1, 2, 3};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes writeReply = c.writeReply, closeReply = c.closeReply;
        answer([writeReply, closeReply](const Bytes &p) -> std::vector<Bytes> {
            if (p[2] != 4)
                return {};
            switch (p[3]) {
            case 4: return {Bytes{4, 5, 4, 4, p[4], p[5], 9}};
            case 7: return {writeReply.empty() ? Bytes{4, 4, 4, 7, 9, 6} : writeReply};
            case 8: return closeReply.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{closeReply};
            }
            return {};
        });
        EXPECT_EQ(d.link.loadStoreSlot(4, 0, 0, data, 3), c.expected);
    }
    // Open refused: vErrMedia, nothing written.
    answer([](const Bytes &p) -> std::vector<Bytes> {
        if (p[2] == 4 && (p[3] == 3 || p[3] == 4))
            return {Bytes{4, 5, 4, uint8_t(p[3] | 0x80), p[4], p[5], uint8_t(vErrBusy)}};
        if (p[2] == 4 && p[3] == 2)
            return {Bytes{4, 6, 4, 2, p[4], p[5], 0, 10}};
        return {};
    });
    EXPECT_EQ(d.link.loadStoreSlot(4, 0, 0, data, 3), vErrMedia);
    uint8_t buffer[16];
    uint32_t count = 0;
    EXPECT_EQ(d.link.unloadStoreSlot(4, 0, 0, buffer, sizeof buffer, &count), vErrMedia);
    // Size replies of the wrong length, and none at all.
    answer([](const Bytes &p) -> std::vector<Bytes> {
        if (p[2] == 4 && p[3] == 2)
            return {Bytes{4, 5, 4, 2, p[4], p[5], 1}};
        return {};
    });
    uint32_t size = 0;
    EXPECT_EQ(d.link.storeSlotSize(4, 0, 0, &size), vErrUnknown);
    answer(nullptr);
    EXPECT_EQ(d.link.storeSlotCapacity(4, 0, 0, &size), vErrTimeout);
    // A read reply that is only the header is not taken for a reply at all.
    answer([](const Bytes &p) -> std::vector<Bytes> {
        if (p[2] == 4 && p[3] == 2)
            return {Bytes{4, 6, 4, 2, p[4], p[5], 0, 10}};
        if (p[2] == 4 && p[3] == 3)
            return {Bytes{4, 5, 4, 3, p[4], p[5], 7}};
        if (p[2] == 4 && p[3] == 6)
            return {Bytes{4, 3, 4, 6, 7}};
        if (p[2] == 4 && p[3] == 8)
            return {Bytes{4, 4, 4, 8, 7, 0}};
        return {};
    });
    EXPECT_EQ(d.link.unloadStoreSlot(4, 0, 0, buffer, sizeof buffer, &count), vErrTimeout);
}

TEST_F(BadDevice, FactoryReplies)
{
    uint8_t buffer[64];
    uint32_t count = 0;
    struct Case {
        const char *name;
        Bytes reply;  // to every request but the end marker
        Bytes end;
        vErr expected;
    } cases[] = {
        {"short record", {4, 5, 94, 1, 'a', 'b', 'c'}, {4, 2, 94, 0}, vErrNone},
        {"refused", {4, 3, 94, 0x81, uint8_t(vErrPermission)}, {4, 2, 94, 0}, vErrPermission},
        {"end refused", {4, 5, 94, 1, 'a', 'b', 'c'}, {4, 3, 94, 0x80, uint8_t(vErrSize)}, vErrSize},
        {"end unanswered", {4, 5, 94, 1, 'a', 'b', 'c'}, {}, vErrTimeout},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = c.reply, end = c.end;
        answer([reply, end](const Bytes &p) -> std::vector<Bytes> {
            if (p[2] != 94)
                return {};
            if (p[3] == 0x20)
                return end.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{end};
            return {reply};
        });
        EXPECT_EQ(d.link.getFactoryData(4, 1, buffer, sizeof buffer, &count), c.expected);
        if (c.expected == vErrNone) {
            EXPECT_EQ(count, 3u);
            // One request, then the end marker with the count.
            std::vector<Bytes> r = d.device.requests();
            EXPECT_EQ(r.back(), (Bytes{4, 4, 94, 0x20, 0, 3}));
            EXPECT_EQ(r[r.size() - 2], (Bytes{4, 2, 94, 0x41}));
        }
    }
    // Acknowledgements of a write that are not two bytes long.
    answer([](const Bytes &p) -> std::vector<Bytes> {
        if (p[2] == 94 && p[3] != 0x20)
            return {Bytes{4, 3, 94, 1, 0}};
        return {Bytes{4, 2, 94, 0}};
    });
    const uint8_t data[30] = {};
    EXPECT_EQ(d.link.setFactoryData(4, 1, data, 30), vErrSize);
    answer(nullptr);
    EXPECT_EQ(d.link.setFactoryData(4, 1, data, 30), vErrTimeout);
    EXPECT_EQ(d.link.getFactoryData(4, 1, buffer, sizeof buffer, &count), vErrTimeout);
}

TEST_F(BadDevice, I2CReplies)
{
    bind();
    I2CClass i2c;
    i2c.init(&module, 0);
    struct Case {
        const char *name;
        Bytes reply;
        vErr expected;
        uint8_t first;
    } cases[] = {
        {"good", {4, 7, 8, 0, 0x41, 2, 0, 0xAA, 0xBB}, vErrNone, 0xAA},
        {"more than asked for", {4, 9, 8, 0, 0x41, 9, 0, 0xCC, 0xDD, 1, 2}, vErrNone, 0xCC},
        {"count beyond the reply", {4, 6, 8, 0, 0x41, 20, 0, 0xEE}, vErrNone, 0xEE},
        {"error", {4, 5, 8, 0, 0x41, 0, 0x83}, vErrNotFound, 0},
        {"too short", {4, 4, 8, 0, 0x41, 0}, vErrPacket, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = c.reply;
        answer([reply](const Bytes &p) { return p[2] == 8 ? std::vector<Bytes>{reply} : std::vector<Bytes>{}; });
        uint8_t buffer[2] = {0, 0};
        EXPECT_EQ(i2c.read(0x40, 2, buffer), c.expected);
        EXPECT_EQ(buffer[0], c.first);
    }
}

TEST_F(BadDevice, SilenceAndADeviceThatGoes)
{
    d.device.answerSync = false;
    uint8_t address = 9;
    EXPECT_EQ(d.link.getModuleAddress(&address), vErrNotReady);
    EXPECT_EQ(address, 0);
    // The device hangs up and is gone (nobody listens for a reconnection):
    // exchanges fail at once rather than waiting.
    d.listener.stop();
    d.device.closeLine();
    for (int i = 0; i < 200 && d.link.isConnected(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(d.link.isConnected()) << d.link.getStatus();
    uei u;
    u.module = 4;
    EXPECT_EQ(d.link.sendUEI(u), vErrConnection);
    uint32_t size;
    EXPECT_EQ(d.link.storeSlotSize(4, 0, 0, &size), vErrConnection);
}

} // namespace
