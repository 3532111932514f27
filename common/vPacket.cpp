#include "common/vPacket.h"

#include <cstdlib>
#include <cstring>

vPacket *vPacket_Create(void)
{
    vPacket *packet = static_cast<vPacket *>(calloc(1, sizeof(vPacket)));
    if (packet)
        packet->check = vPACKET_CHECK;
    return packet;
}

vPacket *vPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data)
{
    if (!data || length > vPACKET_MAX_DATA)
        return nullptr;
    vPacket *packet = vPacket_Create();
    if (!packet)
        return nullptr;
    packet->address = address;
    packet->dataSize = length;
    memcpy(packet->data, data, length);
    packet->curSize = uint8_t(length + 2);
    return packet;
}

vPacket *vPacket_Copy(const vPacket *packet)
{
    if (!vVALIDPACKET(packet) || packet->dataSize > vPACKET_MAX_DATA)
        return nullptr;
    return vPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

vErr vPacket_Destroy(vPacket **packet)
{
    if (!packet || !*packet)
        return vErrParam;
    (*packet)->check = 0; // a stale pointer no longer passes the validity test
    free(*packet);
    *packet = nullptr;
    return vErrNone;
}

vErr vPacket_GetCmd(const vPacket *packet, uint8_t *command)
{
    if (!command)
        return vErrParam;
    if (!vVALIDPACKET(packet) || packet->dataSize < 1)
        return vErrPacket;
    *command = packet->data[0];
    return vErrNone;
}

vErr vPacket_GetOption(const vPacket *packet, uint8_t *option)
{
    if (!option)
        return vErrParam;
    if (!vVALIDPACKET(packet) || packet->dataSize < 2)
        return vErrPacket;
    *option = packet->data[1] & vUEI_OPTION_MASK;
    return vErrNone;
}

vErr vPacket_GetIndex(const vPacket *packet, uint8_t *index)
{
    if (!index)
        return vErrParam;
    if (!vVALIDPACKET(packet) || packet->dataSize < 3)
        return vErrPacket;
    *index = packet->data[2] & vUEI_INDEX_MASK;
    return vErrNone;
}

vErr vPacket_Reset(vPacket *packet)
{
    if (!vVALIDPACKET(packet))
        return vErrParam;
    packet->curSize = 0;
    packet->address = 0;
    packet->dataSize = 0;
    memset(packet->data, 0, sizeof(packet->data));
    return vErrNone;
}

vErr vPacket_AddByte(vPacket *packet, uint8_t byte)
{
    if (!vVALIDPACKET(packet))
        return vErrParam;
    // The count stops one past the limit, so it can never wrap around and
    // make an overlong packet look complete.
    unsigned position = packet->curSize + 1u;
    if (position > vPACKET_MAX_WIRE) {
        packet->curSize = vPACKET_MAX_WIRE + 1;
        return vErrOverrun;
    }
    // A rejected address byte, or a byte past a packet's end, is not counted:
    // the packet keeps what it had instead of shifting by one.
    if (packet->address == 0) {
        if (byte == 0)
            return vErrPacket;
        packet->address = byte;
    } else if (position == 2) {
        packet->dataSize = byte;
        if (byte > vPACKET_MAX_DATA) {
            packet->curSize = uint8_t(position);
            return vErrPacket;
        }
    } else if (position <= packet->dataSize + 2u) {
        packet->data[position - 3] = byte;
    } else {
        return vErrPacket;
    }
    packet->curSize = uint8_t(position);
    return vErrNone;
}

bool vPacket_IsComplete(const vPacket *packet)
{
    return vVALIDPACKET(packet) && packet->dataSize <= vPACKET_MAX_DATA &&
           packet->curSize == packet->dataSize + 2;
}

vErr vPacket_GetBytes(const vPacket *packet, uint8_t *buffer, size_t size, size_t *outLength)
{
    if (!vVALIDPACKET(packet) || !buffer || packet->dataSize > vPACKET_MAX_DATA)
        return vErrParam;
    size_t length = size_t(packet->dataSize) + 2;
    if (size < length)
        return vErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    memcpy(buffer + 2, packet->data, packet->dataSize);
    if (outLength)
        *outLength = length;
    return vErrNone;
}
