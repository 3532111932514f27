// Link: factory data (command 94), read and written in runs of packets.
#include "device/LinkPrivate.h"

#include "common/vLink.h"
#include "common/vUEI.h"

#include <cstring>

namespace Velquire {
namespace Corvantis {

namespace {

// Factory data: command 94, a control byte built from the index.
struct FactoryRequest {
    uint8_t control;
};

bool sFactoryFilter(const vPacket *packet, void *reference)
{
    const FactoryRequest *r = static_cast<const FactoryRequest *>(reference);
    if (packet->dataSize < 2 || packet->data[0] != cmdFACTORY)
        return false;
    uint8_t low = r->control & 0x0F;
    return packet->data[1] == low || packet->data[1] == (low | 0x80);
}

vPacket *sFactoryExchange(uint32_t linkId, uint8_t address, const uint8_t *data, uint8_t length, vErr *putErr)
{
    FactoryRequest req = {data[1]};
    *putErr = sPut(linkId, address, length, data);
    if (*putErr != vErrNone)
        return nullptr;
    return vLink_AwaitFirst(linkId, sFactoryFilter, &req, kReplyWaitMs);
}

// The end marker closing a factory-data transfer of count bytes.
vErr sFactoryEnd(uint32_t linkId, uint8_t address, uint32_t count)
{
    uint8_t req[4] = {cmdFACTORY, 0x20, uint8_t(count >> 8), uint8_t(count)};
    vErr err;
    vPacket *reply = sFactoryExchange(linkId, address, req, 4, &err);
    if (!reply)
        return err != vErrNone ? err : vErrTimeout;
    if (reply->dataSize == 3 && (reply->data[1] & 0x80))
        err = vError_FromDevice(reply->data[2]);
    vPacket_Destroy(&reply);
    return err;
}

} // namespace

vErr Link::getFactoryData(uint8_t address, uint8_t index, uint8_t *buffer, uint32_t bufferLength, uint32_t *count)
{
    if (!buffer || !count)
        return vErrParam;
    if (!isConnected())
        return vErrConnection;
    uint32_t id = m_impl->linkId;
    uint32_t have = 0;
    vErr err = vErrNone;
    bool first = true;
    bool full = true;
    while (err == vErrNone && full) {
        uint8_t req[2] = {cmdFACTORY, uint8_t(first ? (index | 0x40) : index)};
        first = false;
        vErr put;
        vPacket *reply = sFactoryExchange(id, address, req, 2, &put);
        if (!reply)
            return put != vErrNone ? put : vErrTimeout;
        full = reply->dataSize == vPACKET_MAX_DATA;
        if (reply->dataSize < 2)
            err = vErrUnknown;
        else if (reply->dataSize - 2u + have >= bufferLength)
            err = vErrOverrun;
        else if (reply->data[1] & 0x80)
            err = vError_FromDevice(reply->data[2]);
        else {
            std::memcpy(buffer + have, &reply->data[2], reply->dataSize - 2u);
            have += reply->dataSize - 2u;
        }
        vPacket_Destroy(&reply);
    }
    if (err != vErrNone)
        return err;
    err = sFactoryEnd(id, address, have);
    if (err == vErrNone)
        *count = have;
    return err;
}

vErr Link::setFactoryData(uint8_t address, uint8_t index, const uint8_t *data, uint32_t length)
{
    if (!data && length)
        return vErrParam;
    if (!isConnected())
        return vErrConnection;
    uint32_t id = m_impl->linkId;
    vErr err = vErrNone;
    bool first = true;
    for (uint32_t at = 0; err == vErrNone && at < length;) {
        uint32_t chunk = length - at < 26 ? length - at : 26;
        uint8_t req[vPACKET_MAX_DATA] = {cmdFACTORY, uint8_t(index | (first ? 0x50 : 0x10))};
        first = false;
        std::memcpy(&req[2], data + at, chunk);
        at += chunk;
        vErr put;
        vPacket *reply = sFactoryExchange(id, address, req, uint8_t(2 + chunk), &put);
        if (!reply)
            return put != vErrNone ? put : vErrTimeout;
        if ((reply->data[1] & 0x80) && reply->dataSize > 2)
            err = vError_FromDevice(reply->data[2]);
        if (reply->dataSize != 2)
            err = vErrSize;
        vPacket_Destroy(&reply);
    }
    if (err != vErrNone)
        return err;
    return sFactoryEnd(id, address, length);
}

} // namespace Corvantis
} // namespace Velquire
