// A datagram arriving on the direct-query reply port, turned into a spec the
// way discovery does. The first four input bytes are the sender's address.
#include "common/vDiscovery.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t sender;
    memcpy(&sender, data, 4);
    const uint8_t *reply = data + 4;
    size_t length = size - 4;

    linkSpec spec;
    memset(&spec, 0xA5, sizeof spec);
    vErr err = vDiscovery_ParseReply(reply, length, sender, &spec);
    if (length < 16) {
        if (err != vErrSize)
            abort();
        return 0;
    }
    if (err != vErrNone)
        abort();
    uint32_t serial = uint32_t(reply[4]) | uint32_t(reply[5]) << 8 | uint32_t(reply[6]) << 16 |
                      uint32_t(reply[7]) << 24;
    if (spec.type != linkTypeTCPIP || spec.serialNumber != serial || spec.routerSerialNumber != serial ||
        spec.moduleAddress != reply[1] || spec.routerAddress != reply[1] || spec.modelNumber != reply[12] ||
        spec.transport.ip.address != sender || spec.transport.ip.port != (uint32_t(reply[2]) | uint32_t(reply[3]) << 8))
        abort();
    for (size_t i = 8; i < sizeof spec.transport.raw; i++)
        if (spec.transport.raw[i] != 0)
            abort();
    return 0;
}
