// UEI value encoding on packet data bytes: big-endian values, byte-transfer
// trailers and the classification of command packets.
//
// A byte transfer sends command, option, specifier, up to 24 value bytes and
// a trailing sequence byte: bit 7 set while more packets follow, bits 6..0 the
// packet's running count (modulo 128).
#pragma once

#include "common/vPacket.h"

#include <cstddef>
#include <cstdint>

#define vUEI_BYTES_PER_PACKET 24
#define vUEI_BYTES_MORE 0x80
#define vUEI_BYTES_SEQUENCE_MASK 0x7F

uint16_t vUEI_RetrieveShort(const uint8_t *bytes);
uint32_t vUEI_RetrieveInt(const uint8_t *bytes);
uint8_t *vUEI_StoreShort(uint8_t *buffer, uint16_t value);
uint8_t *vUEI_StoreInt(uint8_t *buffer, uint32_t value);
// Converts count 32-bit words in place from big-endian to host order.
void vUEI_ModifyIntBuffer(uint32_t *words, size_t count);

// Trailer of a byte-transfer packet (0 / false for a null or empty packet).
uint8_t vUEI_getBytesSequence(const vPacket *packet);
bool vUEI_getBytesContinue(const vPacket *packet);
// True for a full chunk (27 or 28 data bytes).
bool vUEI_getBytesFullPacket(const vPacket *packet);

// Commands 0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173 and 175 carry no UEI.
bool vUEI_isNotUEIPayload(const vPacket *packet);
bool vUEI_isUEIPayload(const vPacket *packet);
// An unsolicited value of a value stream.
bool vUEI_isStreamPacket(const vPacket *packet);
