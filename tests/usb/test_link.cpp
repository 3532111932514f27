// USB device links over the emulated bus: creation with sync, sharing, and
// reset of a device that went away and came back.
#include "common/cvusb_driver.h"
#include "common/vLink.h"
#include "common/vLinkSpecifier.h"
#include "common/vLinkTable.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using usbtest::Bus;
using Clock = std::chrono::steady_clock;

// Echo of a packet through the link: true when it comes back intact.
bool Echo(uint32_t link, uint8_t tag)
{
    uint8_t data[3] = {tag, 0x11, 0x22};
    vPacket *out = vPacket_CreateWithData(2, 3, data);
    vErr put = vLink_PutPacket(link, out);
    vPacket_Destroy(&out);
    if (put != vErrNone)
        return false;
    auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end) {
        vPacket *in = vLink_AwaitPacket(link, 500);
        if (!in)
            continue;
        uint8_t bytes[32];
        size_t n = 0;
        vPacket_GetBytes(in, bytes, sizeof bytes, &n);
        vPacket_Destroy(&in);
        if (n == 5 && bytes[0] == 2 && bytes[1] == 3 && bytes[2] == tag && bytes[3] == 0x11 && bytes[4] == 0x22)
            return true;
    }
    return false;
}

// A device that takes everything and never answers.
class Mute : public cvsim::UsbDeviceModel {
public:
    Effect Out(const uint8_t *, size_t, std::vector<uint8_t> &) override { return {}; }
};

TEST(UsbLink, CreatedSyncedAndShared)
{
    int id = Bus().Add(usbtest::Good(0x30000001), std::make_unique<usbtest::EchoDevice>());
    uint32_t a = vLink_CreateUSB(0x30000001);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(vLink_GetStatus(a), linkStatusRunning);
    EXPECT_TRUE(Echo(a, 1));
    // The device is claimed once; a second create shares the link.
    uint64_t claims = Bus().Device_Stats(id).claims;
    uint32_t b = vLink_CreateUSB(0x30000001);
    EXPECT_EQ(b, a);
    EXPECT_EQ(Bus().Device_Stats(id).claims, claims);
    EXPECT_EQ(vLink_Destroy(&b), vErrNone);
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(vLink_GetStatus(a), linkStatusRunning);
    EXPECT_TRUE(Echo(a, 2));
    uint32_t keep = a;
    EXPECT_EQ(vLink_Destroy(&a), vErrNone);
    EXPECT_EQ(vLink_GetStatus(keep), linkStatusInvalid);
    EXPECT_EQ(sLookupEntryByIdentifier(0x30000001, linkTypeUSB), nullptr);
    // Released: the device can be opened again.
    uint32_t again = vLink_CreateUSB(0x30000001);
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, keep);
    EXPECT_TRUE(Echo(again, 3));
    vLink_Destroy(&again);
}

TEST(UsbLink, FailedCreateLeavesNothingBehind)
{
    struct Case {
        const char *what;
        uint32_t serial;
        bool mute, held;
    } cases[] = {
        {"absent", 0x3BAD0001, false, false},
        {"never answers the sync probe", 0x30000002, true, false},
        {"in use", 0x30000003, false, true},
    };
    for (const Case &c : cases) {
        int id = -1;
        if (c.serial != 0x3BAD0001) {
            std::unique_ptr<cvsim::UsbDeviceModel> m;
            if (c.mute)
                m = std::make_unique<Mute>();
            else
                m = std::make_unique<usbtest::EchoDevice>();
            id = Bus().Add(usbtest::Good(c.serial), std::move(m));
            Bus().Set_In_Use(id, c.held);
        }
        EXPECT_EQ(vLink_CreateUSB(c.serial), 0u) << c.what;
        EXPECT_EQ(sLookupEntryByIdentifier(c.serial, linkTypeUSB), nullptr) << c.what;
        if (id >= 0) {
            // The failed link let go of the device.
            Bus().Set_In_Use(id, false);
            cvusb_device *d = cvusb_create_usb(1);
            char text[16];
            snprintf(text, sizeof text, "%08X", c.serial);
            EXPECT_EQ(cvusb_open_corvantis_device(d, text), vErrNone) << c.what;
            cvusb_destroy(&d);
        }
    }
}

TEST(UsbLink, ResetRetriesUntilTheDeviceIsBack)
{
    int id = Bus().Add(usbtest::Good(0x30000004), std::make_unique<usbtest::EchoDevice>());
    uint32_t link = vLink_CreateUSB(0x30000004);
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(Echo(link, 1));

    // Pulled while running: the link notices on its own.
    Bus().Leave(id);
    auto end = Clock::now() + std::chrono::seconds(10);
    while (vLink_GetStatus(link) == linkStatusRunning && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(vLink_GetStatus(link), linkStatusRunning);

    // Absent: every attempt fails; the link is left stopped without a stream.
    EXPECT_EQ(vLink_Reset(link), vErrNotFound);
    EXPECT_EQ(vLink_GetStatus(link), linkStatusInvalid);

    // Back but held by another program: the claim is tried 20 times.
    Bus().Rejoin(id);
    Bus().Set_In_Use(id, true);
    uint64_t refused = Bus().Device_Stats(id).refused_claims;
    EXPECT_EQ(vLink_Reset(link), vErrBusy);
    EXPECT_EQ(Bus().Device_Stats(id).refused_claims - refused, 20u);

    // Free again: the same link id works as before.
    Bus().Set_In_Use(id, false);
    EXPECT_EQ(vLink_Reset(link), vErrNone);
    EXPECT_EQ(vLink_GetStatus(link), linkStatusRunning);
    EXPECT_TRUE(Echo(link, 2));
    vLink_Destroy(&link);
}

TEST(UsbLink, DeviceThatRestartsIsFoundAgainByReset)
{
    int id = Bus().Add(usbtest::Good(0x30000005), std::make_unique<usbtest::EchoDevice>());
    uint32_t link = vLink_CreateUSB(0x30000005);
    ASSERT_NE(link, 0u);
    // The device restarts on command: off the bus for 300 ms.
    uint8_t restart[1] = {0xEE};
    vPacket *p = vPacket_CreateWithData(2, 1, restart);
    ASSERT_EQ(vLink_PutPacket(link, p), vErrNone);
    vPacket_Destroy(&p);
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Bus().Present(id) && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(Bus().Present(id));
    // The reset's attempts span the restart.
    EXPECT_EQ(vLink_Reset(link), vErrNone);
    EXPECT_TRUE(Echo(link, 3));
    vLink_Destroy(&link);
}

} // namespace
