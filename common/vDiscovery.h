// Device discovery: each module found is described by a linkSpec and offered
// to the caller's callback.
#pragma once

#include "common/vLinkSpecifier.h"

#include <cstddef>
#include <cstdint>

// Called once per module found. The specifier is valid only during the call (copy
// what you keep). Set *found when the module is accepted; return non-zero to
// go on, zero to stop the enumeration.
typedef int (*vDiscoveryCallback)(const linkSpec *spec, int *found, void *reference);

// USB enumeration through the shared libusb context: every family device whose
// serial-number string is exactly eight hexadecimal digits is offered as a
// spec of type 1 (module address 0, model = low byte of the product ID, USB
// identifier = serial number). Returns how many the callback accepted.
int vDiscovery_EnumerateUSBModules(vDiscoveryCallback callback, void *reference);

// Direct TCP/IP query: a 16-byte request to 232.2.2.2:9888 through the given
// interface (network byte order; 0 or 127.0.0.1 means every IPv4 interface
// but loopback), then replies on port 9889 until a 2 s wait passes (10 s at
// most however many keep coming). Each reply is offered as a spec of type 2,
// once per type, serial number, address and port. Returns how many were
// accepted.
int vDiscovery_EnumerateTCPIPModules(vDiscoveryCallback callback, void *reference, uint32_t interfaceAddress);

// Link servers: on this host by the loopback multicast exchange when the
// interface is 0 or 127.0.0.1 (or the host has no IPv4 interface), else by a
// UDP beacon on that interface. Returns how many specs were accepted.
int vDiscovery_Enumerate_vEtherModules(vDiscoveryCallback callback, void *reference, uint32_t interfaceAddress);

// By transport: 1 USB, 2 TCP/IP, 4 to 7 link servers; any other type finds
// nothing and returns 0 without calling the callback.
int vDiscovery_EnumerateModules(uint32_t type, vDiscoveryCallback callback, void *reference,
                                uint32_t interfaceAddress);

// A new copy of the specifier of the module with that serial number (release with
// vLinkSpec_Destroy), or null when none answers.
linkSpec *vDiscovery_FindModule(uint32_t type, uint32_t serialNumber, uint32_t interfaceAddress);
// The same for the first module with a non-zero serial number.
linkSpec *vDiscovery_FindFirstModule(uint32_t type, uint32_t interfaceAddress);

// The host's IPv4 interface addresses (network byte order) of interfaces that
// are up, at most capacity of them; returns how many were stored.
int vDiscovery_GetIPv4Interfaces(uint32_t *addresses, int capacity);
// Dotted text of an address (network byte order) into buffer; returns the
// text length, or 0 for a buffer of 15 bytes or fewer.
int vDiscovery_ConvertIPv4Interface(uint32_t address, char *buffer, size_t size);

// Receive paths, exposed for their tests and fuzz targets.
//
// One direct-query reply from sender (network byte order) into a spec of type
// 2. Datagrams shorter than 16 bytes are refused with vErrSize; bytes past
// the 16th are not looked at.
vErr vDiscovery_ParseReply(const uint8_t *data, size_t length, uint32_t sender, linkSpec *spec);
// A link specifier from a server (reply or beacon content): exactly 128
// bytes, else vErrSize. The text of the transport part is always terminated,
// whatever the sender put there.
vErr vDiscovery_ParseLinkSpec(const uint8_t *data, size_t length, linkSpec *spec);
