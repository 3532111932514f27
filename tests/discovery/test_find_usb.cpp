// Finding a module by serial number, or the first one, among the devices on
// the emulated USB bus: the lookups go through the same enumeration as every
// other transport.
#include "common/vDiscovery.h"
#include "tests/support/found_spec.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class FindUsbModule : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // A serial string that is not eight digits is no module at all.
        cvsim::UsbDeviceOptions bad = usbtest::Good(0x20000001);
        bad.serial_text = "2000001";
        usbtest::Bus().Add(bad, std::make_unique<usbtest::EchoDevice>());
        usbtest::Bus().Add(usbtest::Good(0x20000002, 21), std::make_unique<usbtest::EchoDevice>());
        cvsim::UsbDeviceOptions third = usbtest::Good(0x20000003, 13);
        third.product_id = 0x8111;
        usbtest::Bus().Add(third, std::make_unique<usbtest::EchoDevice>());
        // A module without a serial number; the bus lists the newest device
        // first, so it comes before the others.
        cvsim::UsbDeviceOptions zero = usbtest::Good(0);
        zero.serial_text = "00000000";
        usbtest::Bus().Add(zero, std::make_unique<usbtest::EchoDevice>());
    }
};

using fixtures::Found;

TEST_F(FindUsbModule, BySerialNumber)
{
    Found third(vDiscovery_FindModule(linkTypeUSB, 0x20000003, 0));
    ASSERT_NE(third.spec, nullptr);
    EXPECT_EQ(third.spec->type, uint32_t(linkTypeUSB));
    EXPECT_EQ(third.spec->serialNumber, 0x20000003u);
    EXPECT_EQ(third.spec->modelNumber, 0x11u);
    EXPECT_EQ(third.spec->transport.usb.identifier, 0x20000003u);

    Found notAModule(vDiscovery_FindModule(linkTypeUSB, 0x20000001, 0));
    EXPECT_EQ(notAModule.spec, nullptr);
    Found absent(vDiscovery_FindModule(linkTypeUSB, 0x2000000F, 0));
    EXPECT_EQ(absent.spec, nullptr);
    // The same serial number is not looked for on other transports.
    Found serial(vDiscovery_FindModule(linkTypeSerial, 0x20000003, 0));
    EXPECT_EQ(serial.spec, nullptr);
}

int sOrder(const linkSpec *spec, int *found, void *reference)
{
    static_cast<std::vector<uint32_t> *>(reference)->push_back(spec->serialNumber);
    *found = 1;
    return 1;
}

TEST_F(FindUsbModule, FirstModuleHasASerialNumber)
{
    std::vector<uint32_t> order;
    ASSERT_EQ(vDiscovery_EnumerateModules(linkTypeUSB, sOrder, &order, 0), 3);
    ASSERT_EQ(order.front(), 0u) << "the module without a serial number must come first to be passed over";

    Found first(vDiscovery_FindFirstModule(linkTypeUSB, 0));
    ASSERT_NE(first.spec, nullptr);
    EXPECT_EQ(first.spec->serialNumber, order[1]);
    EXPECT_EQ(first.spec->modelNumber, first.spec->serialNumber == 0x20000002u ? 21u : 0x11u);
}

} // namespace
