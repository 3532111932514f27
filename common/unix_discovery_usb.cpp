// USB enumeration of the family's devices into link specifiers.
#include "common/cvusb_driver.h"
#include "common/vDefs.h"
#include "common/vDiscovery.h"

#include <libusb.h>

#include <cstring>

#define USB_SERIAL_STRING_MAX 32
#define USB_SERIAL_LENGTH 8

namespace {

// Exactly eight hexadecimal digits, nothing else.
bool sParseSerial(const unsigned char *text, int length, uint32_t *serial)
{
    if (length != USB_SERIAL_LENGTH)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < length; i++) {
        unsigned char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return false;
        value = value << 4 | digit;
    }
    *serial = value;
    return true;
}

} // namespace

int vDiscovery_EnumerateUSBModules(vDiscoveryCallback callback, void *reference)
{
    if (!callback)
        return 0;
    libusb_context *ctx = Corvantis_libusb_context();
    if (!ctx)
        return 0;
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0)
        return 0;
    int accepted = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; i++) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0 || !cvusb_is_family_device(desc.idVendor, desc.idProduct))
            continue;
        libusb_device_handle *handle = nullptr;
        if (libusb_open(list[i], &handle) != 0)
            continue;
        unsigned char text[USB_SERIAL_STRING_MAX + 1] = {};
        int n = desc.iSerialNumber
                    ? libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, USB_SERIAL_STRING_MAX)
                    : -1;
        uint32_t serial = 0;
        if (sParseSerial(text, n, &serial)) {
            linkSpec spec;
            memset(&spec, 0, sizeof spec);
            spec.type = linkTypeUSB;
            spec.serialNumber = serial;
            spec.modelNumber = desc.idProduct & 0xFF;
            spec.transport.usb.identifier = serial;
            int found = 0;
            goOn = callback(&spec, &found, reference) != 0;
            if (found)
                accepted++;
            vDefs_DebugPrintf(vDEBUG_USB, "USB module: SN: 0x%08X - Model: %u\n", serial, spec.modelNumber);
        }
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return accepted;
}
