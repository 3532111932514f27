// Packets from a device as the stream-sampling and UEI reply parsers see them:
// first byte the address, the rest the data bytes (at most 28).
#include "device/Link.h"

#include <cstdlib>
#include <cstring>

using Velquire::Corvantis::Link;
using Velquire::Corvantis::uei;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t n = size - 1 > 28 ? 28 : size - 1;
    vPacket *p = vPacket_CreateWithData(data[0], uint8_t(n), n ? data + 1 : data);
    if (!p)
        return 0;

    Link::StreamPacketType type = Link::getStreamPacketType(p);
    uint64_t stamp = 0;
    uint32_t value = 0;
    uint8_t sub = 0;
    vErr err = Link::getStreamSample(p, &stamp, &value, &sub);
    // A sample is exactly what the sample parser accepts.
    if (Link::isStreamSample(p) != (err == vErrNone))
        abort();
    if (err == vErrNone && !Link::isSubindexType(type) && sub != 0)
        abort();
    if ((type == Link::STREAM_PACKET_NONE) != !Link::isStreamPacket(p))
        abort();

    // The UEI reply filter fills a uei only from bytes the packet has.
    uei u;
    u.module = p->address;
    u.command = n > 0 ? p->data[0] : 0;
    u.option = n > 1 ? p->data[1] : 0;
    u.specifier = n > 2 ? uint8_t(p->data[2] & 0x1F) : 0;
    if (Velquire::Corvantis::sUEIFilter(p, &u) && n < 3)
        abort();

    vPacket_Destroy(&p);
    return 0;
}
