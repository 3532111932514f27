// Link servers found by UDP beacon on a network interface, and the lock
// around czmq's beacon interface setting. The servers run in namespaces of
// their own at the far end of veth links from ours.
#include "common/vDiscovery.h"
#include "common/zBeaconInterface.h"

#include "tests/common/discovery_fixture.h"
#include "tests/support/netns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <memory>
#include <thread>

using discovery::Collector;

namespace {

const uint32_t kServerSerial = 0x5E7E0001;

// ---- The interface lock --------------------------------------------------

// Runs fn on another thread and tells whether it finished within a short
// while: a thread that needs the lock must still be waiting then.
class Contender {
public:
    explicit Contender(std::function<void()> fn)
        : thread_([this, fn] {
              fn();
              std::lock_guard<std::mutex> hold(m_);
              done_ = true;
              cv_.notify_all();
          })
    {
    }
    ~Contender() { thread_.join(); }
    bool finishesWithin(int ms)
    {
        std::unique_lock<std::mutex> hold(m_);
        return cv_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return done_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

TEST(BeaconInterfaceTest, AcceptsAddressesDefaultAndAll)
{
    struct Case {
        const char *value;
        bool accepted;
    } cases[] = {
        {"192.0.2.1", true}, {"", true},         {"*", true},          {"0.0.0.0", true},
        {"eth0", false},     {"192.0.2", false}, {"256.1.1.1", false}, {"192.0.2.1 ", false},
        {"**", false},       {nullptr, false},
    };
    ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.250"));
    zBeaconInterface_unlock();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(null)");
        for (bool backup : {false, true}) {
            bool ok = backup ? zBeaconInterface_backupSetAndLock(c.value) : zBeaconInterface_setAndLock(c.value);
            ASSERT_EQ(ok, c.accepted);
            if (!ok) {
                // Refused without locking: another thread gets the lock at once.
                Contender other([] {
                    zBeaconInterface_getAndLock();
                    zBeaconInterface_unlock();
                });
                EXPECT_TRUE(other.finishesWithin(5000));
                EXPECT_EQ(zBeaconInterface_get(), "192.0.2.250");
                continue;
            }
            EXPECT_EQ(zBeaconInterface_get(), c.value);
            if (backup) {
                zBeaconInterface_restoreAndUnlock();
            } else {
                zBeaconInterface_unlock();
                zBeaconInterface_setAndLock("192.0.2.250");
                zBeaconInterface_unlock();
            }
            EXPECT_EQ(zBeaconInterface_get(), "192.0.2.250");
        }
    }
}

TEST(BeaconInterfaceTest, HolderExcludesOthersUntilUnlock)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.11"));
    std::string seen;
    {
        Contender other([&seen] {
            zBeaconInterface_setAndLock("192.0.2.12");
            seen = zBeaconInterface_get();
            zBeaconInterface_unlock();
        });
        EXPECT_FALSE(other.finishesWithin(100));
        // The holder still reads its own setting, and another thread's unlock
        // does not release the holder's lock.
        EXPECT_EQ(zBeaconInterface_get(), "192.0.2.11");
        std::thread([] {
            zBeaconInterface_unlock();
            zBeaconInterface_restoreAndUnlock();
        }).join();
        EXPECT_FALSE(other.finishesWithin(100));
        zBeaconInterface_unlock();
        EXPECT_TRUE(other.finishesWithin(5000));
    }
    EXPECT_EQ(seen, "192.0.2.12");
    EXPECT_EQ(zBeaconInterface_get(), "192.0.2.12");
}

TEST(BeaconInterfaceTest, BackupIsRestoredAndTheGetAndLockFormsHoldTheLock)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.0.0.1"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("192.0.2.1"));
    EXPECT_EQ(zBeaconInterface_get(), "192.0.2.1");
    EXPECT_EQ(zBeaconInterface_getBackup(), "10.0.0.1");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(zBeaconInterface_get(), "10.0.0.1");
    EXPECT_EQ(zBeaconInterface_getBackup(), "10.0.0.1");

    for (bool backup : {false, true}) {
        std::string value = backup ? zBeaconInterface_getBackupAndLock() : zBeaconInterface_getAndLock();
        EXPECT_EQ(value, "10.0.0.1");
        Contender other([] {
            zBeaconInterface_setAndLock("192.0.2.40");
            zBeaconInterface_unlock();
        });
        EXPECT_FALSE(other.finishesWithin(100)) << backup;
        zBeaconInterface_unlock();
        EXPECT_TRUE(other.finishesWithin(5000));
        zBeaconInterface_setAndLock("10.0.0.1");
        zBeaconInterface_unlock();
    }
}

// ---- Beacon discovery ----------------------------------------------------

// A link server beaconing its spec on one link; on another, beacons that are
// not link specifiers: another host's query, and a spec one byte short or long.
class BeaconDiscoveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!netns::skipReason().empty())
            return;
        linkSpec spec = discovery::serverSpec(linkTypeClientTCPIP, kServerSerial, "192.0.2.2", 5005);
        server_.reset(new netns::Peer("dvs", "192.0.2.1/30", "192.0.2.2/30",
                                      netns::Peer::self({"beacon", "192.0.2.3", fixtures::Hex(&spec, sizeof spec)})));
        const char query[] = "Corvantis2-Discovery";
        linkSpec other = discovery::serverSpec(linkTypeClientUSB, kServerSerial + 1, "192.0.2.6", 5006);
        std::vector<uint8_t> longer = discovery::bytes(other);
        longer.push_back(0);
        junk_.reset(new netns::Peer("dvj", "192.0.2.5/30", "192.0.2.6/30",
                                    netns::Peer::self({"beacon", "192.0.2.7", fixtures::Hex(query, 20),
                                                       fixtures::Hex(&other, sizeof other - 1),
                                                       fixtures::Hex(longer.data(), longer.size())})));
    }
    static void TearDownTestSuite()
    {
        server_.reset();
        junk_.reset();
    }
    void SetUp() override
    {
        NETNS_REQUIRED();
        NETNS_PEER_OK(*server_);
        NETNS_PEER_OK(*junk_);
    }
    static std::unique_ptr<netns::Peer> server_, junk_;
};
std::unique_ptr<netns::Peer> BeaconDiscoveryTest::server_, BeaconDiscoveryTest::junk_;

TEST_F(BeaconDiscoveryTest, ServerIsReportedOnceAndTheInterfaceIsPutBack)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.77"));
    zBeaconInterface_unlock();
    Collector c;
    EXPECT_EQ(vDiscovery_Enumerate_vEtherModules(Collector::callback, &c, netns::ipv4("192.0.2.1")), 1);
    ASSERT_EQ(c.serials(), std::vector<uint32_t>{kServerSerial});
    EXPECT_EQ(c.offered[0].type, uint32_t(linkTypeClientTCPIP));
    EXPECT_EQ(c.offered[0].transport.ip.address, netns::ipv4("192.0.2.2"));
    EXPECT_EQ(c.offered[0].transport.ip.port, 5005u);
    EXPECT_EQ(zBeaconInterface_get(), "192.0.2.77");

    // czmq has been used, and the process still ends on Ctrl-C and SIGTERM.
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction now;
        ASSERT_EQ(sigaction(signal, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << signal;
    }
}

TEST_F(BeaconDiscoveryTest, BeaconsThatAreNotSpecsAreIgnored)
{
    // czmq's beacon listens on every interface, so the server on the other
    // link may be heard too; nothing else may come out.
    Collector c;
    int n = vDiscovery_Enumerate_vEtherModules(Collector::callback, &c, netns::ipv4("192.0.2.5"));
    EXPECT_EQ(size_t(n), c.offered.size());
    EXPECT_LE(n, 1);
    for (const linkSpec &s : c.offered)
        EXPECT_EQ(s.serialNumber, kServerSerial);
}

TEST_F(BeaconDiscoveryTest, FindModuleThroughTheBeacon)
{
    for (uint32_t type : {uint32_t(linkTypeClient), uint32_t(linkTypeClientTCPIP)}) {
        linkSpec *found = vDiscovery_FindModule(type, kServerSerial, netns::ipv4("192.0.2.1"));
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->serialNumber, kServerSerial);
        vLinkSpec_Destroy(&found);
    }
    linkSpec *missing = vDiscovery_FindModule(linkTypeClientTCPIP, kServerSerial + 1, netns::ipv4("192.0.2.1"));
    EXPECT_EQ(missing, nullptr);
}

} // namespace

int main(int argc, char **argv) { return netns::main(argc, argv); }
