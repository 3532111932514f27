// The USB byte stream: link bytes over the USB driver (libusb, or the kernel
// driver's node when it is installed).
#pragma once

#include "common/vStream.h"

#include <cstdint>

// Stream to the device whose serial number is serial ("%08X" on the bus).
// vErrParam for a null out pointer, vErrMemory without memory, vErrResource
// when the driver handle or the stream cannot be made, otherwise the driver's
// open error (vErrNotFound, vErrBusy, vErrConfiguration, ...). On failure
// *stream is null.
vErr vStream_CreateUSB(uint32_t serial, vStream **stream);
