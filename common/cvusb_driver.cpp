// USB driver: the libusb path and the kernel node path behind one handle.
#include "common/cvusb_driver.h"
#include "common/cvusb_private.h"
#include "common/vDefs.h"

#include <libusb.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#define CVUSB_SERIAL_TEXT_SIZE 9
#define CVUSB_STRING_MAX 256
// Transfers that may fail during one write before it gives up.
#define CVUSB_WRITE_FAILURES_MAX 10
// I/O errors in a row that are tolerated before the handle fails.
#define CVUSB_TOLERATED_IO_ERRORS 4
#define CVUSB_KERNEL_WRITE_CALLS_MAX 1000

struct cvusb_device {
    int useLibusb;
    char serial[CVUSB_SERIAL_TEXT_SIZE];
    libusb_device_handle *handle;
    // Written by whichever pipe thread hits an error, read by both.
    std::atomic<int> state;
    int interfaceNumber;
    uint8_t outEndpoint, inEndpoint;
    uint16_t outMaxPacket, inMaxPacket;
    // Touched only by the reading thread.
    uint8_t readBuffer[CVUSB_READ_BUFFER_SIZE];
    uint32_t readPosition, readAvailable;
    std::atomic<int> errorCount;
    int descriptor;
    cvusb_transfer_ops ops;
};

namespace {

std::mutex gContextMutex;
libusb_context *gContext = nullptr;

int sLibusbBulk(void *ref, uint8_t endpoint, uint8_t *data, int length, int *transferred, unsigned int timeoutMs)
{
    cvusb_device *d = static_cast<cvusb_device *>(ref);
    return libusb_bulk_transfer(d->handle, endpoint, data, length, transferred, timeoutMs);
}

int sLibusbClearHalt(void *ref, uint8_t endpoint)
{
    cvusb_device *d = static_cast<cvusb_device *>(ref);
    return libusb_clear_halt(d->handle, endpoint);
}

void sForgetEndpoints(cvusb_device *d)
{
    d->interfaceNumber = 0;
    d->outEndpoint = d->inEndpoint = 0;
    d->outMaxPacket = d->inMaxPacket = 0;
    d->readPosition = d->readAvailable = 0;
}

// A state that is not ready, as a read or write result.
vErr sStateError(int state)
{
    switch (state) {
    case CVUSB_STATE_CLOSED:
        return vErrConnection;
    case CVUSB_STATE_CREATED:
    case CVUSB_STATE_OPENED:
        return vErrNotReady;
    default:
        return vErrIO;
    }
}

// Tolerates a few I/O errors in a row (a transfer now and then fails on a busy
// bus); the fifth in a row fails the handle. A tolerated error of a read
// delivers no byte, so it is reported as "nothing yet" rather than as a byte.
vErr sTolerate(cvusb_device *d, vErr result, bool reading)
{
    if (result != vErrIO) {
        d->errorCount.store(0);
        return result;
    }
    // The count saturates: it must not wrap round into tolerating again.
    int before = d->errorCount.load();
    while (!d->errorCount.compare_exchange_weak(before, before < 255 ? before + 1 : before)) {
    }
    if (before < CVUSB_TOLERATED_IO_ERRORS)
        return reading ? vErrNotReady : vErrNone;
    if (before == CVUSB_TOLERATED_IO_ERRORS) {
        d->state.store(CVUSB_STATE_FAILED);
        vDefs_DebugPrintf(vDEBUG_USB, "cvusb(%s): failed after repeated I/O errors\n", d->serial);
    }
    return vErrIO;
}

vErr sClaimError(int rc)
{
    switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return vErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return vErrPermission;
    default:
        return vErrUnknown;
    }
}

// The device found by serial: endpoints, then the claim.
vErr sPrepareMatch(cvusb_device *d, libusb_device *dev)
{
    libusb_config_descriptor *config = nullptr;
    cvusb_link_interface link = {};
    if (libusb_get_config_descriptor(dev, 0, &config) == 0) {
        cvusb_find_link_interface(config, &link);
        libusb_free_config_descriptor(config);
    }
    if (link.inEndpoint == 0 || link.outEndpoint == 0) {
        vDefs_DebugPrintf(vDEBUG_USB, "cvusb(%s): link interface lacks an endpoint\n", d->serial);
        return vErrConfiguration;
    }
    d->interfaceNumber = link.interfaceNumber;
    d->outEndpoint = link.outEndpoint;
    d->inEndpoint = link.inEndpoint;
    d->outMaxPacket = link.outMaxPacket;
    d->inMaxPacket = link.inMaxPacket;
    int rc = libusb_claim_interface(d->handle, d->interfaceNumber);
    if (rc != 0) {
        vDefs_DebugPrintf(vDEBUG_USB, "cvusb(%s): claim failed: %s\n", d->serial, libusb_error_name(rc));
        return sClaimError(rc);
    }
    d->readPosition = d->readAvailable = 0;
    d->errorCount.store(0);
    d->state.store(CVUSB_STATE_READY);
    return vErrNone;
}

vErr sOpenLibusb(cvusb_device *d)
{
    libusb_context *ctx = Corvantis_libusb_context();
    if (!ctx)
        return vErrResource;
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0)
        return vErrNotFound;
    vErr result = vErrNotFound;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0 ||
            !cvusb_is_family_device(desc.idVendor, desc.idProduct))
            continue;
        libusb_device_handle *h = nullptr;
        if (libusb_open(list[i], &h) != 0)
            continue;
        unsigned char text[CVUSB_STRING_MAX] = {};
        int n = desc.iSerialNumber ? libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text) : -1;
        if (n < 0 || size_t(n) != strlen(d->serial) || memcmp(text, d->serial, size_t(n)) != 0) {
            libusb_close(h);
            continue;
        }
        d->handle = h;
        d->state.store(CVUSB_STATE_OPENED);
        result = sPrepareMatch(d, list[i]);
        if (result != vErrNone) {
            libusb_close(d->handle);
            d->handle = nullptr;
            sForgetEndpoints(d);
            d->state.store(CVUSB_STATE_CLOSED);
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

vErr sOpenKernel(cvusb_device *d)
{
    char path[64];
    snprintf(path, sizeof path, "/dev/corvantis.%s", d->serial);
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        d->state.store(CVUSB_STATE_CLOSED);
        return errno == EBUSY ? vErrBusy : vErrIO;
    }
    d->descriptor = fd;
    d->state.store(CVUSB_STATE_READY);
    return vErrNone;
}

vErr sWriteLibusb(cvusb_device *d, const uint8_t *data, uint32_t length)
{
    int state = d->state.load();
    if (state != CVUSB_STATE_READY)
        return sStateError(state);
    uint32_t sent = 0;
    int failures = 0;
    // The endpoint's packet size bounds a chunk; a chunk of exactly 512 bytes
    // is cut to 511 so that no transfer ends on a full high-speed packet
    // (which would need a zero-length packet to end it).
    uint32_t packet = d->outMaxPacket ? d->outMaxPacket : 64;
    while (sent < length && failures < CVUSB_WRITE_FAILURES_MAX) {
        uint32_t chunk = length - sent < packet ? length - sent : packet;
        if (chunk == 512)
            chunk = 511;
        int done = 0;
        int rc = d->ops.bulk(d->ops.ref, d->outEndpoint, const_cast<uint8_t *>(data + sent), int(chunk), &done,
                             CVUSB_OUT_TIMEOUT_MS);
        // Bytes a timed-out transfer did send are not sent again.
        if (done > 0)
            sent += uint32_t(done) < chunk ? uint32_t(done) : chunk;
        if (rc == 0)
            continue;
        failures++;
        if (rc == LIBUSB_ERROR_PIPE && d->ops.clear_halt(d->ops.ref, d->outEndpoint) != 0)
            return vErrIO;
    }
    return sent < length ? vErrWrite : vErrNone;
}

vErr sReadLibusb(cvusb_device *d, uint8_t *byte)
{
    if (d->readAvailable == 0) {
        int state = d->state.load();
        if (state != CVUSB_STATE_READY)
            return sStateError(state);
        int got = 0;
        int rc = d->ops.bulk(d->ops.ref, d->inEndpoint, d->readBuffer, CVUSB_READ_BUFFER_SIZE, &got,
                             CVUSB_IN_TIMEOUT_MS);
        if (got < 0 || got > CVUSB_READ_BUFFER_SIZE)
            got = 0;
        if (rc == LIBUSB_ERROR_PIPE) {
            d->ops.clear_halt(d->ops.ref, d->inEndpoint);
            return vErrNotReady;
        }
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT)
            return vErrIO;
        // An empty transfer (or a time-out with nothing) delivers no byte.
        if (got == 0)
            return vErrNotReady;
        d->readPosition = 0;
        d->readAvailable = uint32_t(got);
    }
    *byte = d->readBuffer[d->readPosition++];
    d->readAvailable--;
    return vErrNone;
}

vErr sWriteKernel(cvusb_device *d, const uint8_t *data, uint32_t length)
{
    if (d->descriptor < 0)
        return sStateError(d->state.load());
    uint32_t sent = 0;
    for (int calls = 0; sent < length && calls < CVUSB_KERNEL_WRITE_CALLS_MAX; calls++) {
        ssize_t n = write(d->descriptor, data + sent, length - sent);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return vErrIO;
        }
        sent += uint32_t(n);
    }
    return sent < length ? vErrIO : vErrNone;
}

vErr sReadKernel(cvusb_device *d, uint8_t *byte)
{
    if (d->descriptor < 0)
        return sStateError(d->state.load());
    // The kernel driver bounds its reads: nothing within its time-out reads
    // as 0 bytes.
    ssize_t n = read(d->descriptor, byte, 1);
    if (n == 1)
        return vErrNone;
    if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return vErrNotReady;
    return vErrIO;
}

} // namespace

libusb_context *Corvantis_libusb_context(void)
{
    std::lock_guard<std::mutex> hold(gContextMutex);
    if (!gContext) {
        libusb_context *ctx = nullptr;
        if (libusb_init(&ctx) != 0)
            return nullptr;
        gContext = ctx;
    }
    return gContext;
}

libusb_context *Corvantis_libusb_init(void)
{
    return Corvantis_libusb_context();
}

void Corvantis_libusb_exit(void)
{
    std::lock_guard<std::mutex> hold(gContextMutex);
    if (gContext) {
        libusb_exit(gContext);
        gContext = nullptr;
    }
}

bool cvusb_is_family_device(uint16_t vendorId, uint16_t productId)
{
    return vendorId == CVUSB_VENDOR_ID && productId >= CVUSB_PRODUCT_ID_MIN;
}

bool cvusb_find_link_interface(const libusb_config_descriptor *config, cvusb_link_interface *found)
{
    if (!config || !found)
        return false;
    *found = cvusb_link_interface{};
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const libusb_interface &iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting; a++) {
            const libusb_interface_descriptor &alt = iface.altsetting[a];
            if (alt.bInterfaceClass != CVUSB_INTERFACE_CLASS || alt.bInterfaceSubClass != CVUSB_INTERFACE_SUBCLASS ||
                alt.bInterfaceProtocol != CVUSB_INTERFACE_PROTOCOL)
                continue;
            found->interfaceNumber = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; e++) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x2) == 0)
                    continue; // control or isochronous
                if (ep.bEndpointAddress & 0x80) {
                    if (!found->inEndpoint) {
                        found->inEndpoint = ep.bEndpointAddress;
                        found->inMaxPacket = ep.wMaxPacketSize;
                    }
                } else if (!found->outEndpoint) {
                    found->outEndpoint = ep.bEndpointAddress;
                    found->outMaxPacket = ep.wMaxPacketSize;
                }
            }
            return true;
        }
    }
    return false;
}

bool cvusb_is_kernel_driver_installed(uint32_t serial)
{
    char path[64];
    snprintf(path, sizeof path, CVUSB_KERNEL_NODE_FORMAT, serial);
    struct stat st;
    return stat(path, &st) == 0;
}

cvusb_device *cvusb_create_usb(int useLibusb)
{
    cvusb_device *d = new (std::nothrow) cvusb_device();
    if (!d)
        return nullptr;
    d->useLibusb = useLibusb ? 1 : 0;
    d->handle = nullptr;
    d->state.store(CVUSB_STATE_CREATED);
    d->errorCount.store(0);
    d->descriptor = -1;
    d->ops = cvusb_transfer_ops{sLibusbBulk, sLibusbClearHalt, d};
    sForgetEndpoints(d);
    if (d->useLibusb)
        Corvantis_libusb_context();
    return d;
}

vErr cvusb_attach_transfer_ops(cvusb_device *device, const cvusb_transfer_ops *ops, const cvusb_link_interface *link)
{
    if (!device || !ops || !link)
        return vErrParam;
    if (!device->useLibusb)
        return vErrMode;
    device->ops = *ops;
    device->interfaceNumber = link->interfaceNumber;
    device->outEndpoint = link->outEndpoint;
    device->inEndpoint = link->inEndpoint;
    device->outMaxPacket = link->outMaxPacket;
    device->inMaxPacket = link->inMaxPacket;
    device->readPosition = device->readAvailable = 0;
    device->errorCount.store(0);
    device->state.store(CVUSB_STATE_READY);
    return vErrNone;
}

int cvusb_get_error_count(const cvusb_device *device)
{
    return device ? device->errorCount.load() : 0;
}

int cvusb_get_state(const cvusb_device *device)
{
    return device ? device->state.load() : 0;
}

vErr cvusb_open_corvantis_device(cvusb_device *device, const char *serialText)
{
    if (!device || !serialText || strlen(serialText) >= CVUSB_SERIAL_TEXT_SIZE)
        return vErrParam;
    if (device->state.load() == 0)
        return vErrResource;
    snprintf(device->serial, sizeof device->serial, "%s", serialText);
    return device->useLibusb ? sOpenLibusb(device) : sOpenKernel(device);
}

vErr cvusb_write_to_device(cvusb_device *device, const uint8_t *data, uint32_t length)
{
    if (!device || (!data && length))
        return vErrParam;
    if (!device->useLibusb)
        return sWriteKernel(device, data, length);
    return sTolerate(device, sWriteLibusb(device, data, length), false);
}

vErr cvusb_get_from_device(cvusb_device *device, uint8_t *byte)
{
    if (!device || !byte)
        return vErrParam;
    if (!device->useLibusb)
        return sReadKernel(device, byte);
    return sTolerate(device, sReadLibusb(device, byte), true);
}

vErr cvusb_close_corvantis_device(cvusb_device *device)
{
    if (!device)
        return vErrParam;
    if (!device->useLibusb) {
        if (device->descriptor < 0)
            return vErrNone;
        int rc = close(device->descriptor);
        device->descriptor = -1;
        device->state.store(CVUSB_STATE_CLOSED);
        return rc == 0 ? vErrNone : vErrCancel;
    }
    if (!device->handle) {
        // A handle made ready over replaced transfers has no device to close.
        if (device->state.load() == CVUSB_STATE_READY || device->state.load() == CVUSB_STATE_FAILED) {
            device->state.store(CVUSB_STATE_CLOSED);
            sForgetEndpoints(device);
            return vErrNone;
        }
        return vErrMode;
    }
    libusb_release_interface(device->handle, device->interfaceNumber);
    libusb_close(device->handle);
    device->handle = nullptr;
    device->state.store(CVUSB_STATE_CLOSED);
    sForgetEndpoints(device);
    return vErrNone;
}

vErr cvusb_destroy(cvusb_device **device)
{
    if (!device || !*device)
        return vErrParam;
    cvusb_device *d = *device;
    if (d->useLibusb && d->handle)
        cvusb_close_corvantis_device(d);
    if (!d->useLibusb && d->descriptor >= 0)
        close(d->descriptor);
    delete d;
    *device = nullptr;
    return vErrNone;
}
