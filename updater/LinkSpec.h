// How to reach one device: the 128-byte link specifier that discovery fills
// and a link connects with. Its layout is a wire format (discovery replies
// and beacons carry it as-is): little-endian 32-bit fields, then the
// transport-specific bytes.
#pragma once

#include <cstdint>

typedef enum {
    linkTypeNone = 0, // none, or a stream the caller made
    linkTypeUSB = 1,
    linkTypeTCPIP = 2,
    linkTypeSerial = 3,
    // 4 to 7: client links through a link server (5 USB, 6 TCP/IP, 7 serial).
    linkTypeClient = 4,
    linkTypeClientUSB = 5,
    linkTypeClientTCPIP = 6,
    linkTypeClientSerial = 7,
} linkType;

typedef struct {
    uint32_t type; // linkType
    uint32_t serialNumber;
    uint32_t moduleAddress;
    uint32_t routerAddress;
    uint32_t routerSerialNumber;
    uint32_t modelNumber;
    // USB: the USB identifier (the serial number); TCP/IP and client links:
    // IPv4 address in network byte order, then the port; serial: baud rate,
    // then the port name.
    uint8_t transport[104];
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");
