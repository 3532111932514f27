// USB enumeration into link specifiers over the emulated bus.
#include "common/cvusb_driver.h"
#include "common/vDiscovery.h"
#include "tests/usb/usb_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace {

using usbtest::Bus;

struct Seen {
    std::map<uint32_t, linkSpec> specs;
    int calls = 0;
    int stopAfter = 0;       // 0: never stop
    uint32_t acceptOnly = 0; // 0: accept all
};

int sCollect(const linkSpec *spec, int *found, void *ref)
{
    Seen *s = static_cast<Seen *>(ref);
    s->calls++;
    s->specs[spec->serialNumber] = *spec;
    *found = s->acceptOnly == 0 || s->acceptOnly == spec->serialNumber;
    return s->stopAfter == 0 || s->calls < s->stopAfter;
}

class UsbDiscovery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        struct Dev {
            uint32_t serial;
            void (*shape)(cvsim::UsbDeviceOptions &);
        } devs[] = {
            {0x10000001, [](cvsim::UsbDeviceOptions &o) { o.model = 13; }},
            {0x10000002, [](cvsim::UsbDeviceOptions &o) { o.product_id = 0x8111; }},
            {0x10000003, [](cvsim::UsbDeviceOptions &o) { o.serial_text = "1000003"; }},
            {0x10000004, [](cvsim::UsbDeviceOptions &o) { o.serial_text = "100000004"; }},
            {0x10000005, [](cvsim::UsbDeviceOptions &o) { o.serial_text = "1000000G"; }},
            {0x10000006, [](cvsim::UsbDeviceOptions &o) { o.product_id = 0x7FFF; }},
            {0x10000007, [](cvsim::UsbDeviceOptions &o) { o.vendor_id = 0x1234; }},
            {0x10000008, [](cvsim::UsbDeviceOptions &o) { o.serial_text = "1000000a"; }},
        };
        for (const Dev &d : devs) {
            cvsim::UsbDeviceOptions o = usbtest::Good(d.serial);
            d.shape(o);
            ids[d.serial] = Bus().Add(o, std::make_unique<usbtest::EchoDevice>());
        }
    }
    static std::map<uint32_t, int> ids;
};
std::map<uint32_t, int> UsbDiscovery::ids;

TEST_F(UsbDiscovery, ReportsFamilyDevicesWithEightDigitSerials)
{
    Seen s;
    EXPECT_EQ(vDiscovery_EnumerateUSBModules(sCollect, &s), 3);
    ASSERT_EQ(s.specs.size(), 3u);
    const linkSpec &a = s.specs.at(0x10000001);
    EXPECT_EQ(a.type, uint32_t(linkTypeUSB));
    EXPECT_EQ(a.modelNumber, 13u);
    EXPECT_EQ(a.transport.usb.identifier, 0x10000001u);
    EXPECT_EQ(a.moduleAddress | a.routerAddress | a.routerSerialNumber, 0u);
    for (size_t i = 4; i < sizeof a.transport.raw; i++)
        ASSERT_EQ(a.transport.raw[i], 0) << i;
    EXPECT_EQ(s.specs.at(0x10000002).modelNumber, 0x11u); // low byte of the product ID
    // Lower-case hexadecimal is still eight hexadecimal digits.
    EXPECT_EQ(s.specs.count(0x1000000A), 1u);
    // 7 and 9 characters, a non-hex digit, product 0x7FFF and another vendor
    // are not reported; the last two are not even opened.
    EXPECT_EQ(Bus().Device_Stats(ids[0x10000006]).control_urbs, 0u);
    EXPECT_EQ(Bus().Device_Stats(ids[0x10000007]).control_urbs, 0u);
    EXPECT_GT(Bus().Device_Stats(ids[0x10000001]).control_urbs, 0u);
}

TEST_F(UsbDiscovery, CountsAcceptedModulesAndStopsWhenAsked)
{
    Seen only;
    only.acceptOnly = 0x10000002;
    EXPECT_EQ(vDiscovery_EnumerateUSBModules(sCollect, &only), 1);
    EXPECT_EQ(only.calls, 3);
    Seen first;
    first.stopAfter = 1;
    EXPECT_EQ(vDiscovery_EnumerateUSBModules(sCollect, &first), 1);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(vDiscovery_EnumerateUSBModules(nullptr, nullptr), 0);
}

TEST_F(UsbDiscovery, ReplugIsSeenByTheSameContext)
{
    int id = ids[0x10000001];
    Bus().Leave(id);
    Seen gone;
    // The removal reaches libusb's hotplug thread asynchronously.
    for (int i = 0; i < 100; i++) {
        gone = Seen();
        vDiscovery_EnumerateUSBModules(sCollect, &gone);
        if (!gone.specs.count(0x10000001))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(gone.specs.count(0x10000001), 0u);
    // It comes back as the loader does when it lost its serial number.
    Bus().Rejoin(id, 0xDEADDEAD);
    Seen back;
    for (int i = 0; i < 100; i++) {
        back = Seen();
        vDiscovery_EnumerateUSBModules(sCollect, &back);
        if (back.specs.count(0xDEADDEAD))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(back.specs.count(0xDEADDEAD), 1u);
    EXPECT_EQ(back.specs.count(0x10000001), 0u);
    Bus().Leave(id);
    Bus().Rejoin(id, 0x10000001);
}

} // namespace
