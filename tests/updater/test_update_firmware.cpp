// Update_Firmware called directly, for the paths that end before any device
// is reached. Should one go on by mistake, its device search (which
// multicasts on every interface) stays inside a private network namespace.
#include "tests/app/recording_display.h"
#include "tests/support/fixtures.h"
#include "tests/support/netns.h"
#include "updater/Updater.h"

#include <gtest/gtest.h>

using fixtures::MakeBird;
using fixtures::TempDir;

namespace {

const uint32_t kSerial = 0x0012ABCD;

// A generic image whose serial-number offsets name no place in its code
// cannot be made the device's: the update stops there, and says why.
TEST(UpdateFirmware, AGenericImageThatCannotTakeTheSerialNumberStopsTheUpdateWithAReason)
{
    NETNS_REQUIRED();
    struct Case {
        const char *name;
        const char *serial_offset;
        const char *descriptor_offset;
    } cases[] = {
        {"no serial word, no descriptor", "0", "0"},
        {"descriptor beyond the code", "0", "0x7FFFFF00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string image = MakeBird(dir / "generic.bird", {"--firmware-size", "256", "--serial-offsets",
                                                            c.serial_offset, c.descriptor_offset});
        RecordingDisplay display;
        // An address nothing listens on: with an image given, no server is asked.
        Updater updater("http://127.0.0.1:1/cgi/u", dir / "store", display);
        EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, image, 0, 0, false));
        ASSERT_EQ(display.errors.size(), 1u) << (display.errors.empty() ? "" : display.errors[0]);
        EXPECT_EQ(display.errors[0], "Unable to set serial number [0012ABCD] into the firmware image");
    }
}

} // namespace

int main(int argc, char **argv) { return netns::main(argc, argv); }
