// The running simulator with a device on its emulated USB bus, driven by a
// host process through the device's kernel node: the control socket's status
// and dump follow the same device through the loader start and the reboot,
// each of which takes it off the bus and back at a new device number; the
// exit dumps include it; host writes carrying several packets are counted.
#include "tests/support/sim.h"

#include <sstream>

using namespace simtest;
using fixtures::TempDir;
using nlohmann::json;

namespace {

struct HostRun {
    int status = -1;
    std::vector<std::string> replies;  // one line per step
};

// A step of tests/sim/usb_host.cpp: one write carrying [2, len, data...] of
// each packet, then `reply` bytes read back.
std::string _write(const std::vector<Bytes> &packets, size_t reply) {
    std::string hex;
    for (const Bytes &data : packets) {
        Bytes w = {2, uint8_t(data.size())};
        w.insert(w.end(), data.begin(), data.end());
        hex += fixtures::Hex(w);
    }
    return hex + "/" + std::to_string(reply);
}

std::string _step(const Bytes &data, size_t reply) { return _write({data}, reply); }

// DATA packets of up to 26 bytes carrying code, each with its 5-byte reply.
std::vector<std::string> _data(const Bytes &code) {
    std::vector<std::string> steps;
    for (size_t at = 0; at < code.size(); at += 26) {
        Bytes d = {0x5F, 1};
        d.insert(d.end(), code.begin() + long(at), code.begin() + long(std::min(code.size(), at + 26)));
        steps.push_back(_step(d, 5));
    }
    return steps;
}

// The host program on the device's kernel node, with the bus environment of
// the READY line.
HostRun _host(const Sim &sim, const std::string &node, const std::vector<std::string> &steps) {
    std::vector<std::string> argv = {fixtures::BuildDir() + "/tests/sim-usb-host", node};
    argv.insert(argv.end(), steps.begin(), steps.end());
    fixtures::RunOptions options;
    options.env = sim.UsbEnv();
    // A sanitizer-built host would refuse to start behind the preload.
    options.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    options.hang_seconds = 30;
    fixtures::RunResult run = fixtures::Run(argv, options);
    HostRun r;
    r.status = run.status;
    r.replies = fixtures::Lines(run.out);
    return r;
}

// Waits (bounded) until the device is back on the bus at another device
// number than `left`, in the given mode; returns its status entry.
json _back(const Sim &sim, const std::string &serial, const std::string &left, const std::string &mode) {
    json d;
    bool back = fixtures::WaitUntil(
        [&] {
            d = sim.Device(serial);
            return !d.is_object() || (d["listening"] == true && d["endpoint"] != left && d["mode"] == mode);
        },
        5000);
    if (!back || !d.is_object())
        ADD_FAILURE() << serial << " not back in " << mode << ": " << d.dump();
    return d;
}

}  // namespace

TEST(UsbProcess, StatusAndDumpFollowTheDeviceAcrossItsRestarts) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", R"({"devices": [
               {"serial": "0x0000A001", "model": 17, "version": "2.12.4", "build": 100, "block_size": 128,
                "reboot_ms": 200, "load_drops_link": true, "usb": {"kernel_node": true}},
               {"serial": "0x0000B001", "tcp": "127.0.0.1:0"}]})"),
             "--control", dir / "c.sock", "--dump-dir", dir.path()});
    ASSERT_NE(sim.Endpoint("usbenv"), "") << sim.Ready();
    const std::string node = "/dev/corvantis.0000A001";

    json first = sim.Device("0000A001");
    ASSERT_TRUE(first.is_object());
    std::string at = "usb:" + sim.Endpoint("usb:0000A001");
    EXPECT_EQ(first["endpoint"], at);
    EXPECT_EQ(first["mode"], "firmware");
    EXPECT_EQ(first["version_text"], "2.12.4");
    EXPECT_EQ(first["build"], 100);
    EXPECT_EQ(first["listening"], true);
    EXPECT_EQ(first["sessions"], 0);
    EXPECT_EQ(sim.Control("status")["devices"].size(), 2u) << "the TCP device is listed beside it";
    EXPECT_EQ(sim.Device("0000B001")["endpoint"].get<std::string>().rfind("tcp:127.0.0.1:", 0), 0u);

    // First session: a probe, three gets in one write, then the loader:
    // INIT, one block of 30 bytes, SUM, LOAD (which takes the device off the bus).
    std::vector<std::string> steps = {"ad00/2", _write({{3, 0x49, 0x20}, {3, 0x48, 0x20}, {3, 0x47, 0x20}}, 24),
                                      _step({0x5F, 0}, 8), _step({0x5F, 3, 0, 0x10, 0, 0, 0}, 7)};
    for (const std::string &s : _data(Bytes(30, 0x11)))
        steps.push_back(s);
    steps.push_back(_step({0x5F, 4}, 9));
    steps.push_back(_step({0x5F, 2}, 4));
    HostRun loader = _host(sim, node, steps);
    ASSERT_EQ(loader.status, 0) << testing::PrintToString(loader.replies);
    ASSERT_EQ(loader.replies.size(), 8u);
    EXPECT_EQ(loader.replies[0], "0200");
    EXPECT_EQ(loader.replies[1], "0207030900" "0000a001" "0204030800" "11" "0207030700" "2c000004");
    EXPECT_EQ(loader.replies[7], "02025f02");
    json mid = _back(sim, "0000A001", at, "loader");
    EXPECT_EQ(mid["counters"]["connections"], 1);
    // Only the write with the three gets carried more than one packet.
    EXPECT_EQ(mid["counters"]["pooled_writes"], 1) << mid.dump();
    EXPECT_EQ(mid["counters"]["pooled_packets"], 3) << mid.dump();
    EXPECT_EQ(mid["counters"]["packets_in"], 9) << mid.dump();  // the probe is counted apart
    EXPECT_EQ(mid["upgrade"]["load"], 1);
    std::string loader_at = mid["endpoint"];

    // Second session, with the loader: one firmware block with the simulator
    // header, written, then REBOOT (off the bus again).
    Bytes code = {'C', 'V', 'S', 'I', 'M', 'F', 'W', '1', 0x2F, 0x03, 0x00, 0x01, 0, 0, 0x10, 0x92};
    for (int i = 0; i < 40; i++)
        code.push_back(uint8_t(i * 7));
    steps = {_step({0x5F, 3, 0, 0, 0, 0x40, 0}, 7)};
    for (const std::string &s : _data(code))
        steps.push_back(s);
    steps.push_back(_step({0x5F, 4}, 9));
    steps.push_back(_step({0x5F, 5, 0, uint8_t(code.size())}, 5));
    steps.push_back(_step({0x5F, 6}, 0));
    HostRun firmware = _host(sim, node, steps);
    ASSERT_EQ(firmware.status, 0) << testing::PrintToString(firmware.replies);
    ASSERT_EQ(firmware.replies.size(), 7u);
    EXPECT_EQ(firmware.replies[5], "02035f0700") << "WRITE committed the run";
    json after = _back(sim, "0000A001", loader_at, "firmware");
    EXPECT_EQ(after["version_text"], "3.0.1");
    EXPECT_EQ(after["build"], 4242);
    EXPECT_EQ(after["counters"]["connections"], 2);
    EXPECT_EQ(after["counters"]["restarts"], 2);
    EXPECT_EQ(after["counters"]["pooled_writes"], 1) << after.dump();
    EXPECT_EQ(after["upgrade"]["protocol_errors"], 0);

    json dump = sim.Control("dump 0000A001");
    ASSERT_EQ(dump["blocks"].size(), 2u) << dump.dump();
    EXPECT_EQ(dump["build"], 4242);
    EXPECT_EQ(dump["blocks"][0]["stage"], "loader");
    EXPECT_EQ(dump["blocks"][0]["address"], 0x10000000);
    EXPECT_EQ(dump["blocks"][0]["received"], std::string(60, '1'));
    EXPECT_EQ(dump["blocks"][1]["stage"], "firmware");
    EXPECT_EQ(dump["blocks"][1]["address"], 0x4000);
    EXPECT_EQ(dump["blocks"][1]["received"], fixtures::Hex(code));
    EXPECT_EQ(dump["blocks"][1]["written"], fixtures::Hex(code));
    EXPECT_EQ(sim.Control("dump 0000A001 " + (dir / "copy.json"))["ok"], true);
    EXPECT_TRUE(sim.Control("dump 0000C0DE").contains("error"));

    // Held by another program: the host's open is refused and counted.
    EXPECT_EQ(sim.Control("usb hold 0000A001 on")["ok"], true);
    EXPECT_NE(_host(sim, node, {"ad00/2"}).status, 0);
    EXPECT_EQ(sim.Device("0000A001")["counters"]["refused"], 1);
    EXPECT_EQ(sim.Control("usb hold 0000A001 off")["ok"], true);

    // At exit each device's dump lands in the dump directory, this one's too.
    EXPECT_EQ(sim.Stop(), 0);
    std::ifstream f(dir / "0000A001.json");
    json at_exit = json::parse(f, nullptr, false);
    EXPECT_EQ(at_exit, dump);
    EXPECT_TRUE(std::ifstream(dir / "0000B001.json").good());
}
