// TCP client stream. Non-blocking socket; reads are served from a small
// receive buffer so the link engine's one-byte reads cost no system call each.
// A link reads on one thread and writes on another, and either may reconnect:
// the connection state (descriptor, flags) changes only under the state's lock.
#include "common/vStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

const uint16_t kSocketCheck = 0xDEAD;
const uint32_t kConnected = 0x1;
const int kMaxWriteRetries = 10;
const int kRetryWaitMs = 60;
const int kCloseWaitMs = 10;

struct SocketState {
    uint16_t check;
    uint16_t port;
    sockaddr_in address;
    bool hasAddress;  // false for a descriptor handed in by the caller
    int fd;
    uint32_t flags;
    std::mutex lock;  // guards fd and flags
    uint8_t rx[512];  // reader only
    uint32_t rxCount;
    uint32_t rxPos;
};

void sSleepMs(int ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

SocketState *sState(void *ref)
{
    SocketState *s = static_cast<SocketState *>(ref);
    return (s != nullptr && s->check == kSocketCheck) ? s : nullptr;
}

vErr sApplyOptions(int fd)
{
    int on = 1;
    timeval noTimeout{0, 0};
    linger lg{1, 0};  // close resets the connection
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return vErrIO;
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0)
        return vErrIO;
    return vErrNone;
}

void sClose(SocketState *s)
{
    s->flags &= ~kConnected;
    if (s->fd >= 0) {
        close(s->fd);
        s->fd = -1;
        sSleepMs(kCloseWaitMs);
    }
}

vErr sOpen(SocketState *s)
{
    if (!s->hasAddress)
        return vErrConnection;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return vErrIO;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr *>(&s->address), sizeof s->address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int e = errno;
        close(fd);
        if (e == ECONNREFUSED || e == ECONNRESET || e == ETIMEDOUT || e == EWOULDBLOCK ||
            e == EAGAIN || e == EINPROGRESS || e == ENETUNREACH || e == EHOSTUNREACH)
            return vErrConnection;
        return vErrIO;
    }
    vErr err = sApplyOptions(fd);
    if (err != vErrNone) {
        close(fd);
        return err;
    }
    s->fd = fd;
    s->flags |= kConnected;
    return vErrNone;
}

vErr sReconnect(SocketState *s)
{
    sClose(s);
    return sOpen(s);
}

// Takes what the socket holds into the receive buffer, without waiting;
// returns recv()'s result with errno intact.
ssize_t sRecv(SocketState *s)
{
    ssize_t n;
    do {
        n = recv(s->fd, s->rx, sizeof s->rx, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        s->rxCount = static_cast<uint32_t>(n);
        s->rxPos = 0;
    }
    return n;
}

bool sWouldBlock(ssize_t n)
{
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// An orderly end (0) is a dead connection just like a reset: reading on would
// report "not ready" forever while the link looked alive.
bool sDead(ssize_t n)
{
    return n == 0 || (n < 0 && (errno == ECONNRESET || errno == ENOTCONN || errno == ETIMEDOUT));
}

// Refills the receive buffer. A dead connection is reconnected once; when that
// fails its error is returned and the stream stays disconnected.
vErr sFill(SocketState *s)
{
    ssize_t n = sRecv(s);
    if (n > 0)
        return vErrNone;
    if (sWouldBlock(n))
        return vErrNotReady;
    if (!sDead(n))
        return vErrConnection;
    vErr err = sReconnect(s);
    if (err != vErrNone)
        return err;
    n = sRecv(s);
    if (n > 0)
        return vErrNone;
    if (sWouldBlock(n))
        return vErrNotReady;
    return vErrConnection;
}

vErr sSocketGet(uint8_t *byte, void *ref)
{
    SocketState *s = sState(ref);
    if (s == nullptr || byte == nullptr)
        return vErrParam;
    if (s->rxPos >= s->rxCount) {
        std::lock_guard<std::mutex> hold(s->lock);
        if (!(s->flags & kConnected))
            return vErrConnection;
        vErr err = sFill(s);
        if (err != vErrNone)
            return err;
    }
    *byte = s->rx[s->rxPos++];
    return vErrNone;
}

// Waits up to the retry pause for room in the send buffer (or a failure).
void sAwaitRoom(SocketState *s)
{
    int fd;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        fd = s->fd;
    }
    pollfd p{fd, POLLOUT, 0};
    if (fd < 0 || poll(&p, 1, kRetryWaitMs) < 0)
        sSleepMs(kRetryWaitMs);
}

vErr sSocketWrite(const uint8_t *data, uint32_t length, void *ref)
{
    SocketState *s = sState(ref);
    if (s == nullptr || (data == nullptr && length > 0))
        return vErrParam;
    uint32_t sent = 0;
    int retries = 0;
    while (sent < length) {
        ssize_t n;
        int e;
        {
            std::lock_guard<std::mutex> hold(s->lock);
            if (!(s->flags & kConnected))
                return vErrConnection;  // dropped for good; vLink_Reset rebuilds the stream
            do {
                n = send(s->fd, data + sent, length - sent, MSG_NOSIGNAL);
            } while (n < 0 && errno == EINTR);
            e = errno;
            if (n < 0 && (e == EPIPE || e == ECONNRESET || e == ENOTCONN)) {
                vErr err = sReconnect(s);
                if (err != vErrNone)
                    return err;
            }
        }
        if (n < 0) {
            if (e == EAGAIN || e == EWOULDBLOCK) {
                // No room: wait for it rather than a fixed pause.
                if (++retries > kMaxWriteRetries)
                    return vErrIO;
                sAwaitRoom(s);
                continue;
            }
            if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
                if (++retries > kMaxWriteRetries)
                    return vErrIO;
                sSleepMs(kRetryWaitMs);
                continue;
            }
            return vErrIO;
        }
        sent += static_cast<uint32_t>(n);
        if (sent < length) {
            // Partial send: the send buffer is full; wait until it drains.
            retries = 1;
            sAwaitRoom(s);
        }
    }
    return vErrNone;
}

vErr sSocketPut(uint8_t byte, void *ref)
{
    return sSocketWrite(&byte, 1, ref);
}

vErr sSocketWait(uint32_t timeoutMs, void *ref)
{
    SocketState *s = sState(ref);
    if (s == nullptr)
        return vErrParam;
    if (s->rxPos < s->rxCount)
        return vErrNone;
    int fd;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        fd = (s->flags & kConnected) ? s->fd : -1;
    }
    if (fd < 0) {
        // Nothing can arrive; pace the caller instead of letting it spin.
        sSleepMs(static_cast<int>(timeoutMs));
        return vErrTimeout;
    }
    pollfd p{fd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(timeoutMs));
    if (rc > 0)
        return vErrNone;  // readable, hung up or failed: the next read tells which
    return vErrTimeout;
}

vErr sSocketDelete(void *ref)
{
    SocketState *s = sState(ref);
    if (s == nullptr)
        return vErrParam;
    s->flags &= ~kConnected;
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
    s->check = 0;
    delete s;
    return vErrNone;
}

vErr sMakeStream(SocketState *s, vStream **stream)
{
    vStream *made = vStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
    if (made == nullptr) {
        sSocketDelete(s);
        return vErrResource;
    }
    vStream_SetWaitOperation(made, sSocketWait);
    *stream = made;
    return vErrNone;
}

} // namespace

vErr vStream_CreateSocket(uint32_t address, uint16_t port, vStream **stream)
{
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    SocketState *s = new (std::nothrow) SocketState();
    if (s == nullptr)
        return vErrResource;
    s->check = kSocketCheck;
    s->port = port;
    std::memset(&s->address, 0, sizeof s->address);
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    s->hasAddress = true;
    s->fd = -1;
    s->flags = 0;
    if (sOpen(s) != vErrNone) {
        sSocketDelete(s);
        return vErrResource;
    }
    return sMakeStream(s, stream);
}

vErr vStream_CreateSocketFromDescriptor(int fd, vStream **stream)
{
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    if (fd < 0)
        return vErrParam;
    SocketState *s = new (std::nothrow) SocketState();
    if (s == nullptr)
        return vErrResource;
    s->check = kSocketCheck;
    s->hasAddress = false;
    s->fd = fd;
    // Descriptors from socketpair() have no TCP options; only blocking mode matters.
    int fl = fcntl(fd, F_GETFL, 0);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) {
        sSocketDelete(s);
        return vErrResource;
    }
    s->flags = kConnected;
    return sMakeStream(s, stream);
}
