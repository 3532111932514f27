// The device side of the loader protocol: what the simulator accepts, counts,
// sums, stores and starts. Every update test trusts these answers.
#include "sim/SimUpgrade.h"

#include "common/vError.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cvsim;

namespace {

using Bytes = std::vector<uint8_t>;

class Loader : public ::testing::Test {
protected:
    Loader() {
        cfg.address = 4;
        cfg.block_size = 64;
        cfg.load_base = 0x20000400;
    }

    // Sends one request (data bytes after the address); returns the replies'
    // data bytes.
    std::vector<Bytes> Send(const Bytes &data) {
        if (!engine)
            engine = std::make_unique<UpgradeEngine>(cfg);
        Packet p = Packet::From(cfg.address, data.data(), data.size());
        UpgradeOut out;
        engine->Handle(p, out);
        last_event = out.event;
        std::vector<Bytes> r;
        for (const Packet &q : out.replies) {
            EXPECT_EQ(q.address, cfg.address);
            r.emplace_back(q.data, q.data + q.length);
        }
        return r;
    }
    Bytes One(const Bytes &data) {
        auto r = Send(data);
        EXPECT_EQ(r.size(), 1u) << "request 5F " << int(data.size() > 1 ? data[1] : 0);
        return r.empty() ? Bytes{} : r[0];
    }
    static Bytes Prepare(uint32_t addr, uint8_t flags = 0) {
        return {0x5F, 3, flags, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr)};
    }
    static Bytes Data(const Bytes &payload) {
        Bytes b = {0x5F, 1};
        b.insert(b.end(), payload.begin(), payload.end());
        return b;
    }
    static Bytes Write(uint16_t n) { return {0x5F, 5, uint8_t(n >> 8), uint8_t(n)}; }
    static uint32_t Be32(const Bytes &b, size_t at) {
        return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
    }
    // Sends a run in 26-byte DATA packets, as the host does.
    void Send_Run(const Bytes &run) {
        for (size_t at = 0; at < run.size(); at += 26) {
            size_t n = std::min<size_t>(26, run.size() - at);
            Bytes chunk(run.begin() + long(at), run.begin() + long(at + n));
            EXPECT_EQ(One(Data(chunk)), (Bytes{0x5F, 1, uint8_t(n)}));
        }
    }
    uint32_t Sum() {
        Bytes r = One({0x5F, 4});
        EXPECT_EQ(r.size(), 7u);
        EXPECT_EQ(r[1], 7);
        EXPECT_EQ(r[2], 0);
        return r.size() == 7 ? Be32(r, 3) : 0;
    }
    // INIT, one loader block, LOAD: the device then runs its loader.
    void Start_Loader() {
        One({0x5F, 0});
        One(Prepare(0x20000000));
        Send_Run(Bytes(30, 0x11));
        Sum();
        EXPECT_EQ(One({0x5F, 2}), (Bytes{0x5F, 2}));
        ASSERT_TRUE(engine->In_Loader());
    }
    // PREPARE, then the code in block-size pieces, each summed and written.
    void Send_Firmware(uint32_t addr, const Bytes &code) {
        EXPECT_EQ(One(Prepare(addr))[2], 0);
        for (size_t at = 0; at < code.size(); at += cfg.block_size) {
            size_t n = std::min<size_t>(cfg.block_size, code.size() - at);
            Bytes piece(code.begin() + long(at), code.begin() + long(at + n));
            Send_Run(piece);
            Sum();
            EXPECT_EQ(One(Write(uint16_t(n))), (Bytes{0x5F, 7, 0}));
        }
    }
    static Bytes Header(uint32_t version, uint32_t build, size_t code_after = 40) {
        Bytes b(kFirmwareMagic, kFirmwareMagic + 8);
        for (uint32_t v : {version, build})
            for (int s = 24; s >= 0; s -= 8)
                b.push_back(uint8_t(v >> s));
        for (size_t i = 0; i < code_after; i++)
            b.push_back(uint8_t(i * 7 + 1));
        return b;
    }

    DeviceConfig cfg;
    std::unique_ptr<UpgradeEngine> engine;
    UpgradeOut::Event last_event = UpgradeOut::Event::None;
};

}  // namespace

TEST_F(Loader, WholeUpdateKeepsEveryBlockAndStartsTheNewFirmware) {
    EXPECT_EQ(One({0x5F, 0}), (Bytes{0x5F, 0, 0x20, 0x00, 0x04, 0x00}));
    EXPECT_EQ(One(Prepare(0x20000000, 0xA0)), (Bytes{0x5F, 7, 0, 0, 64}));
    Bytes loader(27);
    for (size_t i = 0; i < loader.size(); i++)
        loader[i] = uint8_t(0xF0 + i);
    Send_Run(loader);  // 26 + 1
    uint32_t want = 0;
    for (uint8_t b : loader)
        want += b;
    EXPECT_EQ(Sum(), want);
    EXPECT_FALSE(engine->In_Loader());
    EXPECT_EQ(One({0x5F, 2}), (Bytes{0x5F, 2}));
    EXPECT_EQ(last_event, UpgradeOut::Event::LoaderStarted);

    Bytes code = Header(0x2F030201, 4321, 150);  // 166 bytes: pieces of 64, 64, 38
    Send_Firmware(0x00004000, code);
    EXPECT_TRUE(Send({0x5F, 6}).empty());
    EXPECT_EQ(last_event, UpgradeOut::Event::Rebooted);
    EXPECT_FALSE(engine->In_Loader());
    uint32_t v = 0, b = 0;
    EXPECT_TRUE(engine->Started_Firmware(v, b));
    EXPECT_EQ(v, 0x2F030201u);
    EXPECT_EQ(b, 4321u);

    const auto &blocks = engine->Blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_FALSE(blocks[0].firmware);
    EXPECT_EQ(blocks[0].address, 0x20000000u);
    EXPECT_EQ(blocks[0].flags, 0xA0);
    EXPECT_EQ(blocks[0].received, loader);
    EXPECT_TRUE(blocks[1].firmware);
    EXPECT_EQ(blocks[1].address, 0x4000u);
    EXPECT_EQ(blocks[1].received, code);
    EXPECT_EQ(blocks[1].written, code);
    EXPECT_EQ(blocks[1].writes, 3u);
    EXPECT_EQ(engine->Protocol_Errors(), 0u) << engine->Last_Error();
}

TEST_F(Loader, ChecksumIsTheUnsignedSumOfEachRun) {
    One({0x5F, 0});
    One(Prepare(0));
    EXPECT_EQ(Sum(), 0u);  // an empty run
    Send_Run({0xFF, 0x80, 0x01});
    EXPECT_EQ(Sum(), 0x180u);  // bytes are not sign-extended
    Send_Run({0x02});
    EXPECT_EQ(Sum(), 2u);  // a new run starts after each SUM
    EXPECT_EQ(Sum(), 0u);
    Bytes big(26 * 40, 0xFE);
    Send_Run(big);
    EXPECT_EQ(Sum(), 26u * 40u * 0xFEu);
}

TEST_F(Loader, WriteChecksTheCountAndTheBlockSize) {
    Start_Loader();
    One(Prepare(0x8000));
    Send_Run(Bytes(20, 1));
    EXPECT_EQ(One(Write(19)), (Bytes{0x5F, 7, kStCountMismatch}));
    // The run is over after a refused WRITE; a fresh run of exactly the block size is fine.
    Send_Run(Bytes(64, 2));
    EXPECT_EQ(One(Write(64)), (Bytes{0x5F, 7, kStOk}));
    Send_Run(Bytes(65, 3));
    EXPECT_EQ(One(Write(65)), (Bytes{0x5F, 7, kStOverrun}));
    ASSERT_EQ(engine->Blocks().size(), 2u);
    EXPECT_EQ(engine->Blocks()[1].written, Bytes(64, 2));
    EXPECT_EQ(engine->Protocol_Errors(), 2u);
}

TEST_F(Loader, OutOfOrderRequestsAreRefused) {
    struct Case {
        const char *what;
        Bytes request;
        std::vector<Bytes> replies;
    } fresh[] = {
        {"PREPARE before INIT", Prepare(0), {{0x5F, 7, kStNoSession, 0, 64}}},
        {"DATA before PREPARE", Data({1, 2, 3}), {{0x5F, 1, 0}}},
        {"SUM before PREPARE", {0x5F, 4}, {{0x5F, 7, kStNoBlock, 0, 0, 0, 0}}},
        {"WRITE before PREPARE", Write(3), {{0x5F, 7, kStNoBlock}}},
        {"LOAD without a loader", {0x5F, 2}, {}},
        {"short PREPARE", {0x5F, 3, 0, 0}, {{0x5F, 7, kStBadRequest, 0, 64}}},
        {"unknown sub-command", {0x5F, 9}, {}},
    };
    for (const Case &c : fresh) {
        engine.reset();
        EXPECT_EQ(Send(c.request), c.replies) << c.what;
        EXPECT_EQ(engine->Protocol_Errors(), 1u) << c.what;
        EXPECT_FALSE(engine->In_Loader()) << c.what;
        EXPECT_TRUE(engine->Blocks().empty()) << c.what;
    }
    // The running firmware does not write to flash: loader blocks take no WRITE.
    engine.reset();
    One({0x5F, 0});
    One(Prepare(0));
    Send_Run({1, 2});
    EXPECT_EQ(One(Write(2)), (Bytes{0x5F, 7, kStNoSession}));
}

TEST_F(Loader, FirmwareHeaderDecidesTheReportedVersion) {
    struct Case {
        const char *what;
        std::vector<std::pair<uint32_t, Bytes>> blocks;  // address, code
        bool write;
        bool started;
    } cases[] = {
        {"header first", {{0x1000, Header(0x2F040000, 77)}}, true, true},
        {"lowest address holds it", {{0x2000, Bytes(30, 5)}, {0x1000, Header(0x2F040000, 77)}}, true, true},
        {"header not at the lowest address", {{0x1000, Bytes(30, 5)}, {0x2000, Header(0x2F040000, 77)}}, true, false},
        {"wrong magic", {{0x1000, [] { Bytes b = Header(1, 2); b[7] = '2'; return b; }()}}, true, false},
        {"shorter than the header", {{0x1000, [] { Bytes b = Header(1, 2); b.resize(15); return b; }()}}, true, false},
        {"received but never written", {{0x1000, Header(0x2F040000, 77)}}, false, false},
    };
    for (const Case &c : cases) {
        engine.reset();
        Start_Loader();
        for (const auto &blk : c.blocks) {
            if (c.write) {
                Send_Firmware(blk.first, blk.second);
            } else {
                One(Prepare(blk.first));
                Send_Run(blk.second);
                Sum();
            }
        }
        Send({0x5F, 6});
        uint32_t v = 0, b = 0;
        EXPECT_EQ(engine->Started_Firmware(v, b), c.started) << c.what;
        if (c.started) {
            EXPECT_EQ(v, 0x2F040000u) << c.what;
            EXPECT_EQ(b, 77u) << c.what;
        }
    }
}

TEST_F(Loader, ByteArrayRunIsAcknowledgedAfterItsLastChunk) {
    Start_Loader();
    One(Prepare(0x3000));
    Bytes run(50);
    for (size_t i = 0; i < run.size(); i++)
        run[i] = uint8_t(200 + i);
    // 24 + 24 + 2 bytes with sequence bytes 0x80, 0x81, 0x02.
    uint8_t trailers[] = {0x80, 0x81, 0x02};
    for (int k = 0; k < 3; k++) {
        Bytes req = {0x5F, 0x8A, 0x20};
        size_t n = k < 2 ? 24 : 2;
        req.insert(req.end(), run.begin() + k * 24, run.begin() + long(k * 24 + n));
        req.push_back(trailers[k]);
        auto r = Send(req);
        if (k < 2)
            EXPECT_TRUE(r.empty()) << "chunk " << k;
        else
            EXPECT_EQ(r, (std::vector<Bytes>{{0x5F, 0xCA, 0x00}}));
    }
    uint32_t want = 0;
    for (uint8_t b : run)
        want += b;
    EXPECT_EQ(Sum(), want);
    EXPECT_EQ(One(Write(50)), (Bytes{0x5F, 7, 0}));
    EXPECT_EQ(engine->Blocks()[1].written, run);
    EXPECT_EQ(engine->Requests(kUpDataUei), 1u);
}

TEST_F(Loader, ByteArrayErrors) {
    Start_Loader();
    One(Prepare(0x3000));
    // A missing chunk: the device says so once and acknowledges nothing.
    Bytes first = {0x5F, 0x8A, 0x20};
    first.insert(first.end(), 24, 9);
    first.push_back(0x80);
    Bytes third = {0x5F, 0x8A, 0x20, 1, 2, 0x02};
    EXPECT_TRUE(Send(first).empty());
    EXPECT_EQ(Send(third), (std::vector<Bytes>{{0x5F, 0xCA, 0x80, uint8_t(vErrPacket)}}));
    EXPECT_TRUE(Send(third).empty());
    // A get of the option and an unknown option are UEI errors.
    EXPECT_EQ(Send({0x5F, 0x4A, 0x20}), (std::vector<Bytes>{{0x5F, 0x0A, 0x80, uint8_t(vErrInvalidOption)}}));
    EXPECT_EQ(Send({0x5F, 0x8B, 0x20, 0x00}), (std::vector<Bytes>{{0x5F, 0xCB, 0x80, uint8_t(vErrInvalidOption)}}));
    // A device without the option refuses it.
    cfg.uei_data = false;
    engine.reset();
    EXPECT_EQ(Send({0x5F, 0x8A, 0x20, 1, 0x00}), (std::vector<Bytes>{{0x5F, 0xCA, 0x80, uint8_t(vErrInvalidOption)}}));
}

TEST_F(Loader, FaultSwitches) {
    // Drop the second DATA reply: the bytes still count.
    cfg.faults.drop_reply = {{kUpData, {2, 1}}};
    One({0x5F, 0});
    One(Prepare(0));
    EXPECT_EQ(Send(Data({1})).size(), 1u);
    EXPECT_TRUE(Send(Data({2})).empty());
    EXPECT_EQ(Send(Data({3})).size(), 1u);
    EXPECT_EQ(Sum(), 6u);
    EXPECT_EQ(engine->Dropped_Replies(), 1u);

    // A wrong DATA count: the device takes none of those bytes.
    cfg.faults = Faults();
    cfg.faults.data_wrong_count = {2, 1};
    engine.reset();
    One({0x5F, 0});
    One(Prepare(0));
    EXPECT_EQ(One(Data({1, 1})), (Bytes{0x5F, 1, 2}));
    EXPECT_EQ(One(Data({5, 5, 5})), (Bytes{0x5F, 1, 2}));
    EXPECT_EQ(One(Data({5, 5, 5})), (Bytes{0x5F, 1, 3}));
    EXPECT_EQ(Sum(), 17u);

    // A wrong SUM once.
    cfg.faults = Faults();
    cfg.faults.sum_wrong = {1, 1};
    engine.reset();
    One({0x5F, 0});
    One(Prepare(0));
    Send_Run({10, 20});
    EXPECT_EQ(Sum(), 31u);
    Send_Run({10, 20});
    EXPECT_EQ(Sum(), 30u);

    // PREPARE rejected from the first on, always.
    cfg.faults = Faults();
    cfg.faults.prepare_reject = {1, 0};
    engine.reset();
    One({0x5F, 0});
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(One(Prepare(0))[2], kStRejected);
    EXPECT_EQ(One(Data({1})), (Bytes{0x5F, 1, 0}));  // no block was opened

    // LOAD never answered, yet the loader runs.
    cfg.faults = Faults();
    cfg.faults.load_no_reply = true;
    engine.reset();
    One({0x5F, 0});
    One(Prepare(0));
    Send_Run({1});
    EXPECT_TRUE(Send({0x5F, 2}).empty());
    EXPECT_EQ(last_event, UpgradeOut::Event::LoaderStarted);
    EXPECT_TRUE(engine->In_Loader());

    // The link drops at REBOOT: the new firmware never starts.
    cfg.faults = Faults();
    cfg.faults.drop_at_reboot = true;
    engine.reset();
    Start_Loader();
    Send_Firmware(0, Header(0x2F050000, 5));
    Send({0x5F, 6});
    EXPECT_EQ(last_event, UpgradeOut::Event::RebootLost);
    uint32_t v, b;
    EXPECT_FALSE(engine->Started_Firmware(v, b));
    EXPECT_TRUE(engine->In_Loader());
}
