// Inside view of the USB driver for its tests: the bulk transfer and clear
// halt calls of a ready libusb handle can be replaced, so the chunking,
// stall and error rules run without a device.
#pragma once

#include "common/cvusb_driver.h"

struct cvusb_transfer_ops {
    // Same results as libusb_bulk_transfer and libusb_clear_halt.
    int (*bulk)(void *ref, uint8_t endpoint, uint8_t *data, int length, int *transferred, unsigned int timeoutMs);
    int (*clear_halt)(void *ref, uint8_t endpoint);
    void *ref;
};

// Makes a libusb-path handle in state 1 ready (state 4) over ops and the given
// endpoints, without a libusb device. vErrMode for a kernel-path handle.
vErr cvusb_attach_transfer_ops(cvusb_device *device, const cvusb_transfer_ops *ops,
                               const cvusb_link_interface *link);
// Consecutive I/O error count of a handle.
int cvusb_get_error_count(const cvusb_device *device);
