// The USB driver against the system's libusb over the emulated bus.
#include "common/cvusb_driver.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using usbtest::Bus;

TEST(UsbDriver, SyncProbeRoundTrip)
{
    int id = Bus().Add(usbtest::Good(0x00C0FFEE), std::make_unique<usbtest::EchoDevice>());
    (void)id;
    cvusb_device *d = cvusb_create_usb(1);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(cvusb_open_corvantis_device(d, "00C0FFEE"), vErrNone);
    EXPECT_EQ(cvusb_get_state(d), CVUSB_STATE_READY);
    const uint8_t probe[2] = {173, 0};
    ASSERT_EQ(cvusb_write_to_device(d, probe, 2), vErrNone);
    uint8_t a = 0, b = 9;
    ASSERT_EQ(cvusb_get_from_device(d, &a), vErrNone);
    ASSERT_EQ(cvusb_get_from_device(d, &b), vErrNone);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 0);
    cvusb_destroy(&d);
}

} // namespace
