// What a simulated module answers: system entity, capability queries, heartbeat
// checks, and on a router network the forwarding and the I2C bus probe.
#include "sim/SimNetwork.h"

#include "common/vError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace cvsim;

namespace {

using Bytes = std::vector<uint8_t>;

DeviceConfig _hub() {
    DeviceConfig d;
    d.serial = 0x1234ABCD;
    d.model = 17;
    d.address = 6;
    d.router_address = 2;
    d.version = Pack_Version(2, 12, 4);
    d.build = 0x10203;
    d.features = 0x80000001;
    d.identifier[0] = 0x11111111;
    d.identifier[1] = 0x22222222;
    d.identifier[2] = 0xA1B2C3D4;
    d.identifier[3] = 0x44444444;
    d.name = "Bench hub";
    return d;
}

struct Dev {
    explicit Dev(const DeviceConfig &c) : dev(c) {}
    std::vector<Bytes> Send(const Bytes &data, Clock::time_point now = Clock::now()) {
        DeviceOut out;
        dev.Handle(Packet::From(dev.Address(), data.data(), data.size()), now, out);
        link = out.link;
        std::vector<Bytes> r;
        for (const Packet &p : out.replies) {
            EXPECT_EQ(p.address, dev.Address());
            r.emplace_back(p.data, p.data + p.length);
        }
        return r;
    }
    Device dev;
    DeviceOut::Link link = DeviceOut::Link::Keep;
};

using Replies = std::vector<Bytes>;

}  // namespace

TEST(SystemEntity, Gets) {
    Dev d(_hub());
    struct Case {
        Bytes request, reply;
    } cases[] = {
        {{3, 0x41, 0x20}, {3, 1, 0, 6}},
        {{3, 0x42, 0x20}, {3, 2, 0, 2}},
        {{3, 0x47, 0x20}, {3, 7, 0, 0x2C, 0x00, 0x00, 0x04}},
        {{3, 0x48, 0x20}, {3, 8, 0, 17}},
        {{3, 0x49, 0x20}, {3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}},
        {{3, 0x54, 0x20}, {3, 20, 0, 0}},
        {{3, 0x67, 0x20, 2}, {3, 39, 0, 0xA1, 0xB2, 0xC3, 0xD4}},
        {{3, 0x6B, 0x20}, {3, 43, 0, 0, 1, 2, 3}},
        {{3, 0x6D, 0x20}, {3, 45, 0, 0x80, 0, 0, 1}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(d.Send(c.request), Replies{c.reply}) << "option " << int(c.request[1] & 0x3F);
}

TEST(SystemEntity, ErrorRepliesCarryBit7AndTheCode) {
    Dev d(_hub());
    struct Case {
        const char *what;
        Bytes request;
        Replies replies;
    } cases[] = {
        {"unknown option", {3, 0x72, 0x20}, {{3, 50, 0x80, vErrInvalidOption}}},
        {"set of a read-only option", {3, 0x87, 0x20, 0, 0, 0, 1}, {{3, 0xC7, 0x80, vErrInvalidOption}}},
        {"other entity index", {3, 0x41, 0x21}, {{3, 1, 0x81, vErrInvalidEntity}}},
        {"identifier word out of range", {3, 0x67, 0x20, 4}, {{3, 39, 0x80, vErrIndexRange}}},
        {"entity class it does not have", {20, 0x45, 0x20}, {{20, 5, 0x80, vErrInvalidEntity}}},
        {"set without value", {3, 0x82, 0x20}, {{3, 0xC2, 0x80, vErrShortCommand}}},
        {"not a UEI command", {9, 1, 0, 0}, {}},
        {"a reply form, not a request", {3, 0x01, 0x00}, {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(d.Send(c.request), c.replies) << c.what;
}

TEST(SystemEntity, NameTravelsInSequencedPackets) {
    DeviceConfig cfg = _hub();
    cfg.name = std::string(50, 'n');
    Dev d(cfg);
    auto r = d.Send({3, 0x60, 0x20});
    ASSERT_EQ(r.size(), 3u);
    size_t payload[] = {24, 24, 2};
    uint8_t trailer[] = {0x80, 0x81, 0x02};
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(r[i].size(), 3 + payload[i] + 1);
        EXPECT_EQ((Bytes{r[i][0], r[i][1], r[i][2]}), (Bytes{3, 32, 0}));
        EXPECT_EQ(r[i].back(), trailer[i]);
    }

    // Set in two packets, acknowledged after the last.
    Bytes p1 = {3, 0xA0, 0x20};
    for (int i = 0; i < 24; i++)
        p1.push_back(uint8_t('a' + i));
    p1.push_back(0x80);
    EXPECT_TRUE(d.Send(p1).empty());
    EXPECT_EQ(d.Send({3, 0xA0, 0x20, 'Z', 0x01}), (Replies{{3, 0xE0, 0}}));
    EXPECT_EQ(d.dev.Name(), "abcdefghijklmnopqrstuvwxZ");
    // A chunk out of sequence is refused and the name stays.
    EXPECT_EQ(d.Send({3, 0xA0, 0x20, 'Q', 0x02}), (Replies{{3, 0xE0, 0x80, vErrPacket}}));
    EXPECT_EQ(d.dev.Name(), "abcdefghijklmnopqrstuvwxZ");

    // Any bytes may be set; the status text still comes out.
    EXPECT_EQ(d.Send({3, 0xA0, 0x20, 0x82, 0xFF, 'k', 0x00}), (Replies{{3, 0xE0, 0}}));
    EXPECT_NE(Json_Text(d.dev.Status(Clock::now())).find("\"name\":\"\xEF\xBF\xBD\xEF\xBF\xBDk\""),
              std::string::npos);

    cfg.name.clear();
    Dev e(cfg);
    EXPECT_EQ(e.Send({3, 0x60, 0x20}), (Replies{{3, 32, 0, 0x00}}));
}

TEST(SystemEntity, SetsAndReset) {
    Dev d(_hub());
    EXPECT_EQ(d.Send({3, 0x82, 0x20, 8}), (Replies{{3, 0xC2, 0}}));
    EXPECT_EQ(d.Send({3, 0x42, 0x20}), (Replies{{3, 2, 0, 8}}));
    EXPECT_EQ(d.Send({3, 0x94, 0x20, 1}), (Replies{{3, 0xD4, 0}}));
    EXPECT_EQ(d.Send({3, 0x54, 0x20}), (Replies{{3, 20, 0, 1}}));

    Clock::time_point t = Clock::now();
    EXPECT_EQ(d.Send({3, 0x8B, 0x20}, t), (Replies{{3, 0xCB, 0}}));
    EXPECT_EQ(d.link, DeviceOut::Link::Drop);
    EXPECT_TRUE(d.dev.Away(t + std::chrono::milliseconds(100)));
    EXPECT_TRUE(d.Send({3, 0x41, 0x20}, t + std::chrono::milliseconds(100)).empty());
    EXPECT_EQ(d.Send({3, 0x41, 0x20}, t + std::chrono::milliseconds(400)), (Replies{{3, 1, 0, 6}}));
}

TEST(Capabilities, Command73) {
    Dev d(_hub());
    struct Case {
        Bytes request, reply;
    } cases[] = {
        {{73, 0xFF}, {73, 0xFF, 0x00, 0x01, 0x02, 0x03}},
        {{73, 1, 0x5F, 10, 0, 0x80}, {73, 1, 0x5F, 10, 0, 0}},
        {{73, 1, 0x5F, 10, 0, 0x40}, {73, 1, 0x5F, 10, 0, vErrInvalidOption}},
        {{73, 1, 3, 9, 0, 0x40}, {73, 1, 3, 9, 0, 0}},
        {{73, 1, 3, 9, 0, 0x80}, {73, 1, 3, 9, 0, vErrInvalidOption}},
        {{73, 1, 3, 32, 0, 0}, {73, 1, 3, 32, 0, 0}},
        {{73, 1, 3, 9, 1, 0}, {73, 1, 3, 9, 1, vErrInvalidEntity}},
        {{73, 1, 20, 1, 0, 0}, {73, 1, 20, 1, 0, vErrInvalidEntity}},
        {{73, 4, 3}, {73, 4, 3, 1}},
        {{73, 4, 8}, {73, 4, 8, 0}},
        {{73, 5, 3, 0}, {73, 5, 3, 0, 0}},
        {{73, 6, 3, 0}, {73, 6, 3, 0, 0}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(d.Send(c.request), Replies{c.reply}) << int(c.request[1]);

    DeviceConfig cfg = _hub();
    cfg.uei_data = false;
    Dev e(cfg);
    EXPECT_EQ(e.Send({73, 1, 0x5F, 10, 0, 0x80}), (Replies{{73, 1, 0x5F, 10, 0, vErrInvalidOption}}));
    EXPECT_EQ(e.Send({23, 1, 2, 3}), (Replies{{23, 1, 2, 3}}));  // debug echo
}

TEST(Heartbeat, AnswersAreChecked) {
    Dev d(_hub());
    Packet hb = d.dev.Heartbeat();
    EXPECT_EQ(hb.Wire(), (Bytes{6, 2, 0, 0}));
    EXPECT_TRUE(d.Send({0, 2}).empty());  // answered: state 0 + 2
    d.dev.Heartbeat();
    d.Send({0, 3});     // wrong state
    d.dev.Heartbeat();  // two are due now; late answers still count
    d.Send({0, 2});
    d.Send({0, 2});
    d.Send({0, 2});  // nothing was due
    const auto &c = d.dev.Stats();
    EXPECT_EQ(c.heartbeats_sent, 3u);
    EXPECT_EQ(c.heartbeats_answered, 3u);
    EXPECT_EQ(c.heartbeats_bad, 2u);
    EXPECT_EQ(d.dev.Status(Clock::now())["counters"]["heartbeats_unanswered"], 0);
}

namespace {

class Router : public ::testing::Test {
protected:
    Router() {
        DeviceConfig root = _hub();
        root.address = 2;
        root.router = true;
        DeviceConfig a = _hub(), b = _hub();
        a.serial = 0xA0000010;
        a.address = 0x10;
        b.serial = 0xB0000022;
        b.address = 0x22;
        a.router_address = 0;  // takes the router's address
        b.router_address = 9;  // configured
        root.children = {a, b};
        net = std::make_unique<Network>(root);
    }
    Replies Send(uint8_t addr, const Bytes &data, bool link_level = false, Clock::time_point now = Clock::now(),
                 NetOut *keep = nullptr) {
        Inbound in;
        in.packet = Packet::From(addr, data.data(), data.size());
        in.link_level = link_level;
        NetOut out;
        net->Handle(in, now, out);
        Replies r;
        for (const auto &rep : out.replies) {
            EXPECT_EQ(rep.packet.address, rep.from->Address());
            r.push_back(rep.packet.Wire());
        }
        if (keep)
            *keep = out;
        return r;
    }
    std::unique_ptr<Network> net;
};

}  // namespace

TEST_F(Router, LinkLevelAndForwarding) {
    EXPECT_EQ(Send(kSyncProbe, {}, true), (Replies{{2, 0}}));
    Send(kForceRoute, {1}, true);
    Send(kForceRoute, {0}, true);
    EXPECT_EQ(net->Root().Stats().force_route_on, 1u);
    EXPECT_EQ(net->Root().Stats().force_route_off, 1u);
    // Each module answers at its own address with its own identity.
    EXPECT_EQ(Send(2, {3, 0x49, 0x20}), (Replies{{2, 7, 3, 9, 0, 0x12, 0x34, 0xAB, 0xCD}}));
    EXPECT_EQ(Send(0x10, {3, 0x49, 0x20}), (Replies{{0x10, 7, 3, 9, 0, 0xA0, 0x00, 0x00, 0x10}}));
    EXPECT_EQ(Send(0x22, {3, 0x49, 0x20}), (Replies{{0x22, 7, 3, 9, 0, 0xB0, 0x00, 0x00, 0x22}}));
    EXPECT_TRUE(Send(0x24, {3, 0x49, 0x20}).empty());
    // A child's router address is its router's unless configured.
    EXPECT_EQ(Send(0x10, {3, 0x42, 0x20}), (Replies{{0x10, 4, 3, 2, 0, 2}}));
    EXPECT_EQ(Send(0x22, {3, 0x42, 0x20}), (Replies{{0x22, 4, 3, 2, 0, 9}}));
    EXPECT_EQ(net->Unrouted(), 1u);
}

TEST_F(Router, BusProbeAcknowledgesOnlyWhereAModuleSits) {
    std::vector<int> acked;
    for (int a = 2; a <= 252; a += 2) {
        auto r = Send(2, {8, 0, uint8_t(a), 2, 3, 0, 0});
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r[0].size(), 7u);
        EXPECT_EQ((Bytes{r[0][2], r[0][3], r[0][4], r[0][5]}), (Bytes{8, 0, uint8_t(a), 0}));
        if (r[0][6] == 0)
            acked.push_back(a);
        else
            EXPECT_EQ(r[0][6], 0x80 | vErrNotFound);
    }
    EXPECT_EQ(acked, (std::vector<int>{0x10, 0x22}));  // never the router itself
}

TEST_F(Router, BusReadsReturnWhatWasWritten) {
    EXPECT_EQ(Send(2, {8, 0, 0x10, 3, 3, 5, 0xAA, 0xBB}), (Replies{{2, 5, 8, 0, 0x10, 0, 0}}));
    Send(2, {8, 0, 0x10, 1, 3, 5});
    EXPECT_EQ(Send(2, {8, 0, 0x11, 2, 3}), (Replies{{2, 7, 8, 0, 0x11, 2, 0, 0xAA, 0xBB}}));
    EXPECT_EQ(Send(2, {8, 0, 0x13, 2, 3}), (Replies{{2, 5, 8, 0, 0x13, 0, 0x80 | vErrNotFound}}));
    EXPECT_EQ(Send(2, {8, 0, 0x11, 24, 3}), (Replies{{2, 5, 8, 0, 0x11, 0, 0x80 | vErrSize}}));
    EXPECT_EQ(Send(2, {8, 0, 1, 1}), (Replies{{2, 5, 8, 0, 1, 0, 0}}));  // pull-ups
    EXPECT_EQ(Send(2, {8, 1, 0x10, 0, 3}), (Replies{{2, 5, 8, 1, 0x10, 0, 0x80 | vErrInvalidEntity}}));
    // A module that is no router has no bus.
    EXPECT_EQ(Send(0x10, {8, 0, 0x22, 0, 3}), (Replies{{0x10, 5, 8, 0, 0x22, 0, 0x80 | vErrInvalidEntity}}));
}

TEST_F(Router, AChildRebootKeepsTheRoutersLink) {
    Clock::time_point t = Clock::now();
    NetOut out;
    Send(0x10, {3, 0x8B, 0x20}, false, t, &out);
    EXPECT_EQ(out.link, DeviceOut::Link::Keep);
    auto soon = t + std::chrono::milliseconds(10);
    EXPECT_TRUE(Send(0x10, {3, 0x41, 0x20}, false, soon).empty());
    EXPECT_EQ(Send(2, {8, 0, 0x10, 0, 3}, false, soon), (Replies{{2, 5, 8, 0, 0x10, 0, 0x80 | vErrNotFound}}));
    EXPECT_EQ(Send(0x22, {3, 0x41, 0x20}, false, soon).size(), 1u);
    // The router's own reset takes the link.
    Send(2, {3, 0x8B, 0x20}, false, soon, &out);
    EXPECT_EQ(out.link, DeviceOut::Link::Drop);
}
