#include "common/vPacket.h"
#include "common/vUEI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct PacketDeleter {
    void operator()(vPacket *p) const { vPacket_Destroy(&p); }
};
typedef std::unique_ptr<vPacket, PacketDeleter> Packet;

Packet Make(uint8_t address, std::vector<uint8_t> data)
{
    return Packet(vPacket_CreateWithData(address, uint8_t(data.size()), data.data()));
}

// Feeds bytes until one is rejected; returns that byte's index and result
// (or the count and vErrNone when all were taken).
std::pair<size_t, vErr> Feed(vPacket *p, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        vErr err = vPacket_AddByte(p, bytes[i]);
        if (err != vErrNone)
            return {i, err};
    }
    return {bytes.size(), vErrNone};
}

} // namespace

TEST(Packet, CreateIsEmptyAndValid)
{
    Packet p(vPacket_Create());
    ASSERT_TRUE(vVALIDPACKET(p.get()));
    EXPECT_EQ(p->curSize, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->dataSize, 0);
    for (uint8_t b : p->data)
        EXPECT_EQ(b, 0);
    EXPECT_FALSE(vPacket_IsComplete(p.get()));
}

TEST(Packet, AddByteBuildsPackets)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        size_t taken;          // bytes accepted before the first rejection
        vErr stop;             // result of the rejected byte
        bool complete;         // state after the accepted bytes
    };
    const Case cases[] = {
        {"uei get", {0x04, 0x03, 0x03, 0x48, 0x20}, 5, vErrNone, true},
        {"empty packet", {0x06, 0x00}, 2, vErrNone, true},
        {"zero address", {0x00}, 0, vErrPacket, false},
        {"length 29", {0x04, 29}, 1, vErrPacket, false},
        {"length 28 full", [] { std::vector<uint8_t> v{2, 28}; v.resize(30, 0xAB); return v; }(), 30, vErrNone, true},
        {"byte past the end", {0x04, 0x01, 0x11, 0x22}, 3, vErrPacket, true},
        {"byte after empty packet", {0x04, 0x00, 0x05}, 2, vErrPacket, true},
        {"partial", {0x08, 0x03, 0x01}, 3, vErrNone, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Packet p(vPacket_Create());
        auto result = Feed(p.get(), c.bytes);
        EXPECT_EQ(result.first, c.taken);
        EXPECT_EQ(result.second, c.stop);
        EXPECT_EQ(vPacket_IsComplete(p.get()), c.complete);
    }

    Packet p(vPacket_Create());
    ASSERT_EQ(Feed(p.get(), {0x04, 0x03, 0x03, 0x48, 0x20}).second, vErrNone);
    uint8_t cmd = 0, option = 0, index = 99;
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->dataSize, 3);
    EXPECT_EQ(vPacket_GetCmd(p.get(), &cmd), vErrNone);
    EXPECT_EQ(vPacket_GetOption(p.get(), &option), vErrNone);
    EXPECT_EQ(vPacket_GetIndex(p.get(), &index), vErrNone);
    EXPECT_EQ(cmd, 3);
    EXPECT_EQ(option, 8);
    EXPECT_EQ(index, 0);
}

TEST(Packet, RejectedBytesNeverShiftOrCorruptThePacket)
{
    // A rejected zero address does not count: the next bytes still form the packet.
    Packet p(vPacket_Create());
    EXPECT_EQ(vPacket_AddByte(p.get(), 0), vErrPacket);
    ASSERT_EQ(Feed(p.get(), {0x04, 0x02, 0xAA, 0xBB}).second, vErrNone);
    ASSERT_TRUE(vPacket_IsComplete(p.get()));
    EXPECT_EQ(p->data[0], 0xAA);
    EXPECT_EQ(p->data[1], 0xBB);

    // Fed endlessly without a reset, an overlong packet never turns complete
    // and never writes past its data.
    Packet q(vPacket_Create());
    EXPECT_EQ(vPacket_AddByte(q.get(), 0x04), vErrNone);
    EXPECT_EQ(vPacket_AddByte(q.get(), 29), vErrPacket);
    for (int i = 0; i < 1000; ++i) {
        vErr err = vPacket_AddByte(q.get(), uint8_t(i));
        EXPECT_TRUE(err == vErrNone || err == vErrOverrun) << i;
        ASSERT_FALSE(vPacket_IsComplete(q.get())) << i;
    }
    EXPECT_EQ(vPacket_AddByte(q.get(), 1), vErrOverrun);
    uint8_t wire[64];
    size_t len = 0;
    EXPECT_EQ(vPacket_GetBytes(q.get(), wire, sizeof(wire), &len), vErrParam);

    ASSERT_EQ(vPacket_Reset(q.get()), vErrNone);
    ASSERT_EQ(Feed(q.get(), {0x06, 0x00}).second, vErrNone);
    EXPECT_TRUE(vPacket_IsComplete(q.get()));
}

TEST(Packet, CreateWithDataAndWireForm)
{
    std::vector<uint8_t> data(29, 0x5A);
    EXPECT_EQ(vPacket_CreateWithData(4, 29, data.data()), nullptr);
    EXPECT_EQ(vPacket_CreateWithData(4, 1, nullptr), nullptr);

    for (uint8_t i = 0; i < 28; ++i)
        data[i] = i;
    Packet p(vPacket_CreateWithData(0x10, 28, data.data()));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->curSize, 30);
    EXPECT_TRUE(vPacket_IsComplete(p.get()));

    uint8_t wire[30];
    memset(wire, 0xEE, sizeof(wire));
    size_t len = 0;
    EXPECT_EQ(vPacket_GetBytes(p.get(), wire, 29, &len), vErrOverrun);
    EXPECT_EQ(len, 0u);
    for (uint8_t b : wire)
        ASSERT_EQ(b, 0xEE); // nothing written
    ASSERT_EQ(vPacket_GetBytes(p.get(), wire, 30, &len), vErrNone);
    EXPECT_EQ(len, 30u);
    EXPECT_EQ(wire[0], 0x10);
    EXPECT_EQ(wire[1], 28);
    EXPECT_EQ(0, memcmp(wire + 2, data.data(), 28));
    EXPECT_EQ(vPacket_GetBytes(p.get(), wire, 30, nullptr), vErrNone);
    EXPECT_EQ(vPacket_GetBytes(p.get(), nullptr, 30, &len), vErrParam);

    // Copy: same content, separate storage.
    Packet c(vPacket_Copy(p.get()));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c.get(), p.get());
    EXPECT_EQ(c->address, 0x10);
    EXPECT_EQ(c->dataSize, 28);
    EXPECT_EQ(0, memcmp(c->data, p->data, 28));

    // A built packet round-trips through its own wire bytes.
    Packet rebuilt(vPacket_Create());
    ASSERT_EQ(Feed(rebuilt.get(), std::vector<uint8_t>(wire, wire + 30)).second, vErrNone);
    EXPECT_TRUE(vPacket_IsComplete(rebuilt.get()));
    EXPECT_EQ(0, memcmp(rebuilt->data, p->data, 28));
}

TEST(Packet, GettersNeedEnoughData)
{
    uint8_t out = 0xEE;
    Packet none = Make(4, {});
    Packet one = Make(4, {0x21});
    Packet two = Make(4, {0x21, 0xC5});
    Packet three = Make(4, {0x21, 0xC5, 0xE3});
    EXPECT_EQ(vPacket_GetCmd(none.get(), &out), vErrPacket);
    EXPECT_EQ(vPacket_GetCmd(one.get(), &out), vErrNone);
    EXPECT_EQ(out, 0x21);
    EXPECT_EQ(vPacket_GetOption(one.get(), &out), vErrPacket);
    EXPECT_EQ(vPacket_GetOption(two.get(), &out), vErrNone);
    EXPECT_EQ(out, 0x05); // flags stripped
    EXPECT_EQ(vPacket_GetIndex(two.get(), &out), vErrPacket);
    EXPECT_EQ(vPacket_GetIndex(three.get(), &out), vErrNone);
    EXPECT_EQ(out, 0x03);
    EXPECT_EQ(vPacket_GetCmd(three.get(), nullptr), vErrParam);
    EXPECT_EQ(vPacket_GetCmd(nullptr, &out), vErrPacket);

    vPacket fake;
    memset(&fake, 0, sizeof(fake));
    fake.dataSize = 3;
    EXPECT_EQ(vPacket_GetCmd(&fake, &out), vErrPacket);  // no validity mark
    EXPECT_EQ(vPacket_AddByte(&fake, 4), vErrParam);
    EXPECT_EQ(vPacket_Reset(&fake), vErrParam);
    EXPECT_EQ(vPacket_Copy(&fake), nullptr);
    EXPECT_FALSE(vPacket_IsComplete(&fake));
}

TEST(Packet, DestroyClearsHandle)
{
    vPacket *p = vPacket_Create();
    EXPECT_EQ(vPacket_Destroy(&p), vErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(vPacket_Destroy(&p), vErrParam);
    EXPECT_EQ(vPacket_Destroy(nullptr), vErrParam);
}

TEST(UEI, BigEndianValues)
{
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(vUEI_RetrieveInt(bytes), 0x12345678u);
    EXPECT_EQ(vUEI_RetrieveShort(bytes), 0x1234);
    const uint8_t high[] = {0xFF, 0xFE, 0x80, 0x01};
    EXPECT_EQ(vUEI_RetrieveInt(high), 0xFFFE8001u);
    EXPECT_EQ(vUEI_RetrieveShort(high), 0xFFFE);

    uint8_t buf[4] = {};
    EXPECT_EQ(vUEI_StoreInt(buf, 0xA1B2C3D4u), buf);
    EXPECT_EQ(buf[0], 0xA1);
    EXPECT_EQ(buf[3], 0xD4);
    EXPECT_EQ(vUEI_StoreShort(buf, 0x0102), buf);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0x02);
    EXPECT_EQ(buf[2], 0xC3); // untouched

    uint8_t raw[8] = {0x00, 0x00, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t words[2];
    memcpy(words, raw, sizeof(words));
    vUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
}

TEST(UEI, ByteTransferTrailer)
{
    std::vector<uint8_t> full(28, 0);
    full[0] = 20;
    full[27] = 0x85;
    Packet more = Make(4, full);
    EXPECT_EQ(vUEI_getBytesSequence(more.get()), 5);
    EXPECT_TRUE(vUEI_getBytesContinue(more.get()));
    EXPECT_TRUE(vUEI_getBytesFullPacket(more.get()));

    full.resize(27);
    full[26] = 0x7F;
    Packet last = Make(4, full);
    EXPECT_EQ(vUEI_getBytesSequence(last.get()), 0x7F);
    EXPECT_FALSE(vUEI_getBytesContinue(last.get()));
    EXPECT_TRUE(vUEI_getBytesFullPacket(last.get()));

    Packet shortOne = Make(4, {20, 1, 0x21, 9, 0x80});
    EXPECT_FALSE(vUEI_getBytesFullPacket(shortOne.get()));
    EXPECT_TRUE(vUEI_getBytesContinue(shortOne.get()));
    Packet empty = Make(4, {});
    EXPECT_EQ(vUEI_getBytesSequence(empty.get()), 0);
    EXPECT_FALSE(vUEI_getBytesContinue(empty.get()));
    EXPECT_EQ(vUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(vUEI_getBytesContinue(nullptr));
    EXPECT_FALSE(vUEI_getBytesFullPacket(nullptr));
}

TEST(UEI, PayloadClassification)
{
    for (unsigned cmd = 0; cmd < 256; ++cmd) {
        bool notUEI = cmd == 0 || cmd == 1 || cmd == 2 || cmd == 4 || cmd == 8 || cmd == 9 || cmd == 23 ||
                      cmd == 24 || cmd == 73 || cmd == 94 || cmd == 95 || cmd == 173 || cmd == 175;
        Packet p = Make(4, {uint8_t(cmd), 0x05, 0x41, 1, 2, 3, 4});
        EXPECT_EQ(vUEI_isNotUEIPayload(p.get()), notUEI) << cmd;
        EXPECT_EQ(vUEI_isUEIPayload(p.get()), !notUEI) << cmd;
        EXPECT_EQ(vUEI_isStreamPacket(p.get()), !notUEI) << cmd;
    }
    EXPECT_FALSE(vUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(vUEI_isUEIPayload(nullptr));
    EXPECT_FALSE(vUEI_isStreamPacket(nullptr));
}

TEST(UEI, StreamPackets)
{
    struct Case { std::vector<uint8_t> data; bool stream; const char *what; };
    const Case cases[] = {
        {{20, 0x05, 0x41, 1, 2, 3, 4}, true, "stream value for entity 1"},
        {{95, 0x05, 0x41, 1, 2, 3, 4}, false, "upgrade command"},
        {{20, 0x45, 0x41, 1, 2, 3, 4}, false, "get flag"},
        {{20, 0x85, 0x41, 1, 2, 3, 4}, false, "set flag"},
        {{20, 0x05, 0x21, 1, 2, 3, 4}, false, "no stream bit"},
        {{20, 0x05, 0x41, 1}, false, "too short"},
        {{20, 0x05, 0x41, 1, 2}, true, "five bytes"},
    };
    for (const Case &c : cases) {
        Packet p = Make(4, c.data);
        EXPECT_EQ(vUEI_isStreamPacket(p.get()), c.stream) << c.what;
    }
    Packet s = Make(4, {20, 0x05, 0x41, 1, 2, 3, 4});
    uint8_t index = 0;
    ASSERT_EQ(vPacket_GetIndex(s.get(), &index), vErrNone);
    EXPECT_EQ(index, 1);
}
