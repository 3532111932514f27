// Finding and connecting to devices on the network: corvantis-sim in a peer
// network namespace on the far end of a veth pair answers the query; this
// binary runs in a private namespace of its own.
#include "tests/support/netns.h"
#include "tests/device/device_fixture.h"

using namespace devtest;

namespace {

// One peer for the whole suite: a veth pair torn down with its namespace
// goes away asynchronously, so a new one of the same name right after could fail.
struct NetworkDevices : ::testing::Test {
    static std::unique_ptr<netns::Peer> peer;
    static std::string skip;

    static void SetUpTestSuite()
    {
        if (!netns::skipReason().empty()) {
            skip = netns::skipReason();
            return;
        }
        std::string sim = fixtures::SimProcess::Program();
        if (access(sim.c_str(), X_OK) != 0) {
            skip = "corvantis-sim is not built";
            return;
        }
        peer.reset(new netns::Peer("dvdev", "192.0.2.1/30", "192.0.2.2/30",
                                   {sim, "--device", "serial=0x0012ABCD,model=21,address=6,tcp=192.0.2.2:4200",
                                    "--device", "serial=0x00BEEF01,model=13,address=2,tcp=192.0.2.2:4201",
                                    "--discovery", "192.0.2.2"}));
    }
    static void TearDownTestSuite() { peer.reset(); }

    void SetUp() override
    {
        if (!skip.empty())
            GTEST_SKIP() << skip;
        NETNS_PEER_OK(*peer);
    }
};
std::unique_ptr<netns::Peer> NetworkDevices::peer;
std::string NetworkDevices::skip;

TEST_F(NetworkDevices, ModuleConnectsBySerialNumber)
{
    Module module(2, uint8_t(0));
    ASSERT_EQ(module.setConfig(directConfig()), vErrNone);
    ASSERT_EQ(module.connect(linkTypeTCPIP, 0x0012ABCD), vErrNone);
    // The address the device reports replaces the one the module was made with.
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), vErrNone);
    EXPECT_EQ(spec.transport.ip.port, 4200u);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), vErrNone);
    EXPECT_EQ(serial, 0x0012ABCDu);
}

TEST_F(NetworkDevices, ModelFilterWithoutSerialNumber)
{
    struct Case {
        uint8_t model;
        vErr expected;
        uint32_t serial;
    } cases[] = {{13, vErrNone, 0x00BEEF01}, {21, vErrNone, 0x0012ABCD}, {99, vErrNotFound, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.model));
        Link link("by model");
        link.setConfig(directConfig());
        EXPECT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0, c.model), c.expected);
        linkSpec spec;
        if (c.expected == vErrNone) {
            ASSERT_EQ(link.getLinkSpecifier(&spec), vErrNone);
            EXPECT_EQ(spec.serialNumber, c.serial);
            EXPECT_TRUE(link.isConnected());
        } else {
            EXPECT_EQ(link.getLinkSpecifier(&spec), vErrNotFound);
        }
    }
}

TEST_F(NetworkDevices, UnknownSerialNumberIsNotFound)
{
    Module module(2, uint8_t(0));
    module.setConfig(directConfig());
    EXPECT_EQ(module.connect(linkTypeTCPIP, 0x0BADBEEF), vErrNotFound);
    EXPECT_FALSE(module.isConnected());
}

} // namespace

int main(int argc, char **argv)
{
    return netns::main(argc, argv);
}
