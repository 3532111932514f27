// Module and SystemClass over USB: corvantis-sim puts the
// device on its emulated bus and runs this binary again under it; the checks
// run in that child, found and connected by serial number as a user would.
#include "tests/device/device_fixture.h"

#include <cstdlib>
#include <unistd.h>

using namespace devtest;

namespace {

constexpr uint32_t kSerial = 0x0000A0B1;
const char kChildMark[] = "UPDATER_DEVICE_USB_CHILD";

bool inChild()
{
    return std::getenv(kChildMark) != nullptr;
}

TEST(UsbChild, ModuleFoundAndUsedOverUsb)
{
    if (!inChild())
        GTEST_SKIP() << "runs under corvantis-sim's USB bus (UsbDevice.UnderTheSimulator)";
    Module module(2, uint8_t(0));
    ASSERT_EQ(module.setConfig(directConfig()), vErrNone);
    ASSERT_EQ(module.connect(linkTypeUSB, kSerial), vErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), vErrNone);
    EXPECT_EQ(spec.type, uint32_t(linkTypeUSB));
    EXPECT_EQ(spec.modelNumber, 21u);

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, build = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), vErrNone);
    EXPECT_EQ(serial, kSerial);
    ASSERT_EQ(module.getBuild(&build), vErrNone);
    EXPECT_EQ(build, 77u);
    char name[64];
    uint32_t length = 0;
    std::string text = "A name over USB, two packets long at least";
    ASSERT_EQ(system.setName(text.data(), uint32_t(text.size())), vErrNone);
    ASSERT_EQ(system.getName(name, sizeof name, &length), vErrNone);
    EXPECT_EQ(std::string(name, length), text);

    // An unknown serial number is not found on USB (fallback off).
    Module other(2, uint8_t(0));
    other.setConfig(directConfig());
    EXPECT_EQ(other.connect(linkTypeUSB, 0x0BADBEEF), vErrNotFound);
}

TEST(UsbDevice, UnderTheSimulator)
{
    if (inChild())
        GTEST_SKIP() << "the parent's part";
    std::string sim = simtest::Sim::Program();
    if (access(sim.c_str(), X_OK) != 0)
        GTEST_SKIP() << "corvantis-sim is not built";
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    ASSERT_GT(n, 0);
    path[n] = 0;
    fixtures::RunOptions options;
    options.env = {std::string(kChildMark) + "=1"};
    options.merge_streams = true;
    fixtures::RunResult r = fixtures::Run(
        simtest::Sim::Under({"--device", "serial=0x" + hex8(kSerial) + ",model=21,address=6,build=77,usb"},
                            {path, "--gtest_filter=UsbChild.*"}),
        options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
}

} // namespace
