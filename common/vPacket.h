// Device packets: a module address, a length and up to 28 data bytes.
//
// Wire form on any byte stream: address, length (dataSize), then dataSize
// data bytes; no checksum and no delimiter. Device addresses are even and
// non-zero; odd addresses are link-level packets sent by the host.
#pragma once

#include "common/vError.h"

#include <cstddef>
#include <cstdint>

#define vPACKET_MAX_DATA 28
#define vPACKET_MAX_WIRE (vPACKET_MAX_DATA + 2)
#define vPACKET_CHECK 0xBEEF

typedef struct vPacketRecord {
    uint16_t check;   // vPACKET_CHECK in every live packet
    uint8_t curSize;  // wire bytes stored so far, address and length included
    uint8_t address;
    uint8_t dataSize; // 0 to 28
    uint8_t data[vPACKET_MAX_DATA];
} vPacket;

#define vVALIDPACKET(p) ((p) != nullptr && (p)->check == vPACKET_CHECK)

// Command codes the library uses or classifies.
enum {
    cmdHEARTBEAT = 0,
    cmdSYSTEM = 3,
    cmdSLOT = 4,
    cmdI2C = 8,
    cmdDEBUG = 23,
    cmdCAPABILITY = 73,
    cmdSTORE = 92,
    cmdSTREAM = 93,
    cmdFACTORY = 94,     // '^'
    cmdUPGRADE = 95,
    cmdSYNC = 173,       // sent in the address position, length 0
    cmdFORCEROUTE = 175, // sent in the address position, length 1
};

// UEI option byte: option code in bits 5..0, get 0x40, set 0x80 (0xC0 acknowledges a set).
#define vUEI_OPTION_MASK 0x3F
#define vUEI_OPTION_GET 0x40
#define vUEI_OPTION_SET 0x80
// UEI specifier byte: entity index in bits 4..0, request 0x20, stream 0x40, error reply 0x80.
#define vUEI_INDEX_MASK 0x1F
#define vUEI_SPEC_REQUEST 0x20
#define vUEI_SPEC_STREAM 0x40
#define vUEI_SPEC_ERROR 0x80

// A packet filter: true when the packet is the one the caller waits for.
typedef bool (*vPacketFilter)(const vPacket *packet, void *reference);

vPacket *vPacket_Create(void);
// Null when data is null, length is above 28 or memory runs out.
vPacket *vPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data);
vPacket *vPacket_Copy(const vPacket *packet);
vErr vPacket_Destroy(vPacket **packet);

// Data byte 0 / option code of byte 1 / entity index of byte 2. vErrParam for
// a null output, vErrPacket for an invalid or too short packet.
vErr vPacket_GetCmd(const vPacket *packet, uint8_t *command);
vErr vPacket_GetOption(const vPacket *packet, uint8_t *option);
vErr vPacket_GetIndex(const vPacket *packet, uint8_t *index);

vErr vPacket_Reset(vPacket *packet);
// Appends the next received wire byte. vErrPacket for a zero address, a
// length above 28 or a byte past the end; vErrOverrun past 30 bytes.
vErr vPacket_AddByte(vPacket *packet, uint8_t byte);
bool vPacket_IsComplete(const vPacket *packet);
// Copies the wire form; outLength (may be null) receives dataSize + 2.
// vErrOverrun (nothing written) when the buffer is too small.
vErr vPacket_GetBytes(const vPacket *packet, uint8_t *buffer, size_t size, size_t *outLength);
