// Device discovery: each module found is described by a linkSpec and offered
// to the caller's callback.
#pragma once

#include "common/vLinkSpec.h"

#include <cstdint>

// Called once per module found. The spec is valid only during the call (copy
// what you keep). Set *found when the module is accepted; return non-zero to
// go on, zero to stop the enumeration.
typedef int (*vDiscoveryCallback)(const linkSpec *spec, int *found, void *reference);

// USB enumeration through the shared libusb context: every family device whose
// serial-number string is exactly eight hexadecimal digits is offered as a
// spec of type 1 (module address 0, model = low byte of the product ID, USB
// identifier = serial number). Returns how many the callback accepted.
int vDiscovery_EnumerateUSBModules(vDiscoveryCallback callback, void *reference);
