// The running simulator driven by the device library's own link engine, over
// TCP and over a COBS-framed pseudo-terminal, as the update tool drives a device.
#include "tests/support/sim.h"

#include "common/vLink.h"
#include "common/vPacket.h"

using namespace simtest;
using fixtures::TempDir;

namespace {

constexpr uint8_t A = 2;

struct Match {
    uint8_t address;
    Bytes prefix;
};

bool _match(const vPacket *p, void *ref) {
    const Match *m = static_cast<const Match *>(ref);
    return p->address == m->address && p->dataSize >= m->prefix.size() &&
           std::equal(m->prefix.begin(), m->prefix.end(), p->data);
}

class Link {
public:
    explicit Link(uint32_t id) : id_(id) {}
    ~Link() {
        if (id_)
            vLink_Destroy(&id_);
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    uint32_t Id() const { return id_; }
    bool Put(uint8_t addr, const Bytes &data) {
        vPacket *p = vPacket_CreateWithData(addr, uint8_t(data.size()), data.data());
        vErr e = vLink_PutPacket(id_, p);
        vPacket_Destroy(&p);
        return e == vErrNone;
    }
    // Data bytes of the first packet from addr beginning with prefix; empty
    // when none comes in time.
    Bytes Await(uint8_t addr, const Bytes &prefix, uint32_t ms = 2000) {
        Match m{addr, prefix};
        vPacket *p = vLink_AwaitFirst(id_, _match, &m, ms);
        if (!p)
            return {};
        Bytes b(p->data, p->data + p->dataSize);
        vPacket_Destroy(&p);
        return b;
    }
    // Puts data and awaits the reply that starts with match (by default the
    // request's first two bytes, with a UEI get's 0x40 and a set's 0x80 turned
    // into the reply's form).
    Bytes Ask(uint8_t addr, const Bytes &data, Bytes match = {}) {
        EXPECT_TRUE(Put(addr, data));
        if (match.empty()) {
            match.assign(data.begin(), data.begin() + long(std::min<size_t>(2, data.size())));
            if (match.size() == 2 && match[0] != 0x5F && match[0] != 73 && match[0] != 23 && match[0] != 8)
                match[1] = (match[1] & 0x80) ? uint8_t(match[1] | 0xC0) : uint8_t(match[1] & 0x3F);
        }
        return Await(addr, match);
    }
    bool Wait_Status(int want, int timeout_ms, bool equal = true) {
        return fixtures::WaitUntil([&] { return (vLink_GetStatus(id_) == want) == equal; }, timeout_ms);
    }

private:
    uint32_t id_;
};

uint32_t _loopback() { return htonl(INADDR_LOOPBACK); }

uint32_t _be32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

std::string _json(const std::string &device) { return "{\"devices\": [" + device + "]}"; }

}  // namespace

TEST(LinkEngine, TcpLinkExchangesAndSynchronises) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": "0x00C0FFEE", "model": 21, "build": 900,
               "name": "A name that is longer than two packets of twenty-four bytes"})")),
             "--control", dir / "c.sock"});
    Link link(vLink_CreateTCPIP(0xC0FFEE, _loopback(), sim.Port("tcp:00C0FFEE")));
    ASSERT_NE(link.Id(), 0u);
    EXPECT_EQ(vLink_GetStatus(link.Id()), linkStatusRunning);
    EXPECT_EQ(link.Ask(A, {3, 0x49, 0x20}), (Bytes{3, 9, 0, 0x00, 0xC0, 0xFF, 0xEE}));
    // The force-route packet of the start went out before that request.
    EXPECT_EQ(sim.Device("00C0FFEE")["counters"]["force_route_on"], 1);
    EXPECT_EQ(link.Ask(A, {3, 0x48, 0x20}), (Bytes{3, 8, 0, 21}));
    EXPECT_EQ(link.Ask(A, {73, 0xFF}), (Bytes{73, 0xFF, 0, 0, 3, 0x84}));

    // The name arrives as a byte array in three sequenced packets.
    ASSERT_TRUE(link.Put(A, {3, 0x60, 0x20}));
    std::string name;
    for (uint8_t seq = 0;; seq++) {
        Bytes p = link.Await(A, {3, 32, 0});
        ASSERT_GE(p.size(), 4u) << "packet " << int(seq);
        EXPECT_EQ(p.back() & 0x7F, seq);
        name.append(p.begin() + 3, p.end() - 1);
        if (!(p.back() & 0x80))
            break;
    }
    EXPECT_EQ(name, "A name that is longer than two packets of twenty-four bytes");

    EXPECT_EQ(vLink_Sync(link.Id()), vErrNone);
    EXPECT_EQ(sim.Device("00C0FFEE")["counters"]["sync_probes"], 6);
    EXPECT_EQ(link.Ask(A, {3, 0x41, 0x20}), (Bytes{3, 1, 0, A}));
}

TEST(LinkEngine, SerialLinkOverThePseudoTerminal) {
    TempDir dir;
    Sim sim({"--device", "serial=0xBEEF,model=13,pty", "--control", dir / "c.sock"});
    std::string path = sim.Endpoint("pty:0000BEEF");
    Link link(vLink_CreateSerial(0xBEEF, path.c_str(), 115200));
    ASSERT_NE(link.Id(), 0u) << path;
    EXPECT_EQ(link.Ask(A, {3, 0x49, 0x20}), (Bytes{3, 9, 0, 0, 0, 0xBE, 0xEF}));
    EXPECT_EQ(vLink_Sync(link.Id()), vErrNone);
    // A full packet both ways: 24 bytes of name and the sequence byte.
    Bytes set = {3, 0xA0, 0x20};
    for (int i = 0; i < 24; i++)
        set.push_back(uint8_t(i == 5 ? 0 : 'a' + i));  // a zero byte inside the frame
    set.push_back(0x00);
    EXPECT_EQ(link.Ask(A, set), (Bytes{3, 0xE0, 0}));
    Bytes got = link.Ask(A, {3, 0x60, 0x20});
    ASSERT_EQ(got.size(), 28u);
    EXPECT_EQ(Bytes(got.begin() + 3, got.end()), Bytes(set.begin() + 3, set.end()));
    auto d = sim.Device("0000BEEF");
    EXPECT_EQ(d["framing_errors"], 0);
    EXPECT_EQ(d["counters"]["sync_probes"], 6);
}

TEST(LinkEngine, HeartbeatsAreAnsweredByTheHost) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": 3, "heartbeat_ms": 20})")), "--control",
             dir / "c.sock"});
    Link link(vLink_CreateTCPIP(3, _loopback(), sim.Port("tcp:00000003")));
    ASSERT_NE(link.Id(), 0u);
    EXPECT_TRUE(Counter_Reaches(sim, "00000003", "heartbeats_answered", 5));
    auto c = sim.Device("00000003")["counters"];
    EXPECT_EQ(c["heartbeats_bad"], 0);
    EXPECT_LE(c["heartbeats_unanswered"].get<int>(), 2);
    vPacket *p = vLink_GetPacket(link.Id());
    EXPECT_EQ(p, nullptr) << "a heartbeat reached the inbound queue";
    vPacket_Destroy(&p);
}

TEST(LinkEngine, PooledPacketsAndAByteArrayRun) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": 4, "block_size": 1000})")), "--control",
             dir / "c.sock"});
    Link link(vLink_CreateTCPIP(4, _loopback(), sim.Port("tcp:00000004")));
    ASSERT_NE(link.Id(), 0u);
    ASSERT_EQ(vLink_EnablePooledPackets(link.Id(), true), vErrNone);
    for (int i = 0; i < 150; i++)
        ASSERT_TRUE(link.Put(A, {23, uint8_t(i), uint8_t(i ^ 0x5A)}));
    for (int i = 0; i < 150; i++)
        ASSERT_EQ(link.Await(A, {23, uint8_t(i)}), (Bytes{23, uint8_t(i), uint8_t(i ^ 0x5A)})) << i;

    // Loader started, then one firmware run of 1000 bytes as a byte-array UEI:
    // 42 packets put at once, acknowledged after the last.
    link.Ask(A, {0x5F, 0});
    link.Ask(A, {0x5F, 3, 0, 0, 0, 0, 0}, {0x5F, 7});
    link.Ask(A, {0x5F, 1, 9, 9});
    link.Ask(A, {0x5F, 4}, {0x5F, 7});
    EXPECT_EQ(link.Ask(A, {0x5F, 2}), (Bytes{0x5F, 2}));
    EXPECT_EQ(link.Ask(A, {0x5F, 3, 0, 0, 0, 0x80, 0}, {0x5F, 7}), (Bytes{0x5F, 7, 0, 0x03, 0xE8}));
    uint32_t sum = 0;
    for (size_t at = 0, seq = 0; at < 1000; at += 24, seq++) {
        size_t n = std::min<size_t>(24, 1000 - at);
        Bytes chunk = {0x5F, 0x8A, 0x20};
        for (size_t i = 0; i < n; i++) {
            chunk.push_back(uint8_t((at + i) * 13));
            sum += uint8_t((at + i) * 13);
        }
        chunk.push_back(uint8_t((seq & 0x7F) | (at + n < 1000 ? 0x80 : 0)));
        ASSERT_TRUE(link.Put(A, chunk));
    }
    EXPECT_EQ(link.Await(A, {0x5F, 0xCA}), (Bytes{0x5F, 0xCA, 0}));
    Bytes s = link.Ask(A, {0x5F, 4}, {0x5F, 7});
    ASSERT_EQ(s.size(), 7u);
    EXPECT_EQ(_be32(s, 3), sum);
    EXPECT_EQ(link.Ask(A, {0x5F, 5, 0x03, 0xE8}, {0x5F, 7}), (Bytes{0x5F, 7, 0}));
    nlohmann::json d = sim.Device("00000004");
    EXPECT_EQ(d["upgrade"]["protocol_errors"], 0);
    // The link wrote queued packets together.
    EXPECT_GE(d["counters"]["pooled_writes"], 1) << d["counters"].dump();
}

TEST(LinkEngine, GarbageMakesTheHostResynchronise) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": 5, "faults": {"garbage": {"every": 3, "bytes": [255]}}})")),
             "--control", dir / "c.sock"});
    Link link(vLink_CreateTCPIP(5, _loopback(), sim.Port("tcp:00000005")));
    ASSERT_NE(link.Id(), 0u);
    int answered = 0;
    for (int i = 0; i < 12; i++) {
        ASSERT_TRUE(link.Put(A, {23, uint8_t(i)}));
        if (link.Await(A, {23, uint8_t(i)}, 500) == Bytes{23, uint8_t(i)})
            answered++;
    }
    auto d = sim.Device("00000005");
    EXPECT_GT(d["counters"]["garbage"].get<int>(), 0);
    EXPECT_GT(d["counters"]["sync_probes"].get<int>(), 0) << "the noise never put the host out of step";
    EXPECT_GT(answered, 0);
    EXPECT_LT(answered, 12) << "every reply survived the noise";
    EXPECT_TRUE(link.Wait_Status(linkStatusRunning, 3000));
}

TEST(LinkEngine, RebootDropsTheLinkAndResetBringsItBack) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": 6, "reboot_ms": 300})")), "--control",
             dir / "c.sock"});
    Link link(vLink_CreateTCPIP(6, _loopback(), sim.Port("tcp:00000006")));
    ASSERT_NE(link.Id(), 0u);
    link.Ask(A, {0x5F, 0});
    link.Ask(A, {0x5F, 3, 0, 0, 0, 0, 0}, {0x5F, 7});
    link.Ask(A, {0x5F, 1, 1});
    link.Ask(A, {0x5F, 4}, {0x5F, 7});
    EXPECT_EQ(link.Ask(A, {0x5F, 2}), (Bytes{0x5F, 2}));
    Bytes fw = {'C', 'V', 'S', 'I', 'M', 'F', 'W', '1', 0x2F, 0x04, 0x02, 0x00, 0, 0, 0x30, 0x39};
    EXPECT_EQ(link.Ask(A, {0x5F, 3, 0, 0, 0, 0, 0}, {0x5F, 7}), (Bytes{0x5F, 7, 0, 0x04, 0x00}));
    Bytes data = {0x5F, 1};
    data.insert(data.end(), fw.begin(), fw.end());
    EXPECT_EQ(link.Ask(A, data), (Bytes{0x5F, 1, 16}));
    link.Ask(A, {0x5F, 4}, {0x5F, 7});
    EXPECT_EQ(link.Ask(A, {0x5F, 5, 0, 16}, {0x5F, 7}), (Bytes{0x5F, 7, 0}));
    ASSERT_TRUE(link.Put(A, {0x5F, 6}));
    EXPECT_TRUE(link.Wait_Status(linkStatusRunning, 5000, false)) << "the host never saw the link drop";
    EXPECT_EQ(vLink_Reset(link.Id()), vErrNone);
    EXPECT_EQ(link.Ask(A, {3, 0x47, 0x20}), (Bytes{3, 7, 0, 0x2F, 0x04, 0x02, 0x00}));
    EXPECT_EQ(link.Ask(A, {73, 0xFF}), (Bytes{73, 0xFF, 0, 0, 0x30, 0x39}));
}

TEST(LinkEngine, RouterCarriesChildrenAndAnswersTheBusProbe) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": 7, "children": [
               {"serial": "0xA0000010", "address": 16}, {"serial": "0xB0000030", "address": 48}]})")),
             "--control", dir / "c.sock"});
    Link link(vLink_CreateTCPIP(7, _loopback(), sim.Port("tcp:00000007")));
    ASSERT_NE(link.Id(), 0u);
    EXPECT_EQ(link.Ask(16, {3, 0x49, 0x20}), (Bytes{3, 9, 0, 0xA0, 0, 0, 0x10}));
    EXPECT_EQ(link.Ask(48, {3, 0x49, 0x20}), (Bytes{3, 9, 0, 0xB0, 0, 0, 0x30}));
    std::vector<int> acked;
    for (int a = 2; a <= 252; a += 2) {
        if (a == A)
            continue;
        Bytes r = link.Ask(A, {8, 0, uint8_t(a), 2, 3, 0, 0}, {8, 0, uint8_t(a)});
        ASSERT_EQ(r.size(), 5u) << a;
        if (r[4] == 0)
            acked.push_back(a);
    }
    EXPECT_EQ(acked, (std::vector<int>{16, 48}));
}

TEST(LinkEngine, SecondConnectionIsRefused) {
    TempDir dir;
    Sim sim({"--config", dir.write("c.json", _json(R"({"serial": 8, "faults": {"refuse_second": true}})")),
             "--control", dir / "c.sock"});
    uint16_t port = sim.Port("tcp:00000008");
    Link first(vLink_CreateTCPIP(8, _loopback(), port));
    ASSERT_NE(first.Id(), 0u);
    EXPECT_EQ(first.Ask(A, {3, 0x41, 0x20}), (Bytes{3, 1, 0, A}));
    // Another host (another link-table entry) on the same device.
    Link second(vLink_CreateTCPIP(9, _loopback(), port));
    if (second.Id() != 0) {
        second.Put(A, {3, 0x41, 0x20});
        EXPECT_TRUE(second.Await(A, {3, 1}, 500).empty());
    }
    EXPECT_GE(sim.Device("00000008")["counters"]["refused"].get<int>(), 1);
    EXPECT_EQ(first.Ask(A, {3, 0x41, 0x20}), (Bytes{3, 1, 0, A}));
}
