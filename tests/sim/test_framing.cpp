// Framing of the simulator's packets: COBS + CRC-8 on serial lines and the
// counted byte stream on TCP. A fault here would corrupt every serial test.
#include "sim/SimPacket.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cvsim;

namespace {

std::vector<Inbound> _read_cobs(const std::vector<uint8_t> &bytes, uint64_t *errors = nullptr) {
    CobsReader r;
    std::vector<Inbound> out;
    r.Feed(bytes.data(), bytes.size(), out);
    if (errors)
        *errors = r.Framing_Errors();
    return out;
}

}  // namespace

TEST(Crc8, CheckValue) {
    const char *text = "123456789";
    EXPECT_EQ(Crc8(reinterpret_cast<const uint8_t *>(text), std::strlen(text)), 0xA1);
}

TEST(Cobs, KnownFrames) {
    struct Case {
        Packet packet;
        std::vector<uint8_t> frame;
    } cases[] = {
        {Packet(4, {0x00}), {0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}},
        {Packet(4, {0x03, 0x48, 0x20}), {0x07, 0x04, 0x03, 0x03, 0x48, 0x20, 0xBD, 0x00}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Cobs_Frame(c.packet), c.frame);
        auto got = _read_cobs(c.frame);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].packet.Wire(), c.packet.Wire());
        EXPECT_FALSE(got[0].link_level);
    }
}

TEST(Cobs, FullPacketIsThirtyThreeBytesAndRoundTrips) {
    Packet p;
    p.address = 6;
    for (int i = 0; i < 28; i++)
        p.Push(uint8_t(i * 9));  // includes zero bytes at i = 0
    auto frame = Cobs_Frame(p);
    EXPECT_EQ(frame.size(), 33u);
    EXPECT_EQ(frame.back(), 0);
    for (size_t i = 0; i + 1 < frame.size(); i++)
        EXPECT_NE(frame[i], 0) << "at " << i;
    auto got = _read_cobs(frame);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].packet.Wire(), p.Wire());
}

TEST(Cobs, BadFramesAreDroppedAndTheNextGoodOneIsRead) {
    auto good = Cobs_Frame(Packet(4, {0x03, 0x48, 0x20}));
    std::vector<uint8_t> bad_crc = good;
    bad_crc[good.size() - 2] ^= 1;
    std::vector<uint8_t> overlong(40, 0x11);
    overlong.push_back(0);
    std::vector<uint8_t> wrong_length = {0x04, 0x04, 0x05, 0x03, 0x00};  // says 5 data bytes, has 1
    for (const auto &bad : {bad_crc, overlong, wrong_length}) {
        std::vector<uint8_t> stream = bad;
        stream.insert(stream.end(), good.begin(), good.end());
        uint64_t errors = 0;
        auto got = _read_cobs(stream, &errors);
        EXPECT_EQ(errors, 1u);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].packet.Wire(), Packet(4, {0x03, 0x48, 0x20}).Wire());
    }
}

TEST(Cobs, LinkLevelPacketsAreMarked) {
    auto got = _read_cobs(Cobs_Frame(Packet(kSyncProbe, {})));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].link_level);
    EXPECT_EQ(got[0].packet.address, kSyncProbe);
    EXPECT_EQ(got[0].packet.length, 0);
}

TEST(RawReader, SplitsAStreamAtAnyChunking) {
    std::vector<uint8_t> stream = {0xAD, 0x00, 0xAF, 0x01, 0x01, 0x02, 0x03, 0x03, 0x48, 0x20, 0x04, 0x00};
    for (size_t chunk = 1; chunk <= stream.size(); chunk++) {
        RawReader r;
        std::vector<Inbound> out;
        for (size_t at = 0; at < stream.size(); at += chunk)
            r.Feed(stream.data() + at, std::min(chunk, stream.size() - at), out);
        ASSERT_EQ(out.size(), 4u) << "chunk " << chunk;
        EXPECT_TRUE(out[0].link_level);
        EXPECT_EQ(out[1].packet.address, kForceRoute);
        EXPECT_EQ(out[1].packet.data[0], 1);
        EXPECT_EQ(out[2].packet.Wire(), Packet(2, {0x03, 0x48, 0x20}).Wire());
        EXPECT_EQ(out[3].packet.length, 0);
        EXPECT_EQ(r.Framing_Errors(), 0u);
    }
}

TEST(RawReader, RecoversFromNoise) {
    // Zero is never an address; 0x40 is no length, so 0x07 was noise and
    // 0x40 may start the next packet.
    std::vector<uint8_t> stream = {0x00, 0x07, 0x40, 0x02, 0x01, 0x17, 0x02, 0x01, 0x17};
    RawReader r;
    std::vector<Inbound> out;
    r.Feed(stream.data(), stream.size(), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].packet.Wire(), Packet(0x40, {0x01, 0x17}).Wire());
    EXPECT_EQ(out[1].packet.Wire(), Packet(2, {0x17}).Wire());
    EXPECT_EQ(r.Framing_Errors(), 2u);
}
