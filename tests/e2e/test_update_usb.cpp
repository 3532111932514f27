// updater -D and -U on corvantis-sim's emulated USB bus: a device held by
// another program shows as in use, and an update survives the device leaving
// the bus to run its loader and rejoining at a new device number. The bytes
// the device received and wrote are checked against the code make-bird put
// into the image (written out by make-bird itself, not read back from the
// image), on each data path; pooled packets go out only where the device
// offers them and the byte-array path is taken.
#include "tests/support/sim.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using fixtures::TempDir;
using nlohmann::json;

namespace {

using fixtures::Hex;

// Concatenated "received" or "written" bytes of one stage of a dump, block by
// block. A block tried again (a PREPARE for the same address, as the host does
// after a reply came too late) counts with its last attempt only.
std::string Stage(const json &dump, const std::string &stage, const char *field)
{
    std::vector<uint32_t> order;
    std::map<uint32_t, std::string> last;
    for (const auto &b : dump["blocks"]) {
        if (b["stage"] != stage)
            continue;
        uint32_t address = b["address"].get<uint32_t>();
        if (!last.count(address))
            order.push_back(address);
        last[address] = b[field].get<std::string>();
    }
    std::string all;
    for (uint32_t address : order)
        all += last[address];
    return all;
}

// A per-device image for 0012ABCD with build 1300 / 2.15.1; its loader and
// firmware code land in code_dir as make-bird wrote them.
std::string Image(const TempDir &dir, const std::string &code_dir)
{
    mkdir(code_dir.c_str(), 0755);
    return fixtures::MakeBird(dir / "img.bird", {"--loader-size", "200", "--firmware-size", "3000", "--build", "1300",
                                                 "--version", "2.15.1", "--serial", "0012ABCD", "--model", "Hub 4 Pro",
                                                 "--sim-header", "--write-code", code_dir});
}

// The device holds exactly the image: the loader as received, the firmware as written.
void ExpectImageOnDevice(const simtest::Sim &sim, const std::string &code_dir)
{
    json dump = sim.Control("dump 0012ABCD");
    std::string loader = Hex(fixtures::ReadFile(code_dir + "/loader.bin"));
    std::string firmware = Hex(fixtures::ReadFile(code_dir + "/firmware.bin"));
    ASSERT_EQ(loader.size(), 400u);
    ASSERT_EQ(firmware.size(), 2 * 3016u);
    EXPECT_EQ(Stage(dump, "loader", "received"), loader);
    EXPECT_EQ(Stage(dump, "firmware", "written"), firmware);
    EXPECT_EQ(Stage(dump, "firmware", "received"), firmware) << "nothing sent twice within an attempt";
    EXPECT_EQ(dump["build"], 1300);
}

using Result = fixtures::RunResult;

// The updater with the bus environment of the READY line.
Result Updater(const simtest::Sim &sim, const std::string &store, std::vector<std::string> args)
{
    std::vector<std::string> argv = {fixtures::BuildDir() + "/updater", "-i", store};
    argv.insert(argv.end(), args.begin(), args.end());
    fixtures::RunOptions options;
    options.env = sim.UsbEnv();
    options.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    options.hang_seconds = 150;
    return fixtures::Run(argv, options);
}

TEST(UpdateUSB, DiscoverWithADeviceInUseThenUpdateAcrossTheLoaderRestart)
{
    TempDir dir;
    json config = {{"control", dir / "sim.sock"},
                   {"devices", json::array({{{"serial", "0x0012ABCD"}, {"usb", true}, {"version", "2.12.4"},
                                             {"build", 900}, {"load_drops_link", true}},
                                            {{"serial", "0x00C0FFEE"}, {"usb", {{"in_use", true}}}}})}};
    fixtures::WriteFile(dir / "sim.json", config.dump());
    simtest::Sim sim({"--config", dir / "sim.json"});
    ASSERT_NE(sim.Endpoint("usbenv"), "") << sim.Ready();
    std::string before = sim.Endpoint("usb:0012ABCD");

    Result d = Updater(sim, dir / "store", {"-D", "-t", "USB"});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("    0012ABCD  02       00      Hub 4 Pro      2.12.4 (       900)"), std::string::npos)
        << d.out;
    EXPECT_NE(d.out.find("    00C0FFEE  [Error (25): Device in use. Close all other Velquire associated applications.]"),
              std::string::npos)
        << d.out;

    std::string image = Image(dir, dir / "code");
    Result u = Updater(sim, dir / "store", {"-U", "-d", "0012ABCD", "-f", image});
    EXPECT_EQ(u.status, 0) << u.out << u.err;
    // The device left the bus to run its loader and came back at a new number.
    EXPECT_NE(u.out.find("Starting Load on Device"), std::string::npos) << u.out;
    // The same device throughout: one dump holds both stages.
    ExpectImageOnDevice(sim, dir / "code");
    json st = sim.Device("0012ABCD");
    EXPECT_EQ(st["upgrade"]["load"], 1) << st.dump();
    EXPECT_EQ(st["upgrade"]["reboot"], 1) << st.dump();
    EXPECT_NE(st["endpoint"], "usb:" + before) << "rejoined at another device number";
    // It restarts once more after the update; give it a few seconds to rejoin.
    Result again;
    for (int i = 0; i < 50; i++) {
        again = Updater(sim, dir / "store", {"-D", "-t", "USB"});
        if (again.out.find("0012ABCD") != std::string::npos)
            break;
        usleep(100000);
    }
    EXPECT_NE(again.out.find("    0012ABCD  02       00      Hub 4 Pro      2.15.1 (      1300)"), std::string::npos)
        << again.out;
}

// The same bytes on every data path. Each bulk OUT transfer is one host
// write, so a transfer completing two or more packets is a pooled write:
// there are some on the byte-array path when the device offers pooled
// packets, and none when it does not or with -m 0.
TEST(UpdateUSB, DataPathsAndPooledPackets)
{
    struct Case {
        const char *name;
        json device;               // merged into the device description
        std::vector<std::string> args;
        bool arrays;               // byte-array UEI runs expected
        bool pooled;               // pooled writes expected
    } cases[] = {
        {"byte arrays and pooled packets (the default)", json::object(), {}, true, true},
        {"-m 0: 26-byte DATA packets, one per write", json::object(), {"-m", "0"}, false, false},
        {"device without pooled packets", {{"features", 0}}, {}, true, false},
        {"device without byte arrays", {{"uei_data", false}}, {}, false, false},
    };
    TempDir dir;
    std::string image = Image(dir, dir / "code");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        json device = {{"serial", "0x0012ABCD"}, {"usb", true}, {"version", "2.12.4"}, {"build", 900},
                       {"load_drops_link", true}};
        device.update(c.device);
        fixtures::WriteFile(dir / "sim.json", json{{"control", dir / "sim.sock"}, {"devices", {device}}}.dump());
        simtest::Sim sim({"--config", dir / "sim.json"});
        ASSERT_NE(sim.Endpoint("usbenv"), "") << sim.Ready();
        std::vector<std::string> args = {"-U", "-d", "0012ABCD", "-f", image};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result u = Updater(sim, dir / "store", args);
        EXPECT_EQ(u.status, 0) << u.out << u.err;
        ExpectImageOnDevice(sim, dir / "code");
        json st = sim.Device("0012ABCD");
        json counters = st["counters"];
        if (c.arrays)
            EXPECT_GT(st["upgrade"]["data_uei"].get<int>(), 0) << st["upgrade"].dump();
        else
            EXPECT_EQ(st["upgrade"]["data_uei"], 0) << st["upgrade"].dump();
        if (c.pooled) {
            EXPECT_GT(counters["pooled_writes"].get<int>(), 0) << counters.dump();
        } else {
            EXPECT_EQ(counters["pooled_writes"], 0) << counters.dump();
            EXPECT_EQ(counters["pooled_packets"], 0) << counters.dump();
        }
        EXPECT_EQ(st["upgrade"]["protocol_errors"], 0) << st["upgrade"].dump();
    }
}

} // namespace
