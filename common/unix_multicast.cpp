// IPv4 multicast sockets over BSD sockets.
#include "common/vMulticast.h"
#include "common/vDefs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#define vVALIDMULTICAST 0x4D43

struct vMulticastRecord {
    uint16_t valid;
    int fd;
    bool sender;
    sockaddr_in group; // where a sender sends
};

namespace {

bool sValid(const vMulticast *socket) { return socket && socket->valid == vVALIDMULTICAST; }

bool sSetTimeout(int fd, int seconds)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0 || local.ss_family != AF_INET) {
        vDefs_DebugPrintf(vDEBUG_MULTICAST, "Attempting to set Timeout for invalid address family!");
        return false;
    }
    timeval tv{};
    tv.tv_sec = seconds;
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool sConfigure(int fd, in_addr interface, in_addr group)
{
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface = interface;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return false;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0)
        return false;
    unsigned char ttl = 1;
    unsigned char loop = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        return false;
    return sSetTimeout(fd, 1);
}

} // namespace

vMulticast *vMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, int sender)
{
    in_addr interface{};
    interface.s_addr = interfaceAddress ? interfaceAddress : htonl(INADDR_LOOPBACK);
    in_addr group{};
    group.s_addr = groupAddress;

    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    // Without address reuse a receiver's bind fails while another socket
    // holds the port: local server discovery relies on that.
    int off = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) {
        vDefs_DebugPrintf(vDEBUG_MULTICAST, "Failed to set reuse %d\n", errno);
        close(fd);
        return nullptr;
    }
    if (!sender) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            vDefs_DebugPrintf(vDEBUG_MULTICAST, "bind() failed with error code %d \n", errno);
            close(fd);
            return nullptr;
        }
    }
    if (!sConfigure(fd, interface, group)) {
        close(fd);
        return nullptr;
    }
    vMulticast *m = new (std::nothrow) vMulticast();
    if (!m) {
        close(fd);
        return nullptr;
    }
    m->valid = vVALIDMULTICAST;
    m->fd = fd;
    m->sender = sender != 0;
    m->group.sin_family = AF_INET;
    m->group.sin_addr = group;
    m->group.sin_port = htons(port);
    return m;
}

int vMulticast_Send(vMulticast *socket, const void *data, size_t length)
{
    if (!sValid(socket))
        return -2;
    if (!socket->sender)
        return -3;
    ssize_t sent;
    do {
        sent = sendto(socket->fd, data, length, 0, reinterpret_cast<const sockaddr *>(&socket->group),
                      sizeof socket->group);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        vDefs_DebugPrintf(vDEBUG_MULTICAST, "sendto() failed with error code %d\n", errno);
    return static_cast<int>(sent);
}

int vMulticast_Receive(vMulticast *socket, void *buffer, size_t size)
{
    if (!sValid(socket))
        return -2;
    if (socket->sender)
        return -3;
    ssize_t got;
    do {
        got = recvfrom(socket->fd, buffer, size, 0, nullptr, nullptr);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            vDefs_DebugPrintf(vDEBUG_MULTICAST, "recvfrom() failed with error code %d\n", errno);
        return -1;
    }
    return static_cast<int>(got);
}

int vMulticast_Destroy(vMulticast **socket)
{
    if (!socket || !sValid(*socket))
        return -2;
    vMulticast *m = *socket;
    close(m->fd);
    m->valid = 0;
    delete m;
    *socket = nullptr;
    return 0;
}
