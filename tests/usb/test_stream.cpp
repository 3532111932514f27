// The USB stream over the emulated bus, on both driver paths.
#include "common/vStreamUSB.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using usbtest::Bus;

// Reads count bytes, allowing for empty reads while the device answers.
std::vector<uint8_t> ReadBytes(vStream *s, size_t count)
{
    std::vector<uint8_t> got;
    for (int tries = 0; got.size() < count && tries < 20; tries++) {
        uint8_t b;
        if (vStream_Read(s, &b, 1) == vErrNone)
            got.push_back(b);
    }
    return got;
}

TEST(UsbStream, CarriesPacketsOverLibusb)
{
    int id = Bus().Add(usbtest::Good(0x20000001), std::make_unique<usbtest::EchoDevice>());
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateUSB(0x20000001, &s), vErrNone);
    ASSERT_NE(s, nullptr);
    const uint8_t probe[2] = {173, 0};
    ASSERT_EQ(vStream_Write(s, probe, 2), vErrNone);
    EXPECT_EQ(ReadBytes(s, 2), (std::vector<uint8_t>{2, 0}));
    std::vector<uint8_t> packet = {2, 4, 0xA, 0xB, 0xC, 0xD};
    ASSERT_EQ(vStream_Write(s, packet.data(), uint32_t(packet.size())), vErrNone);
    EXPECT_EQ(ReadBytes(s, packet.size()), packet);
    EXPECT_GT(Bus().Device_Stats(id).in_urbs, 0u);

    // The device is claimed while the stream lives, and free once it is gone.
    vStream *second = nullptr;
    EXPECT_EQ(vStream_CreateUSB(0x20000001, &second), vErrBusy);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(vStream_Destroy(&s), vErrNone);
    EXPECT_EQ(s, nullptr);
    ASSERT_EQ(vStream_CreateUSB(0x20000001, &second), vErrNone);
    vStream_Destroy(&second);
}

TEST(UsbStream, UsesTheKernelNodeWhenItExists)
{
    cvsim::UsbDeviceOptions o = usbtest::Good(0x20000002);
    o.kernel_node = true;
    int id = Bus().Add(o, std::make_unique<usbtest::EchoDevice>());
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateUSB(0x20000002, &s), vErrNone);
    std::vector<uint8_t> packet = {2, 2, 0x55, 0xAA};
    ASSERT_EQ(vStream_Write(s, packet.data(), uint32_t(packet.size())), vErrNone);
    EXPECT_EQ(ReadBytes(s, packet.size()), packet);
    cvsim::UsbBus::Stats st = Bus().Device_Stats(id);
    EXPECT_EQ(st.in_urbs + st.out_urbs, 0u); // no URB: the bytes went through the node
    EXPECT_EQ(st.out_bytes, packet.size());
    vStream_Destroy(&s);
}

TEST(UsbStream, FailedCreateLeavesNoStream)
{
    struct Case {
        uint32_t serial;
        bool noIn;
        vErr expected;
    } cases[] = {{0x2BADBAD0, false, vErrNotFound}, {0x20000003, true, vErrConfiguration}};
    for (const Case &c : cases) {
        if (c.noIn) {
            cvsim::UsbDeviceOptions o = usbtest::Good(c.serial);
            o.no_in_endpoint = true;
            Bus().Add(o, std::make_unique<usbtest::EchoDevice>());
        }
        vStream *s = reinterpret_cast<vStream *>(0x1);
        EXPECT_EQ(vStream_CreateUSB(c.serial, &s), c.expected);
        EXPECT_EQ(s, nullptr);
    }
    EXPECT_EQ(vStream_CreateUSB(1, nullptr), vErrParam);
}

} // namespace
