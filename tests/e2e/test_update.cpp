// updater -U and -D run as processes against corvantis-sim (and
// tools/update-server for -G -U), inside a private network namespace of this
// test with a veth pair 192.0.2.1 <-> 192.0.2.2: the direct TCP/IP query
// multicasts on every interface, so it must never see the machine's own.
// Checked: the bytes the device received and wrote against the image, the
// messages and their stream, the exit status, and the store.
#include "store/BirdFile.h"
#include "tests/support/netns.h"
#include "tests/support/sim.h"
#include "tests/support/update_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <regex>

using fixtures::Exists;
using fixtures::MakeBird;
using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;
using nlohmann::json;

namespace {

const char *kSerial = "0012ABCD";
const char *kModel = "Hub 4 Pro"; // model 13, the simulator's default

std::string Bytes(size_t n, unsigned seed)
{
    std::string b(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : b) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    return b;
}

using fixtures::Hex;

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

using Result = fixtures::RunResult;

// One device (or a router with children) in corvantis-sim, reached over the veth pair.
class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NETNS_LOCAL_PAIR_REQUIRED();
        store = dir / "store";
        loader = dir / "loader.bin";
        firmware = dir / "firmware.bin";
        WriteFile(loader, Bytes(300, 1));
        WriteFile(firmware, Bytes(5000, 2));
    }

    // devices: the "devices" array of the description.
    void StartSim(const json &devices)
    {
        json config = {{"control", dir / "sim.sock"}, {"discovery_interface", "192.0.2.1"}, {"devices", devices}};
        for (auto &d : config["devices"])
            if (!d.contains("pty") && !d.contains("tcp"))
                d["tcp"] = "192.0.2.1:0";
        WriteFile(dir / "sim.json", config.dump());
        sim = std::make_unique<simtest::Sim>(std::vector<std::string>{"--config", dir / "sim.json"});
    }

    static json Device(const std::string &serial, json extra = json::object())
    {
        json d = {{"serial", "0x" + serial}, {"version", "2.12.4"}, {"build", 900}};
        d.update(extra);
        return d;
    }

    // A per-device image for serial unless other arguments say otherwise.
    std::string Image(const std::string &name, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--loader", loader, "--firmware", firmware, "--build", "1300",
                                         "--version", "2.15.1", "--model", kModel, "--sim-header"};
        if (std::find(extra.begin(), extra.end(), "--serial-offsets") == extra.end() &&
            std::find(extra.begin(), extra.end(), "--serial") == extra.end()) {
            args.push_back("--serial");
            args.push_back(kSerial);
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return MakeBird(dir / name, args);
    }

    Result Updater(std::vector<std::string> args, int hang_seconds = 150)
    {
        std::vector<std::string> argv = {fixtures::BuildDir() + "/updater", "-i", store};
        argv.insert(argv.end(), args.begin(), args.end());
        fixtures::RunOptions options;
        options.hang_seconds = hang_seconds;
        return fixtures::Run(argv, options);
    }

    json Dump(const std::string &serial) { return sim->Control("dump " + serial); }

    // An update returns once the device's link drops; the device answers
    // again (on its own link or on a router's bus) only after its restart.
    void WaitUntilRestarted(const std::string &serial)
    {
        for (int i = 0; i < 200 && sim->Device(serial)["mode"] == "rebooting"; i++)
            usleep(25000);
        ASSERT_NE(sim->Device(serial)["mode"], "rebooting");
    }

    // Concatenated "written" (firmware) or "received" (loader) bytes of one stage.
    static std::string Stage(const json &dump, const std::string &stage, const char *field)
    {
        std::string all;
        for (const auto &b : dump["blocks"])
            if (b["stage"] == stage)
                all += b[field].get<std::string>();
        return Lower(all);
    }

    // The code of the image's blocks of one type, hex, serial patched when asked.
    static std::string Code(const std::string &path, uint8_t type, uint32_t patch_serial = 0)
    {
        BirdFile image(path);
        if (patch_serial) {
            EXPECT_TRUE(image.ReplaceSerialNumber(patch_serial));
        }
        std::string all;
        for (const BirdBlock &b : image.FindBlocks(type))
            all += Hex(b.Code(), b.CodeLength());
        return all;
    }

    // The device got exactly the image: loader received, firmware written.
    void ExpectImageOnDevice(const std::string &serial, const std::string &image, uint32_t patch_serial = 0)
    {
        json dump = Dump(serial);
        EXPECT_EQ(Stage(dump, "loader", "received"), Code(image, BirdFile::BLOCK_LOADER, patch_serial));
        EXPECT_EQ(Stage(dump, "firmware", "written"), Code(image, BirdFile::BLOCK_FIRMWARE, patch_serial));
        EXPECT_EQ(dump["build"], 1300);
    }

    std::string Settings(const std::string &serial) { return ReadFile(store + "/updater/" + serial + "/.settings"); }

    TempDir dir;
    std::string store, loader, firmware;
    std::unique_ptr<simtest::Sim> sim;
};

// Both data paths move the same bytes; only the packets differ.
TEST_F(UpdateTest, PerDeviceImageFromFileByteArraysAndPackets)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        bool device_offers_arrays;
        bool expect_arrays;
    } cases[] = {
        {"byte arrays (default)", {}, true, true},
        {"-m 0 forces packets", {"-m", "0"}, true, false},
        {"device without arrays", {}, false, false},
    };
    std::string image = Image("img.bird");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StartSim(json::array({Device(kSerial, {{"uei_data", c.device_offers_arrays}, {"block_size", 1024}})}));
        std::vector<std::string> args = {"-U", "-d", kSerial, "-f", image};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Updater(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Updating from Birdfile: " + image), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Transferring loader block 1 of 1, 304 bytes"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Transferring firmware block 1 of 1, 5020 bytes"), std::string::npos) << r.out;
        EXPECT_TRUE(std::regex_search(r.out, std::regex("\nUpdate time: [0-9]+\\.[0-9]{4} sec\n"))) << r.out;
        EXPECT_EQ(r.err, "");
        ExpectImageOnDevice(kSerial, image);
        json up = sim->Device(kSerial)["upgrade"];
        // 16-byte header + 5000 bytes of firmware in runs of 1024: 5 runs.
        int firmware_data_packets = (1024 + 25) / 26 * 4 + (5016 - 4096 + 25) / 26;
        int loader_data_packets = (300 + 25) / 26;
        if (c.expect_arrays)
            EXPECT_EQ(up["data"], loader_data_packets) << up.dump();
        else
            EXPECT_EQ(up["data"], loader_data_packets + firmware_data_packets) << up.dump();
        EXPECT_EQ(up["write"], 5) << up.dump(); // one WRITE per run
        EXPECT_EQ(up["protocol_errors"], 0) << up.dump();
        // A byte-array run goes out as pooled packets (the device offers
        // them). A read may take in several writes over TCP, so the cases
        // without pooling are checked on the USB bus, where a transfer is a write.
        if (c.expect_arrays) {
            json counters = sim->Device(kSerial)["counters"];
            EXPECT_GT(counters["pooled_writes"].get<int>(), 0) << counters.dump();
        }
        EXPECT_EQ(sim->Device(kSerial)["version_text"], "2.15.1");
        // No store entry for the device: nothing is written.
        EXPECT_FALSE(Exists(store + "/updater/" + kSerial + "/.settings"));
        sim.reset();
    }
}

TEST_F(UpdateTest, GenericImageGetsTheSerialNumber)
{
    std::string image = Image("generic.bird", {"--serial-offsets", "0x40", "0x80"});
    StartSim(json::array({Device(kSerial)}));
    Result r = Updater({"-U", "-d", kSerial, "-f", image});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ExpectImageOnDevice(kSerial, image, 0x0012ABCD);
    EXPECT_NE(Code(image, BirdFile::BLOCK_FIRMWARE, 0x0012ABCD), Code(image, BirdFile::BLOCK_FIRMWARE));
}

TEST_F(UpdateTest, ImageForAnotherDeviceIsRefusedUnlessOverridden)
{
    std::string image = Image("other.bird", {"--serial", "00C0FFEE"});
    StartSim(json::array({Device(kSerial)}));
    Result refused = Updater({"-U", "-d", kSerial, "-f", image});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Birdfile failed validation"), std::string::npos) << refused.err;
    EXPECT_EQ(Dump(kSerial)["blocks"].size(), 0u);

    Result forced = Updater({"-U", "-d", kSerial, "-f", image, "-OVERRIDE"});
    EXPECT_EQ(forced.status, 0) << forced.out << forced.err;
    ExpectImageOnDevice(kSerial, image);
}

TEST_F(UpdateTest, WrongModelIsNamed)
{
    std::string image = Image("relay.bird", {"--model", "Relay 8"});
    StartSim(json::array({Device(kSerial)}));
    Result r = Updater({"-U", "-d", kSerial, "-f", image});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Connected device model and Bird file model do not match [Hub 4 Pro] (0)\n"
                         "Birdfile failed validation"),
              std::string::npos)
        << r.err;
}

TEST_F(UpdateTest, DeviceNotFoundAnywhere)
{
    StartSim(json::array({Device(kSerial)}));
    Result r = Updater({"-U", "-d", "00C0FFEE", "-f", Image("img.bird")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to connect to module [00C0FFEE]"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("validation"), std::string::npos) << r.err;
}

// -G downloads the newest build from the server into the store, -U sends it
// and records the transfer; a second -U finds the build in the store.
TEST_F(UpdateTest, DownloadThenUpdateFromTheStore)
{
    TempDir data;
    mkdir((data / "images").c_str(), 0755);
    mkdir((dir / "images").c_str(), 0755);
    Image("images/1300.bird", {"--serial-offsets", "0x40", "0x80"});
    rename((dir / "images/1300.bird").c_str(), (data / "images/1300.bird").c_str());
    WriteFile(data / "catalogue.json", R"({"devices": {"0012ABCD": {"builds": {"1300": "2.15.1"},
                                       "latest": "1300", "firmware": "HUB4-main"}}})");
    fixtures::UpdateServer server(data.path(), {}, dir / "server.log");
    StartSim(json::array({Device(kSerial)}));

    Result r = Updater({"-u", server.url(), "-G", "-U", "-d", kSerial});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Updating firmware with build: 1300"), std::string::npos) << r.out;
    std::string stored = store + "/updater/" + kSerial + "/1300.bird";
    ASSERT_TRUE(Exists(stored));
    ExpectImageOnDevice(kSerial, stored, 0x0012ABCD);
    std::string settings = Settings(kSerial);
    EXPECT_NE(settings.find("LATEST_TRANSFER=1300.bird"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;

    // The server gone: the stored download is used.
    sim.reset();
    StartSim(json::array({Device(kSerial)}));
    Result again = Updater({"-u", "http://127.0.0.1:1/cgi/u", "-U", "-d", kSerial});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("Updating with the Latest Download"), std::string::npos) << again.out;
    ExpectImageOnDevice(kSerial, stored, 0x0012ABCD);
}

TEST_F(UpdateTest, NoBuildAnywhere)
{
    StartSim(json::array({Device(kSerial)}));
    Result r = Updater({"-u", "http://127.0.0.1:1/cgi/u", "-U", "-d", kSerial});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Could not find valid build for this device."), std::string::npos) << r.err;
}

TEST_F(UpdateTest, ThroughARouter)
{
    json router = Device("00A0B0C0", {{"model", 17}, {"router", true},
                                      {"children", json::array({{{"serial", "0x0012ABCD"}, {"address", 16},
                                                                 {"model", 13}, {"version", "2.12.4"}}})}});
    StartSim(json::array({router}));
    std::string image = Image("img.bird");
    Result r = Updater({"-U", "-d", kSerial, "-r", "00A0B0C0", "-f", image});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ExpectImageOnDevice(kSerial, image);
    EXPECT_EQ(Dump("00A0B0C0")["blocks"].size(), 0u);

    // The router's scan finds the module only once it has restarted.
    WaitUntilRestarted(kSerial);
    Result unknown = Updater({"-U", "-d", "00C0FFEE", "-r", "00A0B0C0", "-f", image});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("Module address required for indirect firmware update, could not find serial "
                               "number [0x00C0FFEE] on network"),
              std::string::npos)
        << unknown.err;
}

// Each fault the simulator injects, with what the run must come to.
TEST_F(UpdateTest, InjectedFaults)
{
    struct Case {
        const char *name;
        json device; // merged into the device
        std::vector<std::string> args;
        int status;
        const char *out_has; // in standard output
        const char *err_has; // in standard error
        bool image_written;
    } cases[] = {
        // SUM 1 is the loader's; SUM 2 the first firmware run.
        {"dropped DATA reply: the block is tried again",
         {{"faults", {{"drop_reply", {{"sub", 1}, {"nth", 20}, {"count", 1}}}}}}, {"-m", "0"}, 0, "  Retry 1", "", true},
        {"miscounted DATA reply: the packet is sent again",
         {{"faults", {{"data_wrong_count", 20}}}}, {"-m", "0"}, 0, "Update time", "", true},
        {"dropped byte-array reply", {{"faults", {{"drop_reply", {{"sub", 10}, {"nth", 1}, {"count", 1}}}}}},
         {}, 0, "  Retry 1", "", true},
        {"wrong SUM: the block is tried again", {{"faults", {{"sum_wrong", 2}}}}, {}, 0, "  Retry 1", "", true},
        {"wrong SUM every time: five attempts, then failure",
         {{"faults", {{"sum_wrong", {{"nth", 2}, {"count", 0}}}}}}, {}, 1, "  Retry 4", "", false},
        {"rejected PREPARE ends the block at once", {{"faults", {{"prepare_reject", 2}}}}, {}, 1, "", "", false},
        {"LOAD never answered is tolerated", {{"faults", {{"load_no_reply", true}}}}, {}, 0, "Update time", "",
         true},
        {"device never back after LOAD", {{"faults", {{"gone_after_load", true}}}}, {}, 1, "",
         "Device [0012ABCD] did not reconnect after loading", false},
    };
    std::string image = Image("img.bird");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        mkdir(store.c_str(), 0755);
        mkdir((store + "/updater").c_str(), 0755);
        mkdir((store + "/updater/" + kSerial).c_str(), 0755);
        WriteFile(store + "/updater/" + kSerial + "/.settings", "LATEST_DOWNLOAD=900\n");
        StartSim(json::array({Device(kSerial, c.device)}));
        std::vector<std::string> args = {"-U", "-d", kSerial, "-f", image};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Updater(args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
        std::string settings = Settings(kSerial);
        if (c.image_written) {
            ExpectImageOnDevice(kSerial, image);
            EXPECT_NE(settings.find("LATEST_TRANSFER=" + image), std::string::npos) << settings;
        } else {
            EXPECT_EQ(settings.find("LATEST_TRANSFER"), std::string::npos) << settings;
            EXPECT_EQ(sim->Device(kSerial)["build"], 900);
        }
        sim.reset();
    }
}

// The device drops its link at REBOOT before the new firmware starts: the
// host cannot tell this from a restart, so the run succeeds, and the next
// discovery shows the old version.
TEST_F(UpdateTest, LinkDropsAtReboot)
{
    std::string image = Image("img.bird");
    StartSim(json::array({Device(kSerial, {{"faults", {{"drop_at_reboot", true}}}})}));
    Result r = Updater({"-U", "-d", kSerial, "-f", image});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The update returns as soon as the link drops; the device listens again
    // only after its restart.
    for (int i = 0; i < 100 && !sim->Device(kSerial)["listening"].get<bool>(); i++)
        usleep(50000);
    EXPECT_EQ(sim->Device(kSerial)["mode"], "loader");
    Result d = Updater({"-D", "-t", "TCPIP"});
    EXPECT_NE(d.out.find("0012ABCD  02       00      Hub 4 Pro      2.12.4 (       900)        [192.0.2.1]"),
              std::string::npos)
        << d.out;
}

TEST_F(UpdateTest, DiscoverOnTheNetworkWithADeviceInUse)
{
    StartSim(json::array({Device(kSerial, {{"name", "Line 3 hub"}}),
                          Device("00C0FFEE", {{"model", 21}, {"version", "2.10.3"}, {"build", 77},
                                              {"faults", {{"refuse_second", true}}}})}));
    simtest::Tcp holder(sim->Port("tcp:00C0FFEE"), "192.0.2.1");
    Result r = Updater({"-D", "-t", "TCPIP"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Discovered Devices: (TCPIP)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    0012ABCD  02       00      Hub 4 Pro      2.12.4 (       900)        [192.0.2.1]"
                         "        Line 3 hub"),
              std::string::npos)
        << r.out;
    // Held by another host: nothing could be read from it.
    EXPECT_NE(r.out.find("    00C0FFEE  02       02      Analog In 8    0.0.0 (         0)        [192.0.2.1]"),
              std::string::npos)
        << r.out;
    EXPECT_GT(sim->Device("00C0FFEE")["counters"]["refused"].get<int>(), 0);
}

TEST_F(UpdateTest, DiscoverBehindARouter)
{
    json children = json::array({{{"serial", "0x00001001"}, {"address", 16}, {"model", 21}, {"version", "2.11.0"}},
                                 {{"serial", "0x00001002"}, {"address", 252}, {"model", 18}}});
    StartSim(json::array({Device("00A0B0C0", {{"model", 17}, {"children", children}})}));
    Result r = Updater({"-D", "-r", "00A0B0C0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Searching for Corvantis Network devices connected to 00A0B0C0"), std::string::npos);
    // The router column is what each child reports as its router.
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("00001001  10       0[02]      Analog In 8    2\\.11\\.0 \\(         1\\)        \\[192\\.0\\.2\\.1\\]")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("00001002  FC       0[02]      Relay 8        2\\.12\\.4 \\(         1\\)")))
        << r.out;
    json router = sim->Device("00A0B0C0");
    // Every even address but the router's own, 2 to 252.
    EXPECT_EQ(router["counters"]["i2c_writes"], 125) << router.dump();

    Result none = Updater({"-D", "-r", "00BADBAD"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.err, "");
}

} // namespace

int main(int argc, char **argv) { return netns::main(argc, argv); }
