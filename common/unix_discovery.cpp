// Network discovery: the direct TCP/IP query of network devices, link servers
// on this host (loopback multicast) or on a network (UDP beacon), the IPv4
// interface list, and finding one module among all those reported.
#include "common/vCzmq.h"
#include "common/vDefs.h"
#include "common/vDiscovery.h"
#include "common/vMulticast.h"
#include "common/zBeaconInterface.h"

#include <czmq.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const char kQueryGroup[] = "232.2.2.2";
const uint16_t kQueryPort = 9888;
const uint16_t kReplyPort = 9889;
const int kReplyWaitMs = 2000;
// A device that never stops answering must not hold the caller forever:
// replies are collected for at most this long however many keep coming.
const int kReplyCollectMaxMs = 10000;
const size_t kRequestSize = 16;
const size_t kReplySize = 16;

const char kLocalGroup[] = "224.0.0.7";
const uint16_t kLocalRequestPort = 9850;
const uint16_t kLocalReplyPort = 9950;
const int kLocalPorts = 50;
const uint32_t kLocalRequest = 0xABCDDCBA;

const uint16_t kBeaconPort = 8585;
const char kBeaconText[] = "Corvantis2-Discovery";
const int kBeaconIntervalMs = 100;
const int kBeaconReceiveMs = 100;
const int kBeaconReceives = 22;

const int kMaxInterfaces = 64;

uint32_t sLoopback() { return htonl(INADDR_LOOPBACK); }

uint32_t sAddress(const char *dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

uint32_t sLE32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Offers a spec; false when the callback asked to stop.
bool sOffer(vDiscoveryCallback callback, void *reference, const linkSpec &spec, int *accepted)
{
    int found = 0;
    bool goOn = callback(&spec, &found, reference) != 0;
    if (found)
        (*accepted)++;
    return goOn;
}

// Specs already reported in one enumeration: a module that answers twice
// (a server on several ports, repeated beacons, a device asked through two
// interfaces) is reported once.
class Reported {
public:
    bool isNew(const linkSpec &spec) const
    {
        for (const linkSpec &seen : seen_)
            if (seen.type == spec.type && seen.serialNumber == spec.serialNumber &&
                seen.transport.ip.address == spec.transport.ip.address && seen.transport.ip.port == spec.transport.ip.port)
                return false;
        return true;
    }
    void add(const linkSpec &spec) { seen_.push_back(spec); }

private:
    std::vector<linkSpec> seen_;
};

// A UDP socket, closed on scope exit.
struct Socket {
    int fd = -1;
    Socket() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    bool reuse()
    {
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0)
            return true;
        vDefs_DebugPrintf(vDEBUG_MULTICAST, "Failed to set reuse %d\n", errno);
        return false;
    }
};

// One request through the interface (0: the system's default), from a
// fresh socket.
bool sSendRequest(uint32_t interfaceAddress)
{
    Socket s;
    if (s.fd < 0 || !s.reuse())
        return false;
    if (interfaceAddress != 0) {
        in_addr interface{};
        interface.s_addr = interfaceAddress;
        if (setsockopt(s.fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0)
            return false;
    }
    uint8_t request[kRequestSize] = {1};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kQueryPort);
    to.sin_addr.s_addr = sAddress(kQueryGroup);
    ssize_t sent;
    do {
        sent = sendto(s.fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof request)) {
        vDefs_DebugPrintf(vDEBUG_MULTICAST, "sendto() failed with error code %d\n", errno);
        return false;
    }
    return true;
}

using Clock = std::chrono::steady_clock;

int sMsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Waits until a datagram is there or the deadline passes; false on timeout
// or error.
bool sWaitReadable(int fd, Clock::time_point deadline)
{
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, sMsUntil(deadline));
    } while (rc < 0 && errno == EINTR);
    return rc == 1 && (p.revents & POLLIN);
}

// Local server discovery: a server's responder holds request port 9850 + n;
// finding a port we cannot take means someone is there to ask.
int sFindLocalServers(vDiscoveryCallback callback, void *reference)
{
    const uint32_t group = sAddress(kLocalGroup);
    Reported reported;
    int accepted = 0;
    bool goOn = true;
    for (int n = 0; n < kLocalPorts && goOn; n++) {
        vMulticast *probe = vMulticast_Create(sLoopback(), group, uint16_t(kLocalRequestPort + n), 0);
        if (probe) {
            vMulticast_Destroy(&probe);
            continue;
        }
        vMulticast *replies = vMulticast_Create(sLoopback(), group, uint16_t(kLocalReplyPort + n), 0);
        vMulticast *requests = vMulticast_Create(sLoopback(), group, uint16_t(kLocalRequestPort + n), 1);
        if (replies && requests) {
            uint32_t request = kLocalRequest;
            vMulticast_Send(requests, &request, sizeof request);
            // Room for more than a spec, so that a longer datagram is seen as
            // such and not cut down to something that looks right.
            uint8_t buffer[sizeof(linkSpec) + 1];
            int got = vMulticast_Receive(replies, buffer, sizeof buffer);
            linkSpec spec;
            if (vDiscovery_ParseLinkSpec(buffer, got > 0 ? size_t(got) : 0, &spec) == vErrNone) {
                if (spec.transport.ip.address != sLoopback()) {
                    vDefs_DebugPrintf(vDEBUG_DISCOVERY, "We are in local mode, ignoring(2)");
                } else if (reported.isNew(spec)) {
                    vDefs_DebugPrintf(vDEBUG_DISCOVERY,
                                      "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                                      spec.serialNumber, int(spec.transport.ip.port), int(spec.moduleAddress),
                                      int(spec.type));
                    reported.add(spec);
                    goOn = sOffer(callback, reference, spec, &accepted);
                }
            } else if (got != -1) {
                vDefs_DebugPrintf(vDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n", got);
            }
        }
        vMulticast_Destroy(&replies);
        vMulticast_Destroy(&requests);
    }
    return accepted;
}

// Beacon discovery on one interface: publish our query beacon and take every
// 128-byte beacon heard as a server's spec. The interface setting is czmq's
// and process-wide, so it stays locked for the whole exchange and is put back
// afterwards.
int sFindBeaconServers(vDiscoveryCallback callback, void *reference, const char *interface)
{
    vCzmq_Init();
    if (!zBeaconInterface_backupSetAndLock(interface))
        return 0;
    int accepted = 0;
    zactor_t *beacon = zactor_new(zbeacon, nullptr);
    if (beacon) {
        zsock_send(beacon, "si", "CONFIGURE", int(kBeaconPort));
        char *hostname = zstr_recv(beacon);
        bool ready = hostname && hostname[0] != '\0';
        zstr_free(&hostname);
        if (ready) {
            zsock_send(beacon, "sbi", "PUBLISH", kBeaconText, strlen(kBeaconText), kBeaconIntervalMs);
            zsock_send(beacon, "sb", "SUBSCRIBE", "", size_t(0));
            zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
            Reported reported;
            bool goOn = true;
            for (int i = 0; i < kBeaconReceives && goOn; i++) {
                zmsg_t *message = zmsg_recv(beacon);
                if (!message)
                    continue;
                char *sender = zmsg_popstr(message);
                zframe_t *content = zmsg_pop(message);
                linkSpec spec;
                if (sender && content &&
                    vDiscovery_ParseLinkSpec(zframe_data(content), zframe_size(content), &spec) == vErrNone) {
                    vDefs_DebugPrintf(vDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                                      sender, int(spec.transport.ip.port));
                    if (reported.isNew(spec)) {
                        vDefs_DebugPrintf(vDEBUG_DISCOVERY,
                                          "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: "
                                          "%d - Model: %d\n",
                                          spec.serialNumber, int(spec.transport.ip.port), int(spec.moduleAddress),
                                          int(spec.type), int(spec.modelNumber));
                        reported.add(spec);
                        goOn = sOffer(callback, reference, spec, &accepted);
                    }
                }
                zframe_destroy(&content);
                zstr_free(&sender);
                zmsg_destroy(&message);
            }
            vDefs_DebugPrintf(vDEBUG_DISCOVERY, "Done with discovery");
            zstr_sendx(beacon, "SILENCE", nullptr);
            zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
        }
        zactor_destroy(&beacon);
    }
    zBeaconInterface_restoreAndUnlock();
    return accepted;
}

struct FindRequest {
    bool first; // the first non-zero serial number, not a given one
    uint32_t serialNumber;
    linkSpec *result;
};

int sFindCallback(const linkSpec *spec, int *found, void *reference)
{
    FindRequest *find = static_cast<FindRequest *>(reference);
    bool match = find->first ? spec->serialNumber != 0 : spec->serialNumber == find->serialNumber;
    if (!match)
        return 1;
    memcpy(find->result, spec, sizeof(linkSpec));
    *found = 1;
    return 0;
}

linkSpec *sFind(uint32_t type, bool first, uint32_t serialNumber, uint32_t interfaceAddress)
{
    FindRequest find{first, serialNumber, vLinkSpec_Create(linkTypeNone)};
    if (!find.result)
        return nullptr;
    if (vDiscovery_EnumerateModules(type, sFindCallback, &find, interfaceAddress) == 0)
        vLinkSpec_Destroy(&find.result);
    return find.result;
}

} // namespace

vErr vDiscovery_ParseReply(const uint8_t *data, size_t length, uint32_t sender, linkSpec *spec)
{
    if (!data || !spec)
        return vErrParam;
    if (length < kReplySize)
        return vErrSize;
    memset(spec, 0, sizeof *spec);
    spec->type = linkTypeTCPIP;
    spec->serialNumber = sLE32(data + 4);
    spec->routerSerialNumber = spec->serialNumber;
    spec->moduleAddress = data[1];
    spec->routerAddress = data[1];
    spec->modelNumber = data[12];
    spec->transport.ip.address = sender;
    spec->transport.ip.port = uint32_t(data[2]) | uint32_t(data[3]) << 8;
    return vErrNone;
}

vErr vDiscovery_ParseLinkSpec(const uint8_t *data, size_t length, linkSpec *spec)
{
    if (!data || !spec)
        return vErrParam;
    if (length != sizeof(linkSpec))
        return vErrSize;
    memcpy(spec, data, sizeof *spec);
    // The serial port name is read as text later on.
    spec->transport.raw[sizeof spec->transport.raw - 1] = 0;
    return vErrNone;
}

int vDiscovery_EnumerateTCPIPModules(vDiscoveryCallback callback, void *reference, uint32_t interfaceAddress)
{
    if (!callback)
        return 0;
    if (interfaceAddress == sLoopback())
        interfaceAddress = 0;

    // The reply socket is open before any request leaves, so no early reply
    // is lost.
    Socket replies;
    bool open = replies.fd >= 0 && replies.reuse();
    if (open) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kReplyPort);
        local.sin_addr.s_addr = interfaceAddress ? interfaceAddress : htonl(INADDR_ANY);
        if (bind(replies.fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            vDefs_DebugPrintf(vDEBUG_MULTICAST, "bind() failed with error code %d \n", errno);
            open = false;
        }
    }

    int sent = 0;
    uint32_t interfaces[kMaxInterfaces];
    int count = interfaceAddress ? 0 : vDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
    if (interfaceAddress != 0 || count == 0) {
        sent += sSendRequest(interfaceAddress);
    } else {
        for (int i = 0; i < count; i++)
            if (interfaces[i] != sLoopback() && interfaces[i] != 0)
                sent += sSendRequest(interfaces[i]);
    }
    if (sent == 0 || !open)
        return 0;

    Reported reported;
    int accepted = 0;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kReplyCollectMaxMs);
    for (;;) {
        Clock::time_point wait = Clock::now() + std::chrono::milliseconds(kReplyWaitMs);
        if (!sWaitReadable(replies.fd, wait < end ? wait : end))
            break;
        uint8_t reply[kReplySize];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t got = recvfrom(replies.fd, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                               &fromLength);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            vDefs_DebugPrintf(vDEBUG_MULTICAST, "recvfrom() failed with error code %d\n", errno);
            break;
        }
        linkSpec spec;
        if (vDiscovery_ParseReply(reply, size_t(got), from.sin_addr.s_addr, &spec) != vErrNone)
            continue;
        // A device on a network the host reaches through two interfaces
        // answers both requests; it is still one module.
        if (!reported.isNew(spec))
            continue;
        reported.add(spec);
        if (!sOffer(callback, reference, spec, &accepted))
            break;
    }
    return accepted;
}

int vDiscovery_Enumerate_vEtherModules(vDiscoveryCallback callback, void *reference, uint32_t interfaceAddress)
{
    if (!callback)
        return 0;
    uint32_t interfaces[kMaxInterfaces];
    int accepted;
    if (interfaceAddress == 0 || interfaceAddress == sLoopback() ||
        vDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces) == 0) {
        accepted = sFindLocalServers(callback, reference);
    } else {
        char dotted[INET_ADDRSTRLEN];
        vDiscovery_ConvertIPv4Interface(interfaceAddress, dotted, sizeof dotted);
        vDefs_DebugPrintf(vDEBUG_DISCOVERY, "New Interface: %s\n", dotted);
        accepted = sFindBeaconServers(callback, reference, dotted);
    }
    vDefs_DebugPrintf(vDEBUG_DISCOVERY, "vDiscovery_Enumerate_vEtherModules found count: %d\n", accepted);
    return accepted;
}

int vDiscovery_EnumerateModules(uint32_t type, vDiscoveryCallback callback, void *reference, uint32_t interfaceAddress)
{
    if (!callback)
        return 0;
    switch (type) {
    case linkTypeUSB:
        return vDiscovery_EnumerateUSBModules(callback, reference);
    case linkTypeTCPIP:
        return vDiscovery_EnumerateTCPIPModules(callback, reference, interfaceAddress);
    case linkTypeClient:
    case linkTypeClientUSB:
    case linkTypeClientTCPIP:
    case linkTypeClientSerial:
        return vDiscovery_Enumerate_vEtherModules(callback, reference, interfaceAddress);
    default:
        return 0;
    }
}

linkSpec *vDiscovery_FindModule(uint32_t type, uint32_t serialNumber, uint32_t interfaceAddress)
{
    return sFind(type, false, serialNumber, interfaceAddress);
}

linkSpec *vDiscovery_FindFirstModule(uint32_t type, uint32_t interfaceAddress)
{
    return sFind(type, true, 0, interfaceAddress);
}

int vDiscovery_GetIPv4Interfaces(uint32_t *addresses, int capacity)
{
    if (!addresses || capacity <= 0)
        return 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    int count = 0;
    for (ifaddrs *i = list; i && count < capacity; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
            continue;
        addresses[count++] = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
        vDefs_DebugPrintf(vDEBUG_DISCOVERY, "Interface Found: %d\n", count);
    }
    freeifaddrs(list);
    vDefs_DebugPrintf(vDEBUG_DISCOVERY, "vDiscovery_GetIPv4Interfaces count: %d\n", count);
    return count;
}

int vDiscovery_ConvertIPv4Interface(uint32_t address, char *buffer, size_t size)
{
    if (!buffer || size < INET_ADDRSTRLEN)
        return 0;
    in_addr a{};
    a.s_addr = address;
    if (!inet_ntop(AF_INET, &a, buffer, socklen_t(size)))
        return 0;
    return int(strlen(buffer));
}
