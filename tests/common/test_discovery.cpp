// Network discovery: the direct TCP/IP query against devices in their own
// namespaces, local link-server discovery on loopback, finding one module,
// and the interface list. Everything runs in a private network namespace.
#include "common/vDiscovery.h"

#include "tests/common/discovery_fixture.h"
#include "tests/support/found_spec.h"
#include "tests/support/netns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>

using discovery::Collector;

namespace {

const uint32_t kSerialA = 0x1111AAAA;
const uint32_t kSerialB = 0x2222BBBB;
const uint32_t kSerialLong = 0x2222CCCC;

using fixtures::Found;

// ---- Receive paths -------------------------------------------------------

TEST(DiscoveryReplyTest, FieldsComeFromTheirOffsets)
{
    std::vector<uint8_t> r = discovery::reply(0x8765A3C1, 0xB25A, 0x4C, 17);
    linkSpec spec;
    memset(&spec, 0xFF, sizeof spec);
    ASSERT_EQ(vDiscovery_ParseReply(r.data(), r.size(), netns::ipv4("192.0.2.2"), &spec), vErrNone);
    EXPECT_EQ(spec.type, uint32_t(linkTypeTCPIP));
    EXPECT_EQ(spec.serialNumber, 0x8765A3C1u);
    EXPECT_EQ(spec.routerSerialNumber, 0x8765A3C1u);
    EXPECT_EQ(spec.moduleAddress, 0x4Cu);
    EXPECT_EQ(spec.routerAddress, 0x4Cu);
    EXPECT_EQ(spec.modelNumber, 17u);
    EXPECT_EQ(spec.transport.ip.address, netns::ipv4("192.0.2.2"));
    EXPECT_EQ(spec.transport.ip.port, 0xB25Au);
    // Nothing of the earlier contents survives past the fields.
    for (size_t i = 8; i < sizeof spec.transport.raw; i++)
        ASSERT_EQ(spec.transport.raw[i], 0) << i;
}

TEST(DiscoveryReplyTest, LengthsAndArguments)
{
    std::vector<uint8_t> r = discovery::reply(kSerialA, 4001, 3, 15);
    std::vector<uint8_t> longer = r;
    longer.resize(40, 0xAB);
    linkSpec spec;
    struct Case {
        const char *what;
        const uint8_t *data;
        size_t length;
        linkSpec *out;
        vErr expected;
    } cases[] = {
        {"exact", r.data(), 16, &spec, vErrNone},
        {"longer: the first 16 bytes count", longer.data(), longer.size(), &spec, vErrNone},
        {"one byte short", r.data(), 15, &spec, vErrSize},
        {"empty", r.data(), 0, &spec, vErrSize},
        {"no data", nullptr, 16, &spec, vErrParam},
        {"no spec", r.data(), 16, nullptr, vErrParam},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(vDiscovery_ParseReply(c.data, c.length, 1, c.out), c.expected);
        if (c.expected == vErrNone) {
            EXPECT_EQ(spec.serialNumber, kSerialA);
        }
    }
}

TEST(DiscoveryLinkSpecTest, OnlyExactly128BytesAndTextIsTerminated)
{
    linkSpec sent = discovery::serverSpec(linkTypeClientSerial, 0x0BADCAFE, "127.0.0.1", 0);
    sent.transport.serial.baudRate = 115200;
    memset(sent.transport.serial.portName, 'A', sizeof sent.transport.serial.portName);
    std::vector<uint8_t> wire = discovery::bytes(sent);

    linkSpec got;
    ASSERT_EQ(vDiscovery_ParseLinkSpec(wire.data(), wire.size(), &got), vErrNone);
    EXPECT_EQ(got.type, uint32_t(linkTypeClientSerial));
    EXPECT_EQ(got.serialNumber, 0x0BADCAFEu);
    EXPECT_EQ(got.transport.serial.baudRate, 115200u);
    EXPECT_EQ(strnlen(got.transport.serial.portName, sizeof got.transport.serial.portName),
              sizeof got.transport.serial.portName - 1);

    std::vector<uint8_t> other(200, 1);
    for (size_t length : {size_t(0), size_t(127), size_t(129), size_t(200)})
        EXPECT_EQ(vDiscovery_ParseLinkSpec(other.data(), length, &got), vErrSize) << length;
    EXPECT_EQ(vDiscovery_ParseLinkSpec(nullptr, 128, &got), vErrParam);
    EXPECT_EQ(vDiscovery_ParseLinkSpec(wire.data(), wire.size(), nullptr), vErrParam);
}

// ---- Interfaces ----------------------------------------------------------

TEST(DiscoveryInterfacesTest, ConvertNeedsRoomForTheLongestText)
{
    struct Case {
        const char *address;
        size_t size;
        const char *text; // null: nothing written, 0 returned
    } cases[] = {
        {"255.255.255.255", 16, "255.255.255.255"},
        {"192.0.2.1", 16, "192.0.2.1"},
        {"0.0.0.0", 64, "0.0.0.0"},
        {"1.2.3.4", 15, nullptr},
        {"1.2.3.4", 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.address) + " in " + std::to_string(c.size));
        char buffer[64];
        memset(buffer, 'z', sizeof buffer);
        int n = vDiscovery_ConvertIPv4Interface(netns::ipv4(c.address), buffer, c.size);
        if (c.text) {
            EXPECT_EQ(n, int(strlen(c.text)));
            EXPECT_STREQ(buffer, c.text);
        } else {
            EXPECT_EQ(n, 0);
            EXPECT_EQ(buffer[0], 'z');
        }
    }
    EXPECT_EQ(vDiscovery_ConvertIPv4Interface(1, nullptr, 16), 0);
}

TEST(DiscoveryInterfacesTest, ListsTheInterfacesThatAreUp)
{
    NETNS_REQUIRED();
    uint32_t list[8];
    ASSERT_EQ(vDiscovery_GetIPv4Interfaces(list, 8), 1);
    EXPECT_EQ(list[0], htonl(INADDR_LOOPBACK));

    netns::Peer peer("dvi", "192.0.2.1/30", "192.0.2.2/30", netns::Peer::self({"answer", "192.0.2.2"}));
    NETNS_PEER_OK(peer);
    // An interface with an address that is down does not count.
    ASSERT_TRUE(netns::run("ip link add dvdown type veth peer name dvdown2 && ip addr add 192.0.2.200/32 dev dvdown"));
    int n = vDiscovery_GetIPv4Interfaces(list, 8);
    ASSERT_EQ(n, 2);
    std::vector<uint32_t> got(list, list + n);
    EXPECT_NE(std::find(got.begin(), got.end(), netns::ipv4("192.0.2.1")), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), htonl(INADDR_LOOPBACK)), got.end());

    EXPECT_EQ(vDiscovery_GetIPv4Interfaces(list, 1), 1);
    EXPECT_EQ(vDiscovery_GetIPv4Interfaces(list, 0), 0);
    EXPECT_EQ(vDiscovery_GetIPv4Interfaces(nullptr, 8), 0);
    netns::run("ip link del dvdown");
}

// ---- Dispatch ------------------------------------------------------------

TEST(DiscoveryEnumerateTest, TypesWithoutDiscoveryFindNothing)
{
    for (uint32_t type : {uint32_t(linkTypeNone), uint32_t(linkTypeSerial), 8u, 9u, 0xFFFFFFFFu}) {
        Collector c;
        EXPECT_EQ(vDiscovery_EnumerateModules(type, Collector::callback, &c, 0), 0) << type;
        EXPECT_TRUE(c.offered.empty()) << type;
        Found f(vDiscovery_FindModule(type, kSerialA, 0));
        EXPECT_EQ(f.spec, nullptr) << type;
    }
    for (uint32_t type : {uint32_t(linkTypeUSB), uint32_t(linkTypeTCPIP), uint32_t(linkTypeClient)})
        EXPECT_EQ(vDiscovery_EnumerateModules(type, nullptr, nullptr, 0), 0) << type;
}

// ---- Direct TCP/IP query -------------------------------------------------

// Two devices, each behind its own link; a third link whose device answers
// without end; a device on loopback that must never be asked.
class DirectQueryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!netns::skipReason().empty())
            return;
        // Device A also sends a reply for an unnamed module and a truncated reply.
        std::vector<uint8_t> zero = discovery::reply(0, 4000, 1, 15);
        std::vector<uint8_t> truncated = discovery::reply(0x5555AAAA, 4000, 1, 15);
        truncated.resize(10);
        a_.reset(new netns::Peer(
            "dva", "192.0.2.1/30", "192.0.2.2/30",
            netns::Peer::self({"answer", "192.0.2.2", fixtures::Hex(zero.data(), zero.size()),
                               fixtures::Hex(truncated.data(), truncated.size()), hex(discovery::reply(kSerialA, 4001, 3, 15))})));
        std::vector<uint8_t> longer = discovery::reply(kSerialLong, 4003, 0x13, 18);
        longer.resize(24, 0x99);
        b_.reset(new netns::Peer("dvb", "192.0.2.5/30", "192.0.2.6/30",
                                 netns::Peer::self({"answer", "192.0.2.6", hex(discovery::reply(kSerialB, 4002, 0x12, 17)),
                                                    hex(longer)})));
        loopback_.reset(new discovery::LoopbackDevice(discovery::reply(0x0BAD0BAD, 1, 1, 1)));
    }
    static void TearDownTestSuite()
    {
        a_.reset();
        b_.reset();
        loopback_.reset();
    }
    void SetUp() override
    {
        NETNS_REQUIRED();
        NETNS_PEER_OK(*a_);
        NETNS_PEER_OK(*b_);
        ASSERT_TRUE(loopback_->ok());
    }
    static std::string hex(const std::vector<uint8_t> &v) { return fixtures::Hex(v.data(), v.size()); }

    static std::unique_ptr<netns::Peer> a_, b_;
    static std::unique_ptr<discovery::LoopbackDevice> loopback_;
};
std::unique_ptr<netns::Peer> DirectQueryTest::a_, DirectQueryTest::b_;
std::unique_ptr<discovery::LoopbackDevice> DirectQueryTest::loopback_;

TEST_F(DirectQueryTest, AsksEveryInterfaceButLoopback)
{
    for (uint32_t interface : {0u, uint32_t(htonl(INADDR_LOOPBACK))}) {
        SCOPED_TRACE(interface);
        Collector c;
        EXPECT_EQ(vDiscovery_EnumerateModules(linkTypeTCPIP, Collector::callback, &c, interface), 4);
        EXPECT_EQ(c.sortedSerials(), (std::vector<uint32_t>{0, kSerialA, kSerialB, kSerialLong}));
        for (const linkSpec &s : c.offered) {
            EXPECT_EQ(s.type, uint32_t(linkTypeTCPIP));
            if (s.serialNumber == kSerialA) {
                EXPECT_EQ(s.transport.ip.address, netns::ipv4("192.0.2.2"));
                EXPECT_EQ(s.transport.ip.port, 4001u);
                EXPECT_EQ(s.moduleAddress, 3u);
                EXPECT_EQ(s.modelNumber, 15u);
            } else if (s.serialNumber == kSerialB) {
                EXPECT_EQ(s.transport.ip.address, netns::ipv4("192.0.2.6"));
                EXPECT_EQ(s.transport.ip.port, 4002u);
                EXPECT_EQ(s.moduleAddress, 0x12u);
                EXPECT_EQ(s.routerSerialNumber, kSerialB);
                EXPECT_EQ(s.modelNumber, 17u);
            }
        }
    }
    EXPECT_EQ(loopback_->requests(), 0);
}

TEST_F(DirectQueryTest, AGivenInterfaceAsksOnlyItsLink)
{
    Collector c;
    EXPECT_EQ(vDiscovery_EnumerateTCPIPModules(Collector::callback, &c, netns::ipv4("192.0.2.5")), 2);
    EXPECT_EQ(c.sortedSerials(), (std::vector<uint32_t>{kSerialB, kSerialLong}));
}

TEST_F(DirectQueryTest, CountsOnlyAcceptedAndStopsWhenAsked)
{
    Collector none;
    none.accept = [](const linkSpec &) { return false; };
    EXPECT_EQ(vDiscovery_EnumerateTCPIPModules(Collector::callback, &none, netns::ipv4("192.0.2.5")), 0);
    EXPECT_EQ(none.offered.size(), 2u);

    Collector first;
    first.stopAfter = 1;
    EXPECT_EQ(vDiscovery_EnumerateTCPIPModules(Collector::callback, &first, 0), 1);
    EXPECT_EQ(first.offered.size(), 1u);
}

TEST_F(DirectQueryTest, FindModuleBySerialNumber)
{
    Found b(vDiscovery_FindModule(linkTypeTCPIP, kSerialB, 0));
    ASSERT_NE(b.spec, nullptr);
    EXPECT_EQ(b.spec->serialNumber, kSerialB);
    EXPECT_EQ(b.spec->transport.ip.address, netns::ipv4("192.0.2.6"));
    EXPECT_EQ(b.spec->transport.ip.port, 4002u);

    // Only the link asked counts.
    Found elsewhere(vDiscovery_FindModule(linkTypeTCPIP, kSerialB, netns::ipv4("192.0.2.1")));
    EXPECT_EQ(elsewhere.spec, nullptr);
    Found unknown(vDiscovery_FindModule(linkTypeTCPIP, 0x12345678, 0));
    EXPECT_EQ(unknown.spec, nullptr);
}

TEST_F(DirectQueryTest, FindFirstSkipsAModuleWithoutSerialNumber)
{
    // Device A answers for serial number 0 first.
    Found first(vDiscovery_FindFirstModule(linkTypeTCPIP, netns::ipv4("192.0.2.1")));
    ASSERT_NE(first.spec, nullptr);
    EXPECT_EQ(first.spec->serialNumber, kSerialA);
}

// The same answer again and again: one module, and the enumeration still ends.
TEST_F(DirectQueryTest, ADeviceThatNeverStopsAnsweringDoesNotHoldTheCaller)
{
    netns::Peer flood("dvf", "192.0.2.9/30", "192.0.2.10/30",
                      netns::Peer::self({"flood", "192.0.2.10", hex(discovery::reply(0x0F0F0F0F, 1, 1, 1)),
                                         hex(discovery::reply(0x0F0F0F0F, 2, 1, 1))}));
    NETNS_PEER_OK(flood);
    Collector c;
    EXPECT_EQ(vDiscovery_EnumerateTCPIPModules(Collector::callback, &c, netns::ipv4("192.0.2.9")), 2);
    ASSERT_EQ(c.offered.size(), 2u);
    EXPECT_EQ(c.offered[0].transport.ip.port, 1u);
    EXPECT_EQ(c.offered[1].transport.ip.port, 2u);
}

// ---- Against the simulator -----------------------------------------------

// corvantis-sim answering the query for its devices on the far end of a link;
// the specifier found must reach the device's TCP endpoint.
TEST(SimulatorDiscoveryTest, FindsSimulatedDevicesAndTheirEndpoints)
{
    NETNS_REQUIRED();
    const char *build = getenv("UPDATER_BUILD_DIR");
    std::string sim = build ? std::string(build) + "/corvantis-sim" : std::string();
    if (sim.empty() || access(sim.c_str(), X_OK) != 0)
        GTEST_SKIP() << "corvantis-sim is not built (UPDATER_BUILD_DIR unset or no program there)";
    netns::Peer peer("dvsim", "192.0.2.1/30", "192.0.2.2/30",
                     {sim, "--device", "serial=0x0012ABCD,model=21,address=2,tcp=192.0.2.2:4100", "--device",
                      "serial=0x00BEEF01,model=13,address=6,tcp=0.0.0.0:4101", "--discovery", "192.0.2.2"});
    NETNS_PEER_OK(peer);

    Collector c;
    EXPECT_EQ(vDiscovery_EnumerateModules(linkTypeTCPIP, Collector::callback, &c, 0), 2);
    EXPECT_EQ(c.sortedSerials(), (std::vector<uint32_t>{0x0012ABCD, 0x00BEEF01}));

    Found found(vDiscovery_FindModule(linkTypeTCPIP, 0x0012ABCD, 0));
    ASSERT_NE(found.spec, nullptr);
    EXPECT_EQ(found.spec->type, uint32_t(linkTypeTCPIP));
    EXPECT_EQ(found.spec->moduleAddress, 2u);
    EXPECT_EQ(found.spec->modelNumber, 21u);
    EXPECT_EQ(found.spec->transport.ip.address, netns::ipv4("192.0.2.2"));
    EXPECT_EQ(found.spec->transport.ip.port, 4100u);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = found.spec->transport.ip.address;
    to.sin_port = htons(uint16_t(found.spec->transport.ip.port));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0) << strerror(errno);
    close(fd);
}

// ---- Local link servers --------------------------------------------------

class LocalServersTest : public ::testing::Test {
protected:
    void SetUp() override { NETNS_REQUIRED(); }
};

TEST_F(LocalServersTest, NoServerNoModule)
{
    Collector c;
    EXPECT_EQ(vDiscovery_Enumerate_vEtherModules(Collector::callback, &c, 0), 0);
    EXPECT_TRUE(c.offered.empty());
}

TEST_F(LocalServersTest, ReportsEachLoopbackServerOnce)
{
    using discovery::bytes;
    using discovery::serverSpec;
    linkSpec a = serverSpec(linkTypeClientUSB, kSerialA, "127.0.0.1", 5001);
    linkSpec b = serverSpec(linkTypeClientTCPIP, kSerialB, "127.0.0.1", 5002);
    std::vector<uint8_t> tooLong = bytes(a);
    tooLong.push_back(0);
    std::vector<uint8_t> tooShort = bytes(b);
    tooShort.resize(100);
    discovery::LocalServer servers[] = {
        {3, bytes(a)},
        {7, bytes(a)}, // the same server again
        {11, bytes(serverSpec(linkTypeClientUSB, 0x3333, "192.0.2.9", 5003))}, // not local
        {20, tooShort},
        {21, tooLong},
        {30, bytes(b)},
        {49, bytes(serverSpec(linkTypeClientSerial, 0x4444, "127.0.0.1", 5004))},
    };
    for (discovery::LocalServer &s : servers)
        ASSERT_TRUE(s.ok());
    for (uint32_t interface : {0u, uint32_t(htonl(INADDR_LOOPBACK))}) {
        Collector c;
        EXPECT_EQ(vDiscovery_Enumerate_vEtherModules(Collector::callback, &c, interface), 3);
        EXPECT_EQ(c.serials(), (std::vector<uint32_t>{kSerialA, kSerialB, 0x4444}));
        ASSERT_EQ(c.offered.size(), 3u);
        EXPECT_EQ(memcmp(&c.offered[1], &b, sizeof b), 0);
    }
    for (discovery::LocalServer &s : servers)
        EXPECT_EQ(s.requests(), 2);

    Found found(vDiscovery_FindModule(linkTypeClientSerial, kSerialB, 0));
    ASSERT_NE(found.spec, nullptr);
    EXPECT_EQ(memcmp(found.spec, &b, sizeof b), 0);
    // Finding stops the search: the last server is not asked again.
    EXPECT_EQ(servers[6].requests(), 2);
}

} // namespace

int main(int argc, char **argv) { return netns::main(argc, argv); }
