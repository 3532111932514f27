// COBS framing with CRC-8: the codec, the frame checks and the COBS stream
// over a pseudo-terminal.
#include "common/vCobs.h"
#include "common/vStream.h"
#include "tests/common/pty_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

TEST(Crc8, KnownValues)
{
    const std::string check = "123456789";
    EXPECT_EQ(vCRC8_Compute(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0xA1);
    const uint8_t a[] = {0x04, 0x01, 0x00};
    EXPECT_EQ(vCRC8_Compute(a, sizeof a), 0x5A);
    const uint8_t b[] = {0x04, 0x03, 0x03, 0x48, 0x20};
    EXPECT_EQ(vCRC8_Compute(b, sizeof b), 0xBD);
    uint8_t crc = 0;
    for (uint8_t x : b)
        crc = vCRC8_Update(crc, x);
    EXPECT_EQ(crc, 0xBD);
}

TEST(Cobs, EncodeDecodeRoundTripAcrossRunLengths)
{
    // Runs of 253, 254 and 255 non-zero bytes sit on the code-255 boundary.
    std::mt19937 rng(7);
    for (size_t len : {0u, 1u, 2u, 31u, 253u, 254u, 255u, 300u, 508u, 509u, 1000u}) {
        for (int zeros : {0, 1, 2}) {  // none, some, all
            Bytes in(len);
            for (auto &b : in) {
                b = static_cast<uint8_t>(rng() % 255 + 1);
                if (zeros == 2 || (zeros == 1 && rng() % 5 == 0))
                    b = 0;
            }
            Bytes enc(len + len / 254 + 2);
            size_t n = vCobs_Encode(in.data(), in.size(), enc.data());
            ASSERT_LE(n, len + len / 254 + 1) << len;
            for (size_t i = 0; i < n; ++i)
                ASSERT_NE(enc[i], 0) << "zero in the encoding, len " << len;
            Bytes dec(n);
            size_t m = 0;
            ASSERT_TRUE(vCobs_Decode(enc.data(), n, dec.data(), &m)) << len;
            dec.resize(m);
            EXPECT_EQ(dec, in) << "len " << len << " zeros " << zeros;
        }
    }
}

TEST(Cobs, MalformedEncodingsAreRefused)
{
    uint8_t out[8];
    size_t n;
    const uint8_t runsPastEnd[] = {0x05, 0x01, 0x02};
    EXPECT_FALSE(vCobs_Decode(runsPastEnd, sizeof runsPastEnd, out, &n));
    const uint8_t holdsZero[] = {0x03, 0x00, 0x02};
    EXPECT_FALSE(vCobs_Decode(holdsZero, sizeof holdsZero, out, &n));
}

TEST(Cobs, FramesOfPackets)
{
    struct Case {
        Bytes wire;
        Bytes frame;
    };
    const Case cases[] = {
        {{0x04, 0x01, 0x00}, {0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}},
        {{0x04, 0x03, 0x03, 0x48, 0x20}, {0x07, 0x04, 0x03, 0x03, 0x48, 0x20, 0xBD, 0x00}},
    };
    for (const Case &c : cases) {
        uint8_t frame[vCOBS_MAX_FRAME];
        size_t n = vCobs_BuildFrame(c.wire.data(), c.wire.size(), frame);
        EXPECT_EQ(Bytes(frame, frame + n), c.frame);

        vCobsReceiver rx;
        vCobsReceiver_Reset(&rx);
        uint8_t wire[vCOBS_MAX_DECODED];
        size_t wireLength = 0;
        for (size_t i = 0; i + 1 < c.frame.size(); ++i)
            ASSERT_EQ(vCobsReceiver_Feed(&rx, c.frame[i], wire, &wireLength), vErrNotReady);
        ASSERT_EQ(vCobsReceiver_Feed(&rx, 0, wire, &wireLength), vErrNone);
        EXPECT_EQ(Bytes(wire, wire + wireLength), c.wire);
    }

    // A full packet: 31 bytes of packet and CRC, one code byte, the delimiter.
    Bytes full{0x08, 28};
    for (int i = 0; i < 28; ++i)
        full.push_back(static_cast<uint8_t>(i + 1));
    uint8_t frame[vCOBS_MAX_FRAME];
    EXPECT_EQ(vCobs_BuildFrame(full.data(), full.size(), frame), 33u);

    const uint8_t inconsistent[] = {0x04, 0x02, 0x01};
    EXPECT_EQ(vCobs_BuildFrame(inconsistent, sizeof inconsistent, frame), 0u);
}

// Feeds a byte sequence and returns the results of the delimiter bytes.
std::vector<vErr> feed(const Bytes &bytes, Bytes *lastWire = nullptr)
{
    vCobsReceiver rx;
    vCobsReceiver_Reset(&rx);
    std::vector<vErr> results;
    for (uint8_t b : bytes) {
        uint8_t wire[vCOBS_MAX_DECODED];
        size_t n = 0;
        vErr e = vCobsReceiver_Feed(&rx, b, wire, &n);
        if (b == 0)
            results.push_back(e);
        if (e == vErrNone && lastWire)
            *lastWire = Bytes(wire, wire + n);
    }
    return results;
}

TEST(Cobs, BadFramesAreRejected)
{
    Bytes longFrame(40, 0x01);
    longFrame.push_back(0);
    // The first 32 bytes of an over-long frame are themselves a good frame:
    // the frame is still refused because it was longer.
    Bytes good{0x08, 28};
    for (int i = 0; i < 28; ++i)
        good.push_back(0x11);
    uint8_t frame[vCOBS_MAX_FRAME];
    size_t n = vCobs_BuildFrame(good.data(), good.size(), frame);
    Bytes padded(frame, frame + n - 1);
    padded.push_back(0x22);
    padded.push_back(0);

    struct Case {
        const char *name;
        Bytes bytes;
        std::vector<vErr> results;
    };
    const Case cases[] = {
        {"crc mismatch", {0x03, 0x04, 0x01, 0x02, 0x5B, 0x00}, {vErrPacket}},
        {"length byte disagrees", {0x03, 0x04, 0x02, 0x02, 0x5A, 0x00}, {vErrPacket}},
        {"too short", {0x03, 0x04, 0x01, 0x00}, {vErrPacket}},
        {"over 32 encoded bytes", longFrame, {vErrPacket}},
        {"over 32 bytes, good prefix", padded, {vErrPacket}},
        {"empty frames are skipped", {0x00, 0x00, 0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}, {vErrNotReady, vErrNotReady, vErrNone}},
        {"bad frame then good", {0x02, 0x09, 0x00, 0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}, {vErrPacket, vErrNone}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(feed(c.bytes), c.results) << c.name;

    Bytes wire;
    feed(cases[6].bytes, &wire);
    EXPECT_EQ(wire, (Bytes{0x04, 0x01, 0x00}));
}

// The COBS stream over a pseudo-terminal; the test is the device.
struct CobsLine : ::testing::Test {
    PtyDevice dev;
    vStream *stream = nullptr;
    void SetUp() override
    {
        ASSERT_TRUE(dev.ok());
        ASSERT_EQ(vStream_CreateSerial_Packetized(dev.slavePath.c_str(), 6, 0, 0, 0, &stream), vErrNone);
    }
    void TearDown() override { vStream_Destroy(&stream); }

    // Collects what the stream hands out until n bytes or an error other than "not ready".
    Bytes readFor(size_t n, vErr *last = nullptr)
    {
        Bytes got;
        vErr err = vErrNone;
        auto end = Clock::now() + std::chrono::seconds(3);
        while (got.size() < n && Clock::now() < end) {
            uint8_t b;
            err = vStream_Read(stream, &b, 1);
            if (err == vErrNone)
                got.push_back(b);
            else if (err == vErrNotReady)
                vStream_WaitReadable(stream, 50);
            else
                break;
        }
        if (last)
            *last = err;
        return got;
    }
};

TEST_F(CobsLine, WritesOneFramePerPacket)
{
    const uint8_t twoPackets[] = {0x04, 0x01, 0x00, 0x04, 0x03, 0x03, 0x48, 0x20};
    ASSERT_EQ(vStream_Write(stream, twoPackets, sizeof twoPackets), vErrNone);
    std::string expect("\x03\x04\x01\x02\x5A\x00\x07\x04\x03\x03\x48\x20\xBD\x00", 14);
    EXPECT_EQ(dev.receive(expect.size()), expect);

    // Byte by byte through put: the frame leaves when the packet is complete.
    for (uint8_t b : {0x06, 0x00})
        ASSERT_EQ(vStream_Write(stream, &b, 1), vErrNone);
    uint8_t frame[vCOBS_MAX_FRAME];
    const uint8_t syncReply[] = {0x06, 0x00};
    size_t n = vCobs_BuildFrame(syncReply, 2, frame);
    EXPECT_EQ(dev.receive(n), std::string(reinterpret_cast<char *>(frame), n));
}

TEST_F(CobsLine, BytesThatAreNoPacketAreDropped)
{
    // A zero address cannot start a packet; the packet after it still goes out.
    const uint8_t bytes[] = {0x00, 0x04, 0x01, 0x00};
    ASSERT_EQ(vStream_Write(stream, bytes, sizeof bytes), vErrNone);
    std::string expect("\x03\x04\x01\x02\x5A\x00", 6);
    EXPECT_EQ(dev.receive(expect.size()), expect);
    EXPECT_EQ(dev.receive(1, 100), "");
}

TEST_F(CobsLine, ReadsHandOutPacketBytes)
{
    Bytes full{0x08, 28};
    for (int i = 0; i < 28; ++i)
        full.push_back(static_cast<uint8_t>(i % 3));  // zeros inside
    uint8_t frame[vCOBS_MAX_FRAME];
    size_t n = vCobs_BuildFrame(full.data(), full.size(), frame);
    dev.send(std::string("\x03\x04\x01\x02\x5A\x00", 6) + std::string(reinterpret_cast<char *>(frame), n));

    Bytes expect{0x04, 0x01, 0x00};
    expect.insert(expect.end(), full.begin(), full.end());
    EXPECT_EQ(readFor(expect.size()), expect);
    uint8_t b;
    EXPECT_EQ(vStream_Read(stream, &b, 1), vErrNotReady);
}

TEST_F(CobsLine, BadFrameGivesPacketErrorAndNoBytes)
{
    dev.send(std::string("\x03\x04\x01\x02\x5B\x00", 6));
    vErr err = vErrNone;
    EXPECT_TRUE(readFor(1, &err).empty());
    EXPECT_EQ(err, vErrPacket);
    dev.send(std::string("\x03\x04\x01\x02\x5A\x00", 6));
    EXPECT_EQ(readFor(3), (Bytes{0x04, 0x01, 0x00}));
}

TEST(CobsStream, OverAnyByteTable)
{
    // Wrapping a caller's operation table: frames land in its put.
    struct Sink {
        std::string bytes;
        int deletes = 0;
        static vErr put(uint8_t b, void *ref)
        {
            static_cast<Sink *>(ref)->bytes.push_back(static_cast<char>(b));
            return vErrNone;
        }
        static vErr del(void *ref)
        {
            ++static_cast<Sink *>(ref)->deletes;
            return vErrNone;
        }
    } sink;
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateCobsEncoding(nullptr, Sink::put, nullptr, Sink::del, &sink, &s), vErrNone);
    const uint8_t p[] = {0x04, 0x01, 0x00};
    ASSERT_EQ(vStream_Write(s, p, sizeof p), vErrNone);
    EXPECT_EQ(sink.bytes, std::string("\x03\x04\x01\x02\x5A\x00", 6));
    uint8_t b;
    EXPECT_EQ(vStream_Read(s, &b, 1), vErrMode);  // the table cannot read
    vStream_Destroy(&s);
    EXPECT_EQ(sink.deletes, 1);
}

} // namespace
