// USB stream: the stream operations over a USB driver handle.
#include "common/cvusb_driver.h"
#include "common/vDefs.h"
#include "common/vStreamUSB.h"
#include "common/vTime.h"

#include <cstdio>
#include <new>

#define vVALIDUSBSTREAM 0xDEAD
// A read that came back without waiting (a stall, a tolerated error) is
// followed by this pause before the next one, so a device that keeps failing
// fast does not spin the reader.
#define USB_FAST_RETRY_PAUSE_MS 10
#define USB_FAST_READ_MS 5

namespace {

struct UsbStreamState {
    uint16_t check;
    uint32_t serial;
    cvusb_device *device;
    // Reader-side only: whether the last empty read returned at once.
    bool lastReadFast;
};

UsbStreamState *sState(void *ref)
{
    UsbStreamState *s = static_cast<UsbStreamState *>(ref);
    return s && s->check == vVALIDUSBSTREAM ? s : nullptr;
}

vErr sGet(uint8_t *byte, void *ref)
{
    UsbStreamState *s = sState(ref);
    if (!s)
        return vErrParam;
    uint32_t start = vTime_GetMSTicks();
    vErr r = cvusb_get_from_device(s->device, byte);
    if (r == vErrNotReady)
        s->lastReadFast = vTime_GetMSTicks() - start < USB_FAST_READ_MS;
    return r;
}

vErr sPut(uint8_t byte, void *ref)
{
    UsbStreamState *s = sState(ref);
    if (!s)
        return vErrParam;
    return cvusb_write_to_device(s->device, &byte, 1);
}

vErr sWrite(const uint8_t *data, uint32_t length, void *ref)
{
    UsbStreamState *s = sState(ref);
    if (!s)
        return vErrParam;
    return cvusb_write_to_device(s->device, data, length);
}

// The driver's read already waits for the device (up to its IN time-out), so
// after an empty read there is nothing more to wait for.
vErr sWait(uint32_t timeoutMs, void *ref)
{
    UsbStreamState *s = sState(ref);
    if (!s)
        return vErrParam;
    if (s->lastReadFast) {
        s->lastReadFast = false;
        vTime_MSSleep(timeoutMs < USB_FAST_RETRY_PAUSE_MS ? timeoutMs : USB_FAST_RETRY_PAUSE_MS);
    }
    return vErrTimeout;
}

vErr sDelete(void *ref)
{
    UsbStreamState *s = sState(ref);
    if (!s)
        return vErrParam;
    cvusb_close_corvantis_device(s->device);
    vErr r = cvusb_destroy(&s->device);
    s->check = 0;
    delete s;
    return r;
}

} // namespace

vErr vStream_CreateUSB(uint32_t serial, vStream **stream)
{
    if (!stream)
        return vErrParam;
    *stream = nullptr;
    UsbStreamState *s = new (std::nothrow) UsbStreamState();
    if (!s)
        return vErrMemory;
    s->check = vVALIDUSBSTREAM;
    s->serial = serial;
    s->lastReadFast = false;
    bool kernel = cvusb_is_kernel_driver_installed(serial);
    s->device = cvusb_create_usb(kernel ? 0 : 1);
    if (!s->device) {
        delete s;
        return vErrResource;
    }
    vErr r = cvusb_open_corvantis_device(s->device, vDefs_SerialText(serial).c_str());
    if (r != vErrNone) {
        cvusb_destroy(&s->device);
        delete s;
        return r;
    }
    vStream *made = vStream_Create(sGet, sPut, sWrite, sDelete, s);
    if (!made) {
        sDelete(s);
        return vErrResource;
    }
    vStream_SetWaitOperation(made, sWait);
    *stream = made;
    return vErrNone;
}
