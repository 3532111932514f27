// COBS (Consistent Overhead Byte Stuffing) and the Dallas/Maxim CRC-8.
#include "common/vCobs.h"

#include <cstring>

namespace {

struct CrcTable {
    uint8_t t[256];
    CrcTable()
    {
        for (int i = 0; i < 256; ++i) {
            uint8_t crc = static_cast<uint8_t>(i);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
            t[i] = crc;
        }
    }
};

const CrcTable kCrc;

} // namespace

uint8_t vCRC8_Update(uint8_t crc, uint8_t byte)
{
    return kCrc.t[crc ^ byte];
}

uint8_t vCRC8_Compute(const uint8_t *data, size_t length)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = kCrc.t[crc ^ data[i]];
    return crc;
}

size_t vCobs_Encode(const uint8_t *in, size_t length, uint8_t *out)
{
    size_t codeAt = 0;  // where the current run's code byte goes
    size_t o = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        if (in[i] == 0) {
            out[codeAt] = code;
            codeAt = o++;
            code = 1;
            continue;
        }
        out[o++] = in[i];
        if (++code == 0xFF) {
            // A full run of 254 non-zero bytes, no zero implied after it.
            out[codeAt] = code;
            codeAt = o++;
            code = 1;
        }
    }
    out[codeAt] = code;
    return o;
}

bool vCobs_Decode(const uint8_t *in, size_t length, uint8_t *out, size_t *outLength)
{
    size_t i = 0;
    size_t o = 0;
    while (i < length) {
        uint8_t code = in[i++];
        if (code == 0 || i + code - 1 > length)
            return false;
        for (uint8_t k = 1; k < code; ++k) {
            if (in[i] == 0)
                return false;
            out[o++] = in[i++];
        }
        // Every run but the last and the full ones stands before a zero.
        if (code != 0xFF && i < length)
            out[o++] = 0;
    }
    *outLength = o;
    return true;
}

size_t vCobs_BuildFrame(const uint8_t *wire, size_t length, uint8_t *frame)
{
    if (wire == nullptr || frame == nullptr || length < 2 || length > vCOBS_MAX_DECODED - 1 ||
        static_cast<size_t>(wire[1]) + 2 != length)
        return 0;
    uint8_t plain[vCOBS_MAX_DECODED];
    std::memcpy(plain, wire, length);
    plain[length] = vCRC8_Compute(wire, length);
    size_t n = vCobs_Encode(plain, length + 1, frame);
    frame[n++] = 0;
    return n;
}

void vCobsReceiver_Reset(vCobsReceiver *receiver)
{
    receiver->count = 0;
    receiver->overlong = false;
}

vErr vCobsReceiver_Feed(vCobsReceiver *receiver, uint8_t byte, uint8_t *wire, size_t *wireLength)
{
    if (byte != 0) {
        if (receiver->count < vCOBS_MAX_ENCODED)
            receiver->buffer[receiver->count++] = byte;
        else
            receiver->overlong = true;
        return vErrNotReady;
    }
    if (receiver->count == 0)
        return vErrNotReady;
    uint8_t decoded[vCOBS_MAX_ENCODED];
    size_t n = 0;
    bool ok = !receiver->overlong && vCobs_Decode(receiver->buffer, receiver->count, decoded, &n);
    vCobsReceiver_Reset(receiver);
    if (!ok || n <= 2 || n != static_cast<size_t>(decoded[1]) + 3 ||
        vCRC8_Compute(decoded, n - 1) != decoded[n - 1])
        return vErrPacket;
    std::memcpy(wire, decoded, n - 1);
    *wireLength = n - 1;
    return vErrNone;
}
