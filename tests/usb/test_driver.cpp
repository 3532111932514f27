// The USB driver against the system's libusb over the emulated bus: open by
// serial, descriptor checks, claims, transfers, stalls, I/O errors, a device
// vanishing mid-transfer, and the kernel node path.
#include "common/cvusb_driver.h"
#include "tests/support/fixtures.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using cvsim::UsbFault;
using usbtest::Bus;
using Clock = std::chrono::steady_clock;

std::string Text(uint32_t serial)
{
    char b[16];
    snprintf(b, sizeof b, "%08X", serial);
    return b;
}

// A handle opened on a device of its own, closed at the end.
class UsbDriverTest : public ::testing::Test {
protected:
    void Plug(uint32_t serial, cvsim::UsbDeviceOptions o = {})
    {
        if (o.serial == 0)
            o = usbtest::Good(serial);
        serial_ = serial;
        id_ = Bus().Add(o, std::make_unique<usbtest::EchoDevice>());
    }
    void Open()
    {
        dev_ = cvusb_create_usb(1);
        ASSERT_NE(dev_, nullptr);
        ASSERT_EQ(cvusb_open_corvantis_device(dev_, Text(serial_).c_str()), vErrNone);
    }
    void TearDown() override
    {
        cvusb_destroy(&dev_);
        if (id_ >= 0)
            Bus().Clear_Faults(id_);
    }
    // Writes a packet and reads count bytes back.
    std::vector<uint8_t> Exchange(const std::vector<uint8_t> &out, size_t count)
    {
        std::vector<uint8_t> got;
        EXPECT_EQ(cvusb_write_to_device(dev_, out.data(), uint32_t(out.size())), vErrNone);
        for (int tries = 0; got.size() < count && tries < 20; tries++) {
            uint8_t b;
            if (cvusb_get_from_device(dev_, &b) == vErrNone)
                got.push_back(b);
        }
        return got;
    }
    uint32_t serial_ = 0;
    int id_ = -1;
    cvusb_device *dev_ = nullptr;
};

TEST_F(UsbDriverTest, OpensBySerialAndExchangesBytes)
{
    Plug(0x00C0FFEE);
    Bus().Add(usbtest::Good(0x00C0FFEF), std::make_unique<usbtest::EchoDevice>(4));
    Open();
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_READY);
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
    // The neighbour answers with its own address: no cross-talk.
    cvusb_device *other = cvusb_create_usb(1);
    ASSERT_EQ(cvusb_open_corvantis_device(other, "00C0FFEF"), vErrNone);
    const uint8_t probe[2] = {173, 0};
    ASSERT_EQ(cvusb_write_to_device(other, probe, 2), vErrNone);
    uint8_t b = 0;
    ASSERT_EQ(cvusb_get_from_device(other, &b), vErrNone);
    EXPECT_EQ(b, 4);
    cvusb_destroy(&other);
    std::vector<uint8_t> packet = {2, 5, 1, 2, 3, 4, 5};
    EXPECT_EQ(Exchange(packet, packet.size()), packet);
    EXPECT_EQ(cvusb_close_corvantis_device(dev_), vErrNone);
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_CLOSED);
    EXPECT_EQ(cvusb_write_to_device(dev_, packet.data(), 2), vErrConnection);
    EXPECT_EQ(cvusb_close_corvantis_device(dev_), vErrMode);
}

TEST_F(UsbDriverTest, LongWritesLeaveIn511ByteChunks)
{
    Plug(0x00C10001);
    Open();
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); i += 2) {
        data[i] = 2; // packets (2, 0): echoed back as they are
        data[i + 1] = 0;
    }
    ASSERT_EQ(cvusb_write_to_device(dev_, data.data(), uint32_t(data.size())), vErrNone);
    std::vector<uint32_t> sizes = Bus().Device_Stats(id_).out_sizes;
    EXPECT_EQ(sizes, (std::vector<uint32_t>{511, 511, 2}));
    size_t got = 0;
    uint8_t b;
    for (int tries = 0; got < data.size() && tries < 2000; tries++)
        if (cvusb_get_from_device(dev_, &b) == vErrNone)
            got++;
    EXPECT_EQ(got, data.size());
}

// Devices the driver must not take, and what it says about each.
TEST(UsbDriverDescriptors, BrokenOrForeignDevicesAreRefused)
{
    struct Case {
        const char *what;
        uint32_t serial;
        void (*shape)(cvsim::UsbDeviceOptions &);
        vErr expected;
    } cases[] = {
        {"no IN endpoint", 0x00D00001, [](cvsim::UsbDeviceOptions &o) { o.no_in_endpoint = true; }, vErrConfiguration},
        {"no OUT endpoint", 0x00D00002, [](cvsim::UsbDeviceOptions &o) { o.no_out_endpoint = true; },
         vErrConfiguration},
        {"wrong class", 0x00D00003, [](cvsim::UsbDeviceOptions &o) { o.interface_class = 0xFE; }, vErrConfiguration},
        {"product 0x7FFF", 0x00D00004, [](cvsim::UsbDeviceOptions &o) { o.product_id = 0x7FFF; }, vErrNotFound},
        {"other vendor", 0x00D00005, [](cvsim::UsbDeviceOptions &o) { o.vendor_id = 0x1234; }, vErrNotFound},
        {"serial string differs", 0x00D00006, [](cvsim::UsbDeviceOptions &o) { o.serial_text = "00D0000"; },
         vErrNotFound},
    };
    for (const Case &c : cases) {
        cvsim::UsbDeviceOptions o = usbtest::Good(c.serial);
        c.shape(o);
        Bus().Add(o, std::make_unique<usbtest::EchoDevice>());
        cvusb_device *d = cvusb_create_usb(1);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(cvusb_open_corvantis_device(d, Text(c.serial).c_str()), c.expected) << c.what;
        int want = c.expected == vErrNotFound ? CVUSB_STATE_CREATED : CVUSB_STATE_CLOSED;
        EXPECT_EQ(cvusb_get_state(d), want) << c.what;
        uint8_t b;
        EXPECT_NE(cvusb_get_from_device(d, &b), vErrNone) << c.what;
        cvusb_destroy(&d);
    }
    cvusb_device *d = cvusb_create_usb(1);
    EXPECT_EQ(cvusb_open_corvantis_device(d, "0BADBEEF"), vErrNotFound);
    cvusb_destroy(&d);
}

TEST_F(UsbDriverTest, ClaimedOrHeldDevicesAreBusy)
{
    Plug(0x00C20001);
    Open();
    cvusb_device *second = cvusb_create_usb(1);
    EXPECT_EQ(cvusb_open_corvantis_device(second, "00C20001"), vErrBusy);
    EXPECT_EQ(cvusb_get_state(second), CVUSB_STATE_CLOSED);
    cvusb_destroy(&second);
    cvusb_destroy(&dev_);

    // Another program holds it.
    Bus().Set_In_Use(id_, true);
    second = cvusb_create_usb(1);
    EXPECT_EQ(cvusb_open_corvantis_device(second, "00C20001"), vErrBusy);
    cvusb_destroy(&second);
    Bus().Set_In_Use(id_, false);
    Open();
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
}

TEST_F(UsbDriverTest, StallsAreClearedAndTheTransferGoesOn)
{
    Plug(0x00C30001);
    Open();
    uint64_t clears = Bus().Device_Stats(id_).clear_halts;
    Bus().Fail(id_, UsbFault::StallOut, 1);
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
    EXPECT_EQ(Bus().Device_Stats(id_).clear_halts, clears + 1);

    Bus().Fail(id_, UsbFault::StallIn, 1);
    const uint8_t probe[2] = {173, 0};
    ASSERT_EQ(cvusb_write_to_device(dev_, probe, 2), vErrNone);
    uint8_t b = 0;
    EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrNotReady);
    EXPECT_EQ(Bus().Device_Stats(id_).clear_halts, clears + 2);
    ASSERT_EQ(cvusb_get_from_device(dev_, &b), vErrNone);
    EXPECT_EQ(b, 2);
    ASSERT_EQ(cvusb_get_from_device(dev_, &b), vErrNone);
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_READY);
}

TEST_F(UsbDriverTest, EndlessStallsNeverHangNorFailTheHandle)
{
    Plug(0x00C30002);
    Open();
    Bus().Fail(id_, UsbFault::StallIn, 0);
    Bus().Fail(id_, UsbFault::StallOut, 0);
    auto start = Clock::now();
    uint8_t b;
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrNotReady);
    // Every OUT transfer stalls: the write gives up after ten attempts.
    const uint8_t probe[2] = {173, 0};
    EXPECT_EQ(cvusb_write_to_device(dev_, probe, 2), vErrWrite);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)); // hang bound only
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_READY);
    Bus().Clear_Faults(id_);
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
}

TEST_F(UsbDriverTest, FifthIoErrorInARowFailsTheHandle)
{
    Plug(0x00C40001);
    Open();
    uint8_t b;
    // Four errors in a row are tolerated; a good transfer starts over.
    Bus().Fail(id_, UsbFault::IoIn, 4);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrNotReady) << i;
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_READY);

    Bus().Fail(id_, UsbFault::IoIn, 5);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrNotReady) << i;
    EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrIO);
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_FAILED);
    // The handle stays failed even though the device is fine again.
    const uint8_t probe[2] = {173, 0};
    EXPECT_EQ(cvusb_write_to_device(dev_, probe, 2), vErrIO);
    EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrIO);
    // A new handle works.
    cvusb_destroy(&dev_);
    Open();
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
}

TEST_F(UsbDriverTest, DeviceVanishingMidTransferFailsTheHandleAndComesBack)
{
    Plug(0x00C50001);
    Open();
    // A read waits in its IN transfer when the device is pulled: the bus has
    // taken the transfer in.
    uint64_t in_before = Bus().Device_Stats(id_).in_urbs;
    auto reader = std::async(std::launch::async, [this] {
        uint8_t b;
        return cvusb_get_from_device(dev_, &b);
    });
    ASSERT_TRUE(fixtures::WaitUntil([&] { return Bus().Device_Stats(id_).in_urbs > in_before; }, 5000, 1));
    auto pulled = Clock::now();
    Bus().Leave(id_);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(Clock::now() - pulled, std::chrono::milliseconds(900)); // ended by the unplug, not its time-out
    EXPECT_NE(reader.get(), vErrNone);
    uint8_t b;
    vErr r = vErrNone;
    for (int i = 0; i < 6 && r != vErrIO; i++)
        r = cvusb_get_from_device(dev_, &b);
    EXPECT_EQ(r, vErrIO);
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_FAILED);
    cvusb_destroy(&dev_);

    cvusb_device *d = cvusb_create_usb(1);
    EXPECT_EQ(cvusb_open_corvantis_device(d, "00C50001"), vErrNotFound);
    cvusb_destroy(&d);
    Bus().Rejoin(id_);
    Open();
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
}

TEST_F(UsbDriverTest, KernelNodeCarriesTheLinkBytes)
{
    cvsim::UsbDeviceOptions o = usbtest::Good(0x00C60001);
    o.kernel_node = true;
    Plug(0x00C60001, o);
    EXPECT_TRUE(cvusb_is_kernel_driver_installed(0x00C60001));
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0x00C60002));
    dev_ = cvusb_create_usb(0);
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(cvusb_open_corvantis_device(dev_, "00C60001"), vErrNone);
    EXPECT_EQ(Exchange({173, 0}, 2), (std::vector<uint8_t>{2, 0}));
    std::vector<uint8_t> packet = {2, 3, 7, 8, 9};
    EXPECT_EQ(Exchange(packet, packet.size()), packet);
    // Nothing waiting: the read ends within its bound.
    uint8_t b;
    EXPECT_EQ(cvusb_get_from_device(dev_, &b), vErrNotReady);
    EXPECT_EQ(cvusb_close_corvantis_device(dev_), vErrNone);
    EXPECT_EQ(cvusb_get_state(dev_), CVUSB_STATE_CLOSED);
    EXPECT_EQ(cvusb_close_corvantis_device(dev_), vErrNone);

    Bus().Leave(id_);
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0x00C60001));
    cvusb_device *k = cvusb_create_usb(0);
    EXPECT_EQ(cvusb_open_corvantis_device(k, "00C60001"), vErrIO);
    cvusb_destroy(&k);
}

} // namespace
