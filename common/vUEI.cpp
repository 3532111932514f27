#include "common/vUEI.h"

uint16_t vUEI_RetrieveShort(const uint8_t *bytes)
{
    return uint16_t((uint16_t(bytes[0]) << 8) | bytes[1]);
}

uint32_t vUEI_RetrieveInt(const uint8_t *bytes)
{
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

uint8_t *vUEI_StoreShort(uint8_t *buffer, uint16_t value)
{
    buffer[0] = uint8_t(value >> 8);
    buffer[1] = uint8_t(value);
    return buffer;
}

uint8_t *vUEI_StoreInt(uint8_t *buffer, uint32_t value)
{
    buffer[0] = uint8_t(value >> 24);
    buffer[1] = uint8_t(value >> 16);
    buffer[2] = uint8_t(value >> 8);
    buffer[3] = uint8_t(value);
    return buffer;
}

void vUEI_ModifyIntBuffer(uint32_t *words, size_t count)
{
    if (!words)
        return;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&words[i]);
        words[i] = vUEI_RetrieveInt(bytes);
    }
}

namespace {

bool sHasLastByte(const vPacket *packet)
{
    return packet && packet->dataSize > 0 && packet->dataSize <= vPACKET_MAX_DATA;
}

} // namespace

uint8_t vUEI_getBytesSequence(const vPacket *packet)
{
    return sHasLastByte(packet) ? packet->data[packet->dataSize - 1] & vUEI_BYTES_SEQUENCE_MASK : 0;
}

bool vUEI_getBytesContinue(const vPacket *packet)
{
    return sHasLastByte(packet) && (packet->data[packet->dataSize - 1] & vUEI_BYTES_MORE) != 0;
}

bool vUEI_getBytesFullPacket(const vPacket *packet)
{
    return packet && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool vUEI_isNotUEIPayload(const vPacket *packet)
{
    if (!packet)
        return false;
    // A packet without a command byte is classified by its zeroed data byte.
    switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

bool vUEI_isUEIPayload(const vPacket *packet)
{
    return !vUEI_isNotUEIPayload(packet);
}

bool vUEI_isStreamPacket(const vPacket *packet)
{
    return packet && packet->dataSize > 4 && vUEI_isUEIPayload(packet) &&
           (packet->data[1] & (vUEI_OPTION_GET | vUEI_OPTION_SET)) == 0 &&
           (packet->data[2] & vUEI_SPEC_STREAM) != 0;
}
