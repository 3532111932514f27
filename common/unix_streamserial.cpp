// Serial line stream over termios: raw, reads return at once.
#include "common/vStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const uint16_t kSerialCheck = 0xBEEF;
const size_t kMaxPath = 4096;

struct SerialState {
    uint16_t check;
    int baudIndex;
    char path[kMaxPath + 1];
    int fd;
    termios saved;
    termios working;
    uint8_t rx[256];
    uint32_t rxCount;
    uint32_t rxPos;
};

SerialState *sState(void *ref)
{
    SerialState *s = static_cast<SerialState *>(ref);
    return (s != nullptr && s->check == kSerialCheck) ? s : nullptr;
}

speed_t sSpeed(int baudIndex)
{
    static const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    if (baudIndex < 0 || baudIndex > 7)
        return B0;
    return kSpeeds[baudIndex];
}

vErr sSerialGet(uint8_t *byte, void *ref)
{
    SerialState *s = sState(ref);
    if (s == nullptr || byte == nullptr)
        return vErrParam;
    if (s->rxPos >= s->rxCount) {
        ssize_t n;
        do {
            n = read(s->fd, s->rx, sizeof s->rx);
        } while (n < 0 && errno == EINTR);
        if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
            return vErrNotReady;
        if (n < 0)
            return vErrIO;
        s->rxCount = static_cast<uint32_t>(n);
        s->rxPos = 0;
    }
    *byte = s->rx[s->rxPos++];
    return vErrNone;
}

vErr sSerialWrite(const uint8_t *data, uint32_t length, void *ref)
{
    SerialState *s = sState(ref);
    if (s == nullptr || (data == nullptr && length > 0))
        return vErrParam;
    ssize_t n;
    do {
        n = write(s->fd, data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<uint32_t>(n) != length)
        return vErrIO;
    while (tcdrain(s->fd) != 0) {
        if (errno != EINTR)
            return vErrIO;
    }
    return vErrNone;
}

vErr sSerialPut(uint8_t byte, void *ref)
{
    return sSerialWrite(&byte, 1, ref);
}

void sSleepMs(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

vErr sSerialWait(uint32_t timeoutMs, void *ref)
{
    SerialState *s = sState(ref);
    if (s == nullptr)
        return vErrParam;
    if (s->rxPos < s->rxCount)
        return vErrNone;
    pollfd p{s->fd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(timeoutMs));
    if (rc <= 0)
        return vErrTimeout;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // A line that hung up stays "readable" for ever; pace the reader.
        sSleepMs(timeoutMs);
        return vErrTimeout;
    }
    return vErrNone;
}

vErr sSerialDelete(void *ref)
{
    SerialState *s = sState(ref);
    if (s == nullptr)
        return vErrParam;
    if (s->fd >= 0) {
        tcsetattr(s->fd, TCSANOW, &s->saved);
        close(s->fd);
        s->fd = -1;
    }
    s->check = 0;
    delete s;
    return vErrNone;
}

vErr sOpenError(int e)
{
    if (e == ENOENT || e == ENODEV || e == ENXIO)
        return vErrNotFound;
    if (e == EACCES || e == EPERM)
        return vErrPermission;
    return vErrIO;
}

// Opens and configures the line; on failure nothing is left open.
vErr sSerialOpen(const char *path, int baudIndex, int parity, int dataBits, int stopBits,
                 SerialState **out)
{
    *out = nullptr;
    if (path == nullptr || path[0] == '\0' || std::strlen(path) > kMaxPath)
        return vErrParam;
    if ((dataBits != 0 && dataBits != 1) || (stopBits != 0 && stopBits != 1))
        return vErrParam;
    SerialState *s = new (std::nothrow) SerialState();
    if (s == nullptr)
        return vErrMemory;
    s->check = kSerialCheck;
    s->baudIndex = baudIndex;
    std::strcpy(s->path, path);
    s->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s->fd < 0) {
        vErr err = sOpenError(errno);
        sSerialDelete(s);
        return err;
    }
    int fl = fcntl(s->fd, F_GETFL, 0);
    if (fl < 0 || fcntl(s->fd, F_SETFL, fl & ~O_NONBLOCK) != 0 || tcgetattr(s->fd, &s->saved) != 0) {
        close(s->fd);  // not a terminal: nothing to restore
        s->fd = -1;
        sSerialDelete(s);
        return vErrIO;
    }
    termios &t = s->working;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                (stopBits == 1 ? CSTOPB : 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = sSpeed(baudIndex);
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0 ||
        tcsetattr(s->fd, TCSANOW, &t) != 0) {
        sSerialDelete(s);
        return vErrIO;
    }
    tcflush(s->fd, TCIOFLUSH);
    *out = s;
    return vErrNone;
}

} // namespace

vErr vStream_CreateSerial(const char *path, int baudIndex, int parity, int dataBits, int stopBits,
                          vStream **stream)
{
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    SerialState *s = nullptr;
    vErr err = sSerialOpen(path, baudIndex, parity, dataBits, stopBits, &s);
    if (err != vErrNone)
        return err;
    vStream *made = vStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s);
    if (made == nullptr) {
        sSerialDelete(s);
        return vErrResource;
    }
    vStream_SetWaitOperation(made, sSerialWait);
    *stream = made;
    return vErrNone;
}

vErr vStream_CreateSerial_Packetized(const char *path, int baudIndex, int parity, int dataBits,
                                     int stopBits, vStream **stream)
{
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    SerialState *s = nullptr;
    vErr err = sSerialOpen(path, baudIndex, parity, dataBits, stopBits, &s);
    if (err != vErrNone)
        return err;
    err = vStream_CreateCobsEncodingWithWait(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete,
                                             sSerialWait, s, stream);
    if (err != vErrNone) {
        sSerialDelete(s);
        return vErrResource;
    }
    return vErrNone;
}
