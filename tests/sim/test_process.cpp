// The running simulator over its real transports: READY line, signals, the
// bytes on TCP and on the pseudo-terminal, restarts, and the fault switches
// that act on the link.
#include "tests/support/sim.h"

using namespace simtest;
using fixtures::TempDir;

namespace {

constexpr uint8_t A = 2;  // module address of the devices below


Bytes _header(uint32_t version, uint32_t build) {
    Bytes b = {'C', 'V', 'S', 'I', 'M', 'F', 'W', '1'};
    for (uint32_t v : {version, build})
        for (int s = 24; s >= 0; s -= 8)
            b.push_back(uint8_t(v >> s));
    for (int i = 0; i < 70; i++)
        b.push_back(uint8_t(i));
    return b;
}

uint32_t _be32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// INIT, one loader block of 30 bytes, LOAD: as the host sends them.
void _start_loader(Tcp &t) {
    EXPECT_EQ(Ask_Data(t, A, {0x5F, 0}, 6)[1], 0);
    EXPECT_EQ(Ask_Data(t, A, {0x5F, 3, 0, 0x20, 0, 0, 0}, 5), (Bytes{0x5F, 7, 0, 0, 128}));
    Bytes run = {0x5F, 1};
    run.insert(run.end(), 26, 0x11);
    Ask_Data(t, A, run, 3);
    Ask_Data(t, A, {0x5F, 1, 0x11, 0x11, 0x11, 0x11}, 3);
    EXPECT_EQ(_be32(Ask_Data(t, A, {0x5F, 4}, 7), 3), 30u * 0x11);
}

void _send_firmware(Tcp &t, const Bytes &code) {
    EXPECT_EQ(Ask_Data(t, A, {0x5F, 3, 0, 0, 0, 0x40, 0}, 5)[2], 0);
    uint32_t sum = 0;
    for (size_t at = 0; at < code.size(); at += 26) {
        size_t n = std::min<size_t>(26, code.size() - at);
        Bytes d = {0x5F, 1};
        d.insert(d.end(), code.begin() + long(at), code.begin() + long(at + n));
        EXPECT_EQ(Ask_Data(t, A, d, 3)[2], n);
        for (size_t i = 0; i < n; i++)
            sum += code[at + i];
    }
    EXPECT_EQ(_be32(Ask_Data(t, A, {0x5F, 4}, 7), 3), sum);
    EXPECT_EQ(Ask_Data(t, A, {0x5F, 5, 0, uint8_t(code.size())}, 3), (Bytes{0x5F, 7, 0}));
}



std::string _device_json(const std::string &extra) {
    return R"({"devices": [{"serial": "0x0000ABCD", "model": 17, "address": 2, "version": "2.12.4",
               "build": 100, "block_size": 128, "reboot_ms": 200)" +
           extra + "}]}";
}

}  // namespace

TEST(Process, ReadyLineSignalsAndCleanUp) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        std::string control = dir / "ctl.sock";
        Sim sim({"--device", "serial=0xABCD,tcp=127.0.0.1:0", "--device", "serial=0xBEEF,pty", "--control", control,
                 "--dump-dir", dir.path()});
        EXPECT_NE(sim.Port("tcp:0000ABCD"), 0) << sim.Ready();
        EXPECT_EQ(sim.Endpoint("tcp:0000ABCD").rfind("127.0.0.1:", 0), 0u) << sim.Ready();
        EXPECT_EQ(sim.Endpoint("pty:0000BEEF").rfind("/dev/pts/", 0), 0u) << sim.Ready();
        EXPECT_EQ(sim.Endpoint("control"), control);
        struct stat st;
        EXPECT_EQ(stat(control.c_str(), &st), 0);
        EXPECT_EQ(sim.Stop(sig), 0);
        EXPECT_NE(stat(control.c_str(), &st), 0) << "control socket left behind";
        for (const char *serial : {"0000ABCD", "0000BEEF"}) {
            std::ifstream f((dir / (std::string(serial) + ".json")));
            EXPECT_TRUE(f.good()) << "no dump for " << serial;
        }
    }
}

TEST(Process, RefusesABadDescription) {
    TempDir dir;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--device", "serial=0"},
             {"--device", "serial=1,address=3"},
             {"--config", dir.write("bad.json", "{\"devices\": [{\"serial\": 1, \"colour\": 2}]}")},
             {"--bogus"},
         }) {
        Sim sim(args, false);
        EXPECT_EQ(sim.Wait(10000), 2) << args[0];
    }
}

TEST(Process, TcpRequestsAndPooledWrites) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _device_json("")), "--control", dir / "c.sock"});
    Tcp t(sim.Port("tcp:0000ABCD"));
    EXPECT_EQ(t.Ask({0xAD, 0x00}, 2), (Bytes{A, 0}));
    t.Send({0xAF, 0x01, 0x01});
    EXPECT_EQ(Ask_Data(t, A, {3, 0x49, 0x20}, 7), (Bytes{3, 9, 0, 0, 0, 0xAB, 0xCD}));
    // Several requests in one write, as pooled packets arrive, answered in order.
    Bytes pooled = {A, 3, 3, 0x48, 0x20, A, 3, 3, 0x47, 0x20, A, 2, 73, 0xFF};
    EXPECT_EQ(t.Ask(pooled, 6 + 9 + 8),
              (Bytes{A, 4, 3, 8, 0, 17, A, 7, 3, 7, 0, 0x2C, 0, 0, 4, A, 6, 73, 0xFF, 0, 0, 0, 100}));
    auto d = sim.Device("0000ABCD");
    EXPECT_EQ(d["counters"]["sync_probes"], 1);
    EXPECT_EQ(d["counters"]["force_route_on"], 1);
    EXPECT_EQ(d["counters"]["packets_in"], 4);
    // A read may take in more than one write, so only at least that one.
    EXPECT_GE(d["counters"]["pooled_writes"], 1);
    EXPECT_GE(d["counters"]["pooled_packets"], 3);
    EXPECT_EQ(d["counters"]["connections"], 1);
    EXPECT_EQ(d["sessions"], 1);
    // A control command it does not know, even in bytes that are not text.
    EXPECT_TRUE(sim.Control("frobnicate \xff\xfe").contains("error"));
    EXPECT_TRUE(sim.Control("dump 12345678").contains("error"));
    EXPECT_EQ(sim.Control("status")["devices"].size(), 1u);
}

TEST(Process, PseudoTerminalCarriesCobsFrames) {
    TempDir dir;
    Sim sim({"--device", "serial=0xABCD,pty", "--control", dir / "c.sock"});
    int fd = Open_Serial(sim.Endpoint("pty:0000ABCD"));
    ASSERT_GE(fd, 0) << sim.Ready();
    // Sync probe [173, 0] and its answer [2, 0], each with CRC and stuffing.
    Write_All(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(Read_Exact(fd, 5), (Bytes{0x02, 0x02, 0x02, 0x91, 0x00}));
    // Serial number get, and its 7-byte answer containing a zero byte.
    Bytes get_serial = {0x07, 0x02, 0x03, 0x03, 0x49, 0x20, 0xE5, 0x00};
    Write_All(fd, get_serial);
    Bytes want = {0x05, 0x02, 0x07, 0x03, 0x09, 0x01, 0x01, 0x03, 0xAB, 0xCD};
    Bytes got = Read_Exact(fd, 12);
    ASSERT_EQ(got.size(), 12u);
    // [2, 7, 3, 9, 0, 0, 0, AB, CD] + CRC, stuffed: the code bytes depend on
    // where the zeros are; check by the structure and the fixed bytes.
    EXPECT_EQ(got[0], 0x05);
    EXPECT_EQ((Bytes{got[1], got[2], got[3], got[4]}), (Bytes{0x02, 0x07, 0x03, 0x09}));
    EXPECT_EQ((Bytes{got[5], got[6], got[7]}), (Bytes{0x01, 0x01, 0x04}));
    EXPECT_EQ((Bytes{got[8], got[9]}), (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(got[11], 0x00);
    // A frame with a wrong CRC is dropped without an answer.
    Bytes bad = get_serial;
    bad[6] ^= 0x40;
    Write_All(fd, bad);
    EXPECT_TRUE(Silent(fd, 200));
    Write_All(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(Read_Exact(fd, 5), (Bytes{0x02, 0x02, 0x02, 0x91, 0x00}));
    EXPECT_EQ(sim.Device("0000ABCD")["framing_errors"], 1);
    close(fd);
}

TEST(Process, UpdateRebootsIntoTheNewFirmware) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _device_json("")), "--control", dir / "c.sock"});
    uint16_t port = sim.Port("tcp:0000ABCD");
    Tcp t(port);
    _start_loader(t);
    EXPECT_EQ(Ask_Data(t, A, {0x5F, 2}, 2), (Bytes{0x5F, 2}));
    EXPECT_EQ(sim.Device("0000ABCD")["mode"], "loader");
    Bytes code = _header(0x2F030001, 4242);
    _send_firmware(t, code);
    t.Send({A, 2, 0x5F, 6});
    EXPECT_TRUE(Dropped(t)) << "the link must drop at the reboot";
    int refusals = 0;
    ASSERT_TRUE(Reconnect(t, port, &refusals));
    EXPECT_GT(refusals, 0) << "a rebooting device does not accept connections";
    EXPECT_EQ(Ask_Data(t, A, {3, 0x47, 0x20}, 7), (Bytes{3, 7, 0, 0x2F, 0x03, 0x00, 0x01}));
    EXPECT_EQ(Ask_Data(t, A, {73, 0xFF}, 6), (Bytes{73, 0xFF, 0, 0, 0x10, 0x92}));
    auto d = sim.Device("0000ABCD");
    EXPECT_EQ(d["mode"], "firmware");
    EXPECT_EQ(d["version_text"], "3.0.1");
    EXPECT_EQ(d["upgrade"]["protocol_errors"], 0);

    std::string file = dir / "dump.json";
    EXPECT_EQ(sim.Control("dump 0000ABCD " + file)["ok"], true);
    std::ifstream f(file);
    nlohmann::json dump = nlohmann::json::parse(f, nullptr, false);
    ASSERT_EQ(dump["blocks"].size(), 2u) << dump.dump();
    EXPECT_EQ(dump["blocks"][0]["stage"], "loader");
    EXPECT_EQ(dump["blocks"][0]["received"], std::string(60, '1'));
    EXPECT_EQ(dump["blocks"][1]["stage"], "firmware");
    EXPECT_EQ(dump["blocks"][1]["address"], 0x4000);
    std::string hex;
    for (uint8_t b : code) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", b);
        hex += h;
    }
    EXPECT_EQ(dump["blocks"][1]["written"], hex);
}

TEST(Process, LinkFaults) {
    TempDir dir;
    {
        SCOPED_TRACE("latency before every reply");
        Sim sim({"--config", dir.write("l.json", _device_json(R"(, "faults": {"latency_us": 150000})"))});
        Tcp t(sim.Port("tcp:0000ABCD"));
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(t.Ask({0xAD, 0}, 2), (Bytes{A, 0}));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    }
    {
        SCOPED_TRACE("a second connection is refused");
        Sim sim({"--config", dir.write("r.json", _device_json(R"(, "faults": {"refuse_second": true})")),
                 "--control", dir / "r.sock"});
        uint16_t port = sim.Port("tcp:0000ABCD");
        Tcp first(port);
        EXPECT_EQ(first.Ask({0xAD, 0}, 2), (Bytes{A, 0}));
        Tcp second(port);
        second.Send({0xAD, 0});
        EXPECT_TRUE(Dropped(second));
        EXPECT_EQ(first.Ask({0xAD, 0}, 2), (Bytes{A, 0}));
        EXPECT_EQ(sim.Device("0000ABCD")["counters"]["refused"], 1);
        first.Close();
        // Once the simulator has seen the close, a new connection is the only one.
        for (int i = 0; i < 300 && sim.Device("0000ABCD")["sessions"] != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(Reconnect(second, port));
        EXPECT_EQ(second.Ask({0xAD, 0}, 2), (Bytes{A, 0})) << "the only connection is served";
    }
    {
        SCOPED_TRACE("garbage between packets");
        Sim sim({"--config", dir.write("g.json", _device_json(R"(, "faults": {"garbage": {"every": 2, "bytes": [255, 1]}})"))});
        Tcp t(sim.Port("tcp:0000ABCD"));
        EXPECT_EQ(t.Ask({0xAD, 0}, 2), (Bytes{A, 0}));
        EXPECT_EQ(t.Ask({0xAD, 0}, 4), (Bytes{0xFF, 1, A, 0}));
        EXPECT_EQ(t.Ask({0xAD, 0}, 2), (Bytes{A, 0}));
    }
    {
        SCOPED_TRACE("never back after the loader starts");
        Sim sim({"--config", dir.write("n.json", _device_json(R"(, "faults": {"gone_after_load": true})"))});
        uint16_t port = sim.Port("tcp:0000ABCD");
        Tcp t(port);
        _start_loader(t);
        EXPECT_EQ(Ask_Data(t, A, {0x5F, 2}, 2), (Bytes{0x5F, 2}));
        EXPECT_TRUE(Dropped(t));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // past reboot_ms
        EXPECT_EQ(t.Connect(port), ECONNREFUSED);
    }
    {
        SCOPED_TRACE("the loader start drops the link and the loader answers afterwards");
        Sim sim({"--config", dir.write("d.json", _device_json(R"(, "load_drops_link": true)")), "--control",
                 dir / "d.sock"});
        uint16_t port = sim.Port("tcp:0000ABCD");
        Tcp t(port);
        _start_loader(t);
        EXPECT_EQ(Ask_Data(t, A, {0x5F, 2}, 2), (Bytes{0x5F, 2}));
        EXPECT_TRUE(Dropped(t));
        ASSERT_TRUE(Reconnect(t, port));
        EXPECT_EQ(sim.Device("0000ABCD")["mode"], "loader");
        EXPECT_EQ(Ask_Data(t, A, {0x5F, 3, 0, 0, 0, 0x40, 0}, 5), (Bytes{0x5F, 7, 0, 0, 128}));
    }
    {
        SCOPED_TRACE("the link drops at REBOOT and the firmware never starts");
        Sim sim({"--config", dir.write("b.json", _device_json(R"(, "faults": {"drop_at_reboot": true})")),
                 "--control", dir / "b.sock"});
        uint16_t port = sim.Port("tcp:0000ABCD");
        Tcp t(port);
        _start_loader(t);
        Ask_Data(t, A, {0x5F, 2}, 2);
        _send_firmware(t, _header(0x2F030001, 4242));
        t.Send({A, 2, 0x5F, 6});
        EXPECT_TRUE(Dropped(t));
        ASSERT_TRUE(Reconnect(t, port));
        EXPECT_EQ(Ask_Data(t, A, {3, 0x47, 0x20}, 7), (Bytes{3, 7, 0, 0x2C, 0, 0, 4}));
        EXPECT_EQ(sim.Device("0000ABCD")["mode"], "loader");
    }
}

TEST(Process, HeartbeatsAreSentAndTheirAnswersChecked) {
    TempDir dir;
    Sim sim({"--config", dir.write("h.json", _device_json(R"(, "heartbeat_ms": 30)")), "--control",
             dir / "h.sock"});
    Tcp t(sim.Port("tcp:0000ABCD"));
    EXPECT_EQ(t.Read(4), (Bytes{A, 2, 0, 0}));
    t.Send({A, 2, 0, 2});
    EXPECT_TRUE(Counter_Reaches(sim, "0000ABCD", "heartbeats_answered", 1));
    EXPECT_EQ(t.Read(4), (Bytes{A, 2, 0, 0}));
    t.Send({A, 2, 0, 3});  // a wrong answer
    EXPECT_TRUE(Counter_Reaches(sim, "0000ABCD", "heartbeats_bad", 1));
    EXPECT_EQ(t.Read(4), (Bytes{A, 2, 0, 0}));
    auto c = sim.Device("0000ABCD")["counters"];
    EXPECT_EQ(c["heartbeats_answered"], 1);
    EXPECT_GE(c["heartbeats_sent"], 3);
}

TEST(Process, RouterLinkCarriesTheChildren) {
    TempDir dir;
    Sim sim({"--config", dir.write("n.json", R"({"devices": [{"serial": 1, "address": 2, "tcp": "127.0.0.1:0",
              "children": [{"serial": "0xC0000016", "address": 22, "model": 5}]}]})"),
             "--control", dir / "n.sock"});
    Tcp t(sim.Port("tcp:00000001"));
    EXPECT_EQ(t.Ask({0xAD, 0}, 2), (Bytes{2, 0}));
    EXPECT_EQ(t.Ask({22, 3, 3, 0x49, 0x20}, 9), (Bytes{22, 7, 3, 9, 0, 0xC0, 0, 0, 0x16}));
    EXPECT_EQ(t.Ask({2, 7, 8, 0, 22, 2, 3, 0, 0}, 7), (Bytes{2, 5, 8, 0, 22, 0, 0}));
    EXPECT_EQ(t.Ask({2, 7, 8, 0, 24, 2, 3, 0, 0}, 7), (Bytes{2, 5, 8, 0, 24, 0, 0x83}));
    auto child = sim.Device("C0000016");
    EXPECT_EQ(child["router_serial"], "00000001");
    EXPECT_EQ(child["counters"]["packets_in"], 1);
}
