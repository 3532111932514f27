// Images written by tools/make-bird with the simulator header, read by the
// store's BIRD reader and sent block by block to a running simulator: after
// the reboot the device reports the image's version and build.
#include "tests/support/sim.h"

#include "store/BirdFile.h"

using namespace simtest;
using fixtures::TempDir;

namespace {

constexpr uint8_t A = 2;

// make-bird -o path ARGS...; its exit status.
int _make_bird(const std::string &path, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"python3", fixtures::Tool("make-bird"), "-o", path};
    argv.insert(argv.end(), args.begin(), args.end());
    return fixtures::Run(argv).status;
}

uint32_t _be32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// One data run in 26-byte DATA packets, checked against the device's SUM.
void _run(Tcp &t, const uint8_t *code, size_t n) {
    uint32_t sum = 0;
    for (size_t at = 0; at < n; at += 26) {
        size_t k = std::min<size_t>(26, n - at);
        Bytes d = {0x5F, 1};
        d.insert(d.end(), code + at, code + at + k);
        EXPECT_EQ(Ask_Data(t, A, d, 3)[2], k);
        for (size_t i = 0; i < k; i++)
            sum += code[at + i];
    }
    Bytes s = Ask_Data(t, A, {0x5F, 4}, 7);
    ASSERT_EQ(s.size(), 7u);
    EXPECT_EQ(s[2], 0);
    EXPECT_EQ(_be32(s, 3), sum);
}

uint16_t _prepare(Tcp &t, const BirdBlock &b) {
    Bytes r = Ask_Data(t, A, {0x5F, 3, b.flags, b.data[0], b.data[1], b.data[2], b.data[3]}, 5);
    EXPECT_EQ(r.size(), 5u);
    EXPECT_EQ(r.size() > 2 ? r[2] : 1, 0);
    return r.size() == 5 ? uint16_t(r[3] << 8 | r[4]) : 0;
}

// The loader stage and the firmware stage over one connection, then REBOOT.
void _update(Tcp &t, const BirdFile &image) {
    Ask_Data(t, A, {0x5F, 0}, 6);
    for (const BirdBlock &b : image.FindBlocks(BirdFile::BLOCK_LOADER)) {
        _prepare(t, b);
        _run(t, b.Code(), b.CodeLength());
    }
    EXPECT_EQ(Ask_Data(t, A, {0x5F, 2}, 2), (Bytes{0x5F, 2}));
    for (const BirdBlock &b : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        uint16_t size = _prepare(t, b);
        ASSERT_GT(size, 0);
        for (uint32_t at = 0; at < b.CodeLength(); at += size) {
            uint32_t n = std::min<uint32_t>(size, b.CodeLength() - at);
            _run(t, b.Code() + at, n);
            EXPECT_EQ(Ask_Data(t, A, {0x5F, 5, uint8_t(n >> 8), uint8_t(n)}, 3), (Bytes{0x5F, 7, 0}));
        }
    }
    t.Send({A, 2, 0x5F, 6});
}

}  // namespace

TEST(Image, SimulatorHeaderSetsTheVersionAfterTheUpdate) {
    TempDir dir;
    Sim sim({"--config",
             dir.write("c.json", R"({"devices": [{"serial": 7, "version": "2.10.0", "build": 5,
                                     "block_size": 300, "reboot_ms": 20}]})"),
             "--control", dir / "c.sock"});
    uint16_t port = sim.Port("tcp:00000007");
    struct Case {
        const char *version;
        uint32_t packed;
        const char *build;
    } cases[] = {
        {"2.14.7", 0x2E000007, "1300"},
        {"2.15.0", 0x2F020F00, "1301"},
        {"3.0.1", 0x2F030001, "4000000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version);
        std::string path = dir / (std::string(c.build) + ".bird");
        ASSERT_EQ(_make_bird(path, {"--loader-size", "100", "--firmware-size", "1000", "--version", c.version,
                                    "--build", c.build, "--sim-header"}),
                  0);
        BirdFile image(path);
        ASSERT_EQ(image.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
        EXPECT_EQ(image.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].CodeLength(), 1016u);

        Tcp t;
        ASSERT_TRUE(Reconnect(t, port));
        _update(t, image);
        EXPECT_TRUE(Dropped(t));
        ASSERT_TRUE(Reconnect(t, port));
        Bytes v = Ask_Data(t, A, {3, 0x47, 0x20}, 7);
        ASSERT_EQ(v.size(), 7u);
        EXPECT_EQ(_be32(v, 3), c.packed);
        Bytes b = Ask_Data(t, A, {73, 0xFF}, 6);
        ASSERT_EQ(b.size(), 6u);
        EXPECT_EQ(_be32(b, 2), std::stoul(c.build));
        auto d = sim.Device("00000007");
        EXPECT_EQ(d["version_text"], c.version);
        EXPECT_EQ(d["upgrade"]["protocol_errors"], 0) << d["upgrade"]["last_error"];
    }
}

TEST(Image, RefusesAHeaderItCannotBuild) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
    } cases[] = {
        {{"--firmware-size", "10", "--version", "2.x", "--sim-header"}},
        {{"--firmware-size", "10", "--version", "2.256.1", "--sim-header"}},
        {{"--firmware-size", "10", "--version", "2.1.1", "--build", "12a", "--sim-header"}},
        {{"--loader-size", "10", "--sim-header"}},
    };
    for (const Case &c : cases)
        EXPECT_NE(_make_bird(dir / "x.bird", c.args), 0) << testing::PrintToString(c.args);
}
