// The printed forms of command results: device lists, build lists,
// fingerprints and tokens.
#include "app/Output.h"
#include "common/vDefs.h"
#include "recording_display.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

namespace {

DeviceInfo Device(uint32_t type, uint32_t serial, uint32_t model)
{
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serialNumber = serial;
    info.spec.modelNumber = model;
    info.spec.moduleAddress = 0x2;
    info.spec.routerAddress = 0xA0;
    info.major = 2;
    info.minor = 12;
    info.patch = 4;
    info.build = 99528558;
    return info;
}

std::string Padded(const char *text, size_t width)
{
    std::string s = text;
    return s.size() < width ? s + std::string(width - s.size(), ' ') : s;
}

TEST(DeviceList, TitlesAndEmptyLists)
{
    const struct {
        uint32_t type;
        const char *title;
    } cases[] = {{1, "Discovered Devices: (USB)"},
                 {2, "Discovered Devices: (TCPIP)"},
                 {0, "Discovered Devices: (Unknown)"},
                 {3, "Discovered Devices: (Unknown)"},
                 {255, "Discovered Devices: (Unknown)"}};
    for (const auto &c : cases) {
        RecordingDisplay d;
        _display_device_list(d, {}, c.type);
        EXPECT_EQ(d.infos, (std::vector<std::string>{c.title, "    No devices found."}));
        EXPECT_TRUE(d.errors.empty());
    }
}

TEST(DeviceList, OneLinePerDeviceInTheFormOfItsTransport)
{
    DeviceInfo usb = Device(1, 0x40F5849A, 13);
    usb.device_name = "bench A";
    DeviceInfo busy = Device(1, 0x2181F0EE, 4);
    busy.error = 5;
    DeviceInfo network = Device(2, 0xD272031D, 17);
    network.device_name = "router";
    uint32_t address = inet_addr("192.0.2.17"); // network byte order, as discovery stores it
    network.spec.transport.ip.address = address;
    network.error = 25; // the network form shows no error
    DeviceInfo unknown_model = Device(1, 0x00000001, 99);
    unknown_model.patch = 123456;
    unknown_model.build = 0;

    RecordingDisplay d;
    _display_device_list(d, {usb, busy, network, unknown_model}, 1);
    const std::vector<std::string> expected = {
        "Discovered Devices: (USB)",
        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
        "    40F5849A  02       A0      " + Padded(vDefs_GetModelName(13), 12) + "   2.12.4 (  99528558)         bench A",
        "    2181F0EE  [Error (5): Device in use. Close all other Velquire associated applications.]",
        "    D272031D  02       A0      " + Padded(vDefs_GetModelName(17), 12) +
            "   2.12.4 (  99528558)        [192.0.2.17]       router",
        "    00000001  02       A0      Unknown        2.12.123456 (         0)         ",
    };
    EXPECT_EQ(d.infos, expected);

    RecordingDisplay tcp;
    _display_device_list(tcp, {network}, 2);
    ASSERT_EQ(tcp.infos.size(), 3u);
    EXPECT_EQ(tcp.infos[1], "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                            "Device Name");
    EXPECT_EQ(tcp.infos[2], expected[4]);
}

TEST(BuildListOutput, EmptyAndFilledLists)
{
    RecordingDisplay empty;
    _display_builds(empty, {}, 0x40F5849A);
    EXPECT_EQ(empty.infos, std::vector<std::string>{"No builds found for device [40F5849A]"});

    // Newest version first (numbers, not text), columns cut to fifteen characters.
    RecordingDisplay d;
    _display_builds(d,
                    {{"99528558", "2.12.4"}, {"1234567890123456789", "2.100.3"}, {"100", "10.0.0"}, {"7", "2.9.40"}},
                    0xF5849A);
    EXPECT_EQ(d.infos, (std::vector<std::string>{
                           "Build List for device [00F5849A]:\n",
                           "Build          \tVersion        ",
                           "100            \t10.0.0         ",
                           "123456789012345\t2.100.3        ",
                           "99528558       \t2.12.4         ",
                           "7              \t2.9.40         ",
                       }));
}

TEST(FingerprintAndToken, PrintedForms)
{
    RecordingDisplay d;
    _display_fingerprint(d, Fingerprint{0x1, 0xDEADDEAD, 0xABCDEF, 0});
    _display_jwt(d, "aa.bb.cc");
    _display_jwt(d, "%s%n"); // the token is data, never a format
    EXPECT_EQ(d.infos, (std::vector<std::string>{"[ 00000001 DEADDEAD 00ABCDEF 00000000 ]", "aa.bb.cc", "%s%n"}));
}

TEST(VersionLine, CompilerDateBecomesTheTwoDigitDayForm)
{
    EXPECT_EQ(_format_compiler_date("May 26 2026"), "May 26 2026");
    EXPECT_EQ(_format_compiler_date("Dec  1 2026"), "Dec 01 2026");
    RecordingDisplay d;
    _display_app_version(d);
    ASSERT_EQ(d.infos.size(), 1u);
    EXPECT_EQ(d.infos[0], std::string("Updater (Version: 2.12.4 ") + _build_date() + ")");
    EXPECT_EQ(strlen(_build_date()), strlen("May 26 2026"));
}

} // namespace
