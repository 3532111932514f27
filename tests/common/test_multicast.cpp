// Multicast sockets on loopback, inside a private network namespace.
#include "common/vMulticast.h"

#include "tests/support/netns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>

namespace {

const uint32_t kGroup = netns::ipv4("224.0.0.7");
const uint16_t kPort = 9850;

struct Socket {
    vMulticast *s;
    explicit Socket(vMulticast *socket) : s(socket) {}
    ~Socket() { vMulticast_Destroy(&s); }
};

class MulticastTest : public ::testing::Test {
protected:
    void SetUp() override { NETNS_REQUIRED(); }
};

TEST_F(MulticastTest, SenderReachesReceiverOfTheGroup)
{
    // 0 and 127.0.0.1 both name loopback.
    for (uint32_t interface : {0u, netns::ipv4("127.0.0.1")}) {
        SCOPED_TRACE(interface);
        Socket receiver(vMulticast_Create(interface, kGroup, kPort, 0));
        Socket sender(vMulticast_Create(interface, kGroup, kPort, 1));
        ASSERT_NE(receiver.s, nullptr);
        ASSERT_NE(sender.s, nullptr);
        const char message[] = "discovery?";
        EXPECT_EQ(vMulticast_Send(sender.s, message, sizeof message), int(sizeof message));
        char got[64] = {};
        EXPECT_EQ(vMulticast_Receive(receiver.s, got, sizeof got), int(sizeof message));
        EXPECT_STREQ(got, message);
    }
}

TEST_F(MulticastTest, LongDatagramIsCutToTheBuffer)
{
    Socket receiver(vMulticast_Create(0, kGroup, kPort, 0));
    Socket sender(vMulticast_Create(0, kGroup, kPort, 1));
    ASSERT_NE(receiver.s, nullptr);
    ASSERT_NE(sender.s, nullptr);
    std::string big(300, 'x');
    ASSERT_EQ(vMulticast_Send(sender.s, big.data(), big.size()), 300);
    char got[16];
    EXPECT_EQ(vMulticast_Receive(receiver.s, got, sizeof got), 16);
}

// Without address reuse a held port refuses a second receiver: this is how
// discovery tells that a server's responder is there.
TEST_F(MulticastTest, SecondReceiverOnAHeldPortFails)
{
    Socket first(vMulticast_Create(0, kGroup, kPort + 1, 0));
    ASSERT_NE(first.s, nullptr);
    Socket second(vMulticast_Create(0, kGroup, kPort + 1, 0));
    EXPECT_EQ(second.s, nullptr);
    // Senders are not bound and do not hold the port.
    Socket sender(vMulticast_Create(0, kGroup, kPort + 1, 1));
    EXPECT_NE(sender.s, nullptr);
    vMulticast_Destroy(&first.s);
    Socket again(vMulticast_Create(0, kGroup, kPort + 1, 0));
    EXPECT_NE(again.s, nullptr);
}

TEST_F(MulticastTest, ReceiveTimesOutWithMinusOne)
{
    Socket receiver(vMulticast_Create(0, kGroup, kPort + 2, 0));
    ASSERT_NE(receiver.s, nullptr);
    char got[8];
    EXPECT_EQ(vMulticast_Receive(receiver.s, got, sizeof got), -1);
}

TEST_F(MulticastTest, CreateFailsForBadAddresses)
{
    struct Case {
        const char *what;
        uint32_t interface;
        uint32_t group;
    } cases[] = {
        {"group is not a multicast address", 0, netns::ipv4("10.1.2.3")},
        {"interface is not on this host", netns::ipv4("192.0.2.77"), kGroup},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int sender : {0, 1}) {
            Socket s(vMulticast_Create(c.interface, c.group, kPort + 3, sender));
            EXPECT_EQ(s.s, nullptr) << "sender " << sender;
        }
    }
}

TEST_F(MulticastTest, WrongHandlesAndRoles)
{
    Socket receiver(vMulticast_Create(0, kGroup, kPort + 4, 0));
    Socket sender(vMulticast_Create(0, kGroup, kPort + 4, 1));
    ASSERT_NE(receiver.s, nullptr);
    ASSERT_NE(sender.s, nullptr);
    char buffer[4] = {};
    EXPECT_EQ(vMulticast_Send(nullptr, buffer, sizeof buffer), -2);
    EXPECT_EQ(vMulticast_Send(receiver.s, buffer, sizeof buffer), -3);
    EXPECT_EQ(vMulticast_Receive(nullptr, buffer, sizeof buffer), -2);
    EXPECT_EQ(vMulticast_Receive(sender.s, buffer, sizeof buffer), -3);

    EXPECT_EQ(vMulticast_Destroy(nullptr), -2);
    vMulticast *none = nullptr;
    EXPECT_EQ(vMulticast_Destroy(&none), -2);
    EXPECT_EQ(vMulticast_Destroy(&sender.s), 0);
    EXPECT_EQ(sender.s, nullptr);
}

} // namespace

int main(int argc, char **argv) { return netns::main(argc, argv); }
