// Received bytes assembled into packets, the way a link's receive side does.
// The first input byte picks the policy: bit 0 resets the builder after a
// rejected byte (as the link does when it resynchronises) or keeps feeding.
#include "common/vPacket.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    bool resetOnError = data[0] & 1;
    vPacket *packet = vPacket_Create();
    if (!packet)
        return 0;
    for (size_t i = 1; i < size; ++i) {
        vErr err = vPacket_AddByte(packet, data[i]);
        if (packet->curSize > vPACKET_MAX_WIRE + 1)
            abort();
        if (err != vErrNone) {
            if (err != vErrPacket && err != vErrOverrun)
                abort();
            if (resetOnError)
                vPacket_Reset(packet);
            continue;
        }
        if (!vPacket_IsComplete(packet))
            continue;
        if (packet->address == 0 || packet->dataSize > vPACKET_MAX_DATA)
            abort();
        // The wire form rebuilds the same packet.
        uint8_t wire[vPACKET_MAX_WIRE];
        size_t length = 0;
        if (vPacket_GetBytes(packet, wire, sizeof(wire), &length) != vErrNone || length != packet->dataSize + 2u)
            abort();
        vPacket *again = vPacket_Create();
        for (size_t k = 0; k < length; ++k)
            if (vPacket_AddByte(again, wire[k]) != vErrNone)
                abort();
        if (!vPacket_IsComplete(again) || memcmp(again->data, packet->data, packet->dataSize) != 0)
            abort();
        vPacket *copy = vPacket_Copy(again);
        if (!copy || copy->dataSize != packet->dataSize)
            abort();
        vPacket_Destroy(&copy);
        vPacket_Destroy(&again);
        vPacket_Reset(packet);
    }
    vPacket_Destroy(&packet);
    return 0;
}
