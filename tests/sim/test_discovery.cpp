// The direct network discovery answer, checked byte by byte with a raw UDP
// client. Multicast runs only inside the test's private network namespace,
// over a veth pair 192.0.2.1 <-> 192.0.2.2 of its own.
#include "tests/support/netns.h"
#include "tests/support/sim.h"

#include "common/vDiscovery.h"
#include "common/vLink.h"
#include "common/vPacket.h"


using namespace simtest;
using fixtures::TempDir;

namespace {

int _udp(uint16_t bind_port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(bind_port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
        ADD_FAILURE() << "bind " << bind_port << ": " << std::strerror(errno);
    return fd;
}

void _query(const Bytes &request) {
    int fd = _udp(0);
    in_addr iface{};
    inet_pton(AF_INET, "192.0.2.1", &iface);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &to.sin_addr);
    EXPECT_EQ(sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              ssize_t(request.size()));
    close(fd);
}

// Replies arriving within the wait, with their sender address.
std::vector<std::pair<Bytes, std::string>> _replies(int fd, size_t want, int wait_ms) {
    std::vector<std::pair<Bytes, std::string>> got;
    while (got.size() < want) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0)
            break;
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            break;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        got.push_back({Bytes(buf, buf + n), text});
    }
    return got;
}

}  // namespace

TEST(Discovery, ReplyBytesForEachNetworkDevice) {
    NETNS_LOCAL_PAIR_REQUIRED();
    TempDir dir;
    Sim sim({"--device", "serial=0x0012ABCD,model=21,address=4,tcp=192.0.2.1:0", "--device",
             "serial=0x00000777,model=13,tcp=192.0.2.1:0", "--device", "serial=5,pty", "--discovery", "192.0.2.1"});
    EXPECT_EQ(sim.Endpoint("discovery"), "192.0.2.1");
    uint16_t p1 = sim.Port("tcp:0012ABCD"), p2 = sim.Port("tcp:00000777");
    int replies = _udp(9889);

    Bytes request(16, 0);
    request[0] = 1;
    _query(request);
    auto got = _replies(replies, 2, 3000);
    ASSERT_EQ(got.size(), 2u);
    std::map<uint32_t, Bytes> by_serial;
    for (const auto &r : got) {
        EXPECT_EQ(r.second, "192.0.2.1");
        ASSERT_EQ(r.first.size(), 16u);
        by_serial[r.first[4] | r.first[5] << 8 | r.first[6] << 16 | uint32_t(r.first[7]) << 24] = r.first;
    }
    EXPECT_EQ(by_serial[0x0012ABCD],
              (Bytes{0, 4, uint8_t(p1), uint8_t(p1 >> 8), 0xCD, 0xAB, 0x12, 0x00, 0, 0, 0, 0, 21, 0, 0, 0}));
    EXPECT_EQ(by_serial[0x777], (Bytes{0, 2, uint8_t(p2), uint8_t(p2 >> 8), 0x77, 0x07, 0, 0, 0, 0, 0, 0, 13, 0, 0, 0}));

    // The port in the reply is where the device listens.
    Tcp t(p1, "192.0.2.1");
    EXPECT_EQ(t.Ask({0xAD, 0}, 2), (Bytes{4, 0}));

    // Anything but the 16-byte query with first byte 1 goes unanswered.
    Bytes wrong_kind = request;
    wrong_kind[0] = 2;
    _query(wrong_kind);
    _query(Bytes(request.begin(), request.end() - 1));
    EXPECT_TRUE(_replies(replies, 1, 300).empty());
    close(replies);
}

namespace {

int _collect(const linkSpec *spec, int *found, void *reference) {
    static_cast<std::vector<linkSpec> *>(reference)->push_back(*spec);
    *found = 1;
    return 1;
}

}  // namespace

TEST(Discovery, TheLibraryFindsAndConnectsTheDevices) {
    NETNS_LOCAL_PAIR_REQUIRED();
    Sim sim({"--device", "serial=0x0012ABCD,model=21,address=4,tcp=0.0.0.0:0", "--device",
             "serial=0x00000777,model=13,tcp=0.0.0.0:0", "--discovery", "192.0.2.1"});
    uint16_t p1 = sim.Port("tcp:0012ABCD");

    std::vector<linkSpec> found;
    int n = vDiscovery_EnumerateModules(linkTypeTCPIP, _collect, &found, htonl(INADDR_LOOPBACK));
    EXPECT_GE(n, 2);
    std::map<uint32_t, linkSpec> by_serial;
    for (const linkSpec &s : found)
        by_serial[s.serialNumber] = s;
    ASSERT_EQ(by_serial.size(), 2u);
    const linkSpec &a = by_serial[0x0012ABCD];
    EXPECT_EQ(a.type, uint32_t(linkTypeTCPIP));
    EXPECT_EQ(a.moduleAddress, 4u);
    EXPECT_EQ(a.modelNumber, 21u);
    EXPECT_EQ(a.transport.ip.port, p1);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.transport.ip.address, text, sizeof text);
    EXPECT_STREQ(text, "192.0.2.1");
    EXPECT_EQ(by_serial[0x777].modelNumber, 13u);

    linkSpec *spec = vDiscovery_FindModule(linkTypeTCPIP, 0x777, htonl(INADDR_LOOPBACK));
    ASSERT_NE(spec, nullptr);
    uint32_t id = vLink_CreateTCPIP(spec->serialNumber, spec->transport.ip.address, uint16_t(spec->transport.ip.port));
    vLinkSpec_Destroy(&spec);
    ASSERT_NE(id, 0u);
    uint8_t get_serial[] = {3, 0x49, 0x20};
    vPacket *req = vPacket_CreateWithData(2, 3, get_serial);
    EXPECT_EQ(vLink_PutPacket(id, req), vErrNone);
    vPacket_Destroy(&req);
    vPacket *reply = vLink_AwaitFirst(
        id, [](const vPacket *p, void *) { return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9; }, nullptr,
        2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(Bytes(reply->data + 3, reply->data + 7), (Bytes{0, 0, 7, 0x77}));
    vPacket_Destroy(&reply);
    vLink_Destroy(&id);
}

int main(int argc, char **argv) { return netns::main(argc, argv); }
