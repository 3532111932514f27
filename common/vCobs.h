// COBS framing with CRC-8 for packetized serial lines.
//
// One packet travels as one frame: its wire bytes (address, length, data),
// one CRC-8 byte over them, all of it COBS-encoded, then a zero delimiter.
#pragma once

#include "common/vError.h"

#include <cstddef>
#include <cstdint>

// Largest frame without its delimiter (30 wire bytes + CRC + one code byte).
#define vCOBS_MAX_ENCODED 32
// Largest frame with its delimiter.
#define vCOBS_MAX_FRAME 33
// Largest decoded frame: a full packet and its CRC.
#define vCOBS_MAX_DECODED 31

// CRC-8, reflected polynomial 0x8C, initial value 0, no final XOR.
uint8_t vCRC8_Compute(const uint8_t *data, size_t length);
// Continues a CRC over more bytes.
uint8_t vCRC8_Update(uint8_t crc, uint8_t byte);

// COBS-encodes length bytes into out (room for length + length/254 + 1 bytes);
// returns the encoded length, without a delimiter. in and out may not overlap.
size_t vCobs_Encode(const uint8_t *in, size_t length, uint8_t *out);
// Decodes length encoded bytes (no delimiter) into out (room for length bytes;
// out may equal in). Returns false for a malformed encoding (a zero byte, or a
// code that runs past the end).
bool vCobs_Decode(const uint8_t *in, size_t length, uint8_t *out, size_t *outLength);

// Builds the whole frame of a packet's wire bytes (2 to 30 bytes) into frame
// (vCOBS_MAX_FRAME bytes); returns the frame length with its delimiter, or 0
// when the wire bytes do not form a packet of that length.
size_t vCobs_BuildFrame(const uint8_t *wire, size_t length, uint8_t *frame);

// Receive side: collects encoded bytes up to a delimiter and checks the frame.
struct vCobsReceiver {
    uint8_t buffer[vCOBS_MAX_ENCODED];
    uint8_t count;
    bool overlong;  // bytes were dropped: the frame is rejected at its delimiter
};
void vCobsReceiver_Reset(vCobsReceiver *receiver);
// Feeds one received byte. vErrNotReady while a frame is being collected (and
// for a delimiter with nothing before it); vErrNone when the byte ended a good
// frame, whose packet wire bytes are then in wire (vCOBS_MAX_DECODED bytes) and
// their count in *wireLength; vErrPacket when it ended a bad frame (too long,
// malformed, wrong length byte or CRC). Bytes past 32 in a frame are dropped
// and make the frame bad.
vErr vCobsReceiver_Feed(vCobsReceiver *receiver, uint8_t byte, uint8_t *wire, size_t *wireLength);
