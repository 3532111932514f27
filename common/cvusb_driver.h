// USB driver for the family's link interface: one vendor-specific interface
// with a bulk OUT and a bulk IN endpoint, reached either through libusb or
// through the family's kernel driver, which offers one character device per
// device ("/dev/corvantis.%08X" by serial number).
//
// The driver also owns the process-wide libusb context that USB discovery
// shares.
#pragma once

#include "common/vError.h"

#include <cstdint>

struct libusb_context;
struct libusb_config_descriptor;

// Identity of a family device: the maker's vendor ID and a product ID with bit
// 15 set; the low byte of the product ID is the model number.
#define CVUSB_VENDOR_ID 0x3A47
#define CVUSB_PRODUCT_ID_MIN 0x8000
// The link interface.
#define CVUSB_INTERFACE_CLASS 255
#define CVUSB_INTERFACE_SUBCLASS 0x88
#define CVUSB_INTERFACE_PROTOCOL 0x10

// Transfer sizes and time-outs.
#define CVUSB_READ_BUFFER_SIZE 1024
#define CVUSB_OUT_TIMEOUT_MS 50
#define CVUSB_IN_TIMEOUT_MS 1000
// Printf format of the kernel driver's device node.
#define CVUSB_KERNEL_NODE_FORMAT "/dev/corvantis.%08X"

// Handle states.
enum {
    CVUSB_STATE_CREATED = 1,
    CVUSB_STATE_CLOSED = 2,
    CVUSB_STATE_OPENED = 3,
    CVUSB_STATE_READY = 4,
    CVUSB_STATE_FAILED = 5,
};

typedef struct cvusb_device cvusb_device;

// The shared libusb context, created with libusb_init on first use (null when
// that fails). Both names are the same call.
libusb_context *Corvantis_libusb_context(void);
libusb_context *Corvantis_libusb_init(void);
// libusb_exit of the shared context; the next use creates a new one.
void Corvantis_libusb_exit(void);

// True for the family's vendor ID with a product ID of 0x8000 or above.
bool cvusb_is_family_device(uint16_t vendorId, uint16_t productId);

// The link interface of a configuration: the first interface or alternate
// setting with the family's class, subclass and protocol, and its first bulk
// or interrupt endpoint in each direction (0 when missing). Returns false
// when no interface matches.
struct cvusb_link_interface {
    int interfaceNumber;
    uint8_t outEndpoint, inEndpoint;
    uint16_t outMaxPacket, inMaxPacket;
};
bool cvusb_find_link_interface(const libusb_config_descriptor *config, cvusb_link_interface *found);

// True when the kernel driver's node for the serial number exists.
bool cvusb_is_kernel_driver_installed(uint32_t serial);

// New handle in state 1, for libusb (useLibusb non-zero; makes sure the shared
// context exists) or for the kernel node. Null when memory runs out.
cvusb_device *cvusb_create_usb(int useLibusb);
// Opens the device whose serial string is serialText (eight upper-case hex
// digits) by the handle's path. libusb path: vErrNotFound when no attached
// family device has that serial, vErrConfiguration when its link interface
// lacks an endpoint, vErrBusy / vErrPermission / vErrUnknown when the claim
// fails. Kernel path: vErrBusy or vErrIO.
vErr cvusb_open_corvantis_device(cvusb_device *device, const char *serialText);
// Writes all bytes (libusb: chunks of the OUT packet size, 512 cut to 511).
vErr cvusb_write_to_device(cvusb_device *device, const uint8_t *data, uint32_t length);
// Delivers one byte. vErrNotReady when none arrived within the IN time-out.
vErr cvusb_get_from_device(cvusb_device *device, uint8_t *byte);
vErr cvusb_close_corvantis_device(cvusb_device *device);
// Closes a libusb handle still open, frees the handle, nulls *device.
vErr cvusb_destroy(cvusb_device **device);

// State of a handle (0 for null).
int cvusb_get_state(const cvusb_device *device);
