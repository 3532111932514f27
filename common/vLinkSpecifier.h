// Link specifiers: the 128-byte record that tells a link how to reach a
// module. It is also sent as-is in discovery replies and beacons, so its
// layout is a wire format (little-endian 32-bit fields).
#pragma once

#include "common/vError.h"

#include <cstdint>

typedef enum {
    linkTypeNone = 0, // or a stream the caller made
    linkTypeUSB = 1,
    linkTypeTCPIP = 2,
    linkTypeSerial = 3,
    // Client links through a link server; the server publishes 5 for a served
    // USB link, 6 for TCP/IP and 7 for serial.
    linkTypeClient = 4,
    linkTypeClientUSB = 5,
    linkTypeClientTCPIP = 6,
    linkTypeClientSerial = 7,
} linkType;

typedef struct linkSpec {
    uint32_t type; // linkType
    uint32_t serialNumber;
    uint32_t moduleAddress;
    uint32_t routerAddress;
    uint32_t routerSerialNumber;
    uint32_t modelNumber;
    union {
        struct {
            uint32_t identifier; // equal to the serial number
        } usb;
        struct {
            uint32_t address; // IPv4, network byte order
            uint32_t port;
        } ip;
        struct {
            uint32_t baudRate;
            char portName[100];
        } serial;
        uint8_t raw[104];
    } transport;
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");

// A zeroed record with the type set, or null when memory runs out.
linkSpec *vLinkSpec_Create(uint32_t type);
// A new copy of all 128 bytes (null for null or no memory).
linkSpec *vLinkSpec_Copy(const linkSpec *spec);
// Frees the record and nulls the caller's pointer; vErrParam for null.
vErr vLinkSpec_Destroy(linkSpec **spec);
