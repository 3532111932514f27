// Link: store slots (command 4): a slot's size and capacity, and loading
// and unloading its bytes through an open handle.
#include "device/LinkPrivate.h"

#include "common/vLink.h"
#include "common/vUEI.h"

#include <cstring>

namespace Velquire {
namespace Corvantis {

namespace {

constexpr uint32_t kSlotOpenWaitMs = 3000;
constexpr uint8_t kNoHandle = 255;

// Store slots: command 4, the sub-operation in data[1].
enum {
    kSlotCapacity = 1,
    kSlotSize = 2,
    kSlotOpenRead = 3,
    kSlotOpenWrite = 4,
    kSlotRead = 6,
    kSlotWrite = 7,
    kSlotClose = 8,
};

struct SlotRequest {
    uint8_t data[4];
};

bool sSlotFilter(const vPacket *packet, void *reference)
{
    const SlotRequest *r = static_cast<const SlotRequest *>(reference);
    if (packet->dataSize < 4 || packet->data[0] != cmdSLOT)
        return false;
    uint8_t sub = r->data[1] & 0x7F;
    if ((packet->data[1] & 0x7F) != sub)
        return false;
    if (sub >= 1 && sub <= 4)
        return packet->data[2] == r->data[2] && packet->data[3] == r->data[3];
    if (sub >= 5 && sub <= 8)
        return packet->data[2] == r->data[2];
    return false;
}

bool sSlotError(const vPacket *packet)
{
    return (packet->data[1] & 0x80) != 0;
}

// Error code of a slot error reply: after store and slot for sub-ops 1 to 4,
// after the handle for the others.
vErr sSlotErrorCode(const vPacket *packet)
{
    uint8_t sub = packet->data[1] & 0x7F;
    size_t at = sub <= 4 ? 4 : 3;
    return at < packet->dataSize ? vError_FromDevice(packet->data[at]) : vErrUnknown;
}

// Sends a slot request and awaits its reply (null when none came).
vPacket *sSlotExchange(uint32_t linkId, uint8_t address, const uint8_t *data, uint8_t length, uint32_t waitMs,
                       vErr *putErr)
{
    SlotRequest req = {{data[0], data[1], length > 2 ? data[2] : uint8_t(0), length > 3 ? data[3] : uint8_t(0)}};
    *putErr = sPut(linkId, address, length, data);
    if (*putErr != vErrNone)
        return nullptr;
    return vLink_AwaitFirst(linkId, sSlotFilter, &req, waitMs);
}

uint8_t sOpenSlot(uint32_t linkId, uint8_t address, uint8_t store, uint8_t slot, uint8_t mode)
{
    uint8_t req[4] = {cmdSLOT, mode, store, slot};
    vErr err;
    vPacket *reply = sSlotExchange(linkId, address, req, 4, kSlotOpenWaitMs, &err);
    uint8_t handle = kNoHandle;
    if (reply && reply->dataSize > 4 && !sSlotError(reply))
        handle = reply->data[4];
    vPacket_Destroy(&reply);
    return handle;
}

vErr sCloseSlot(uint32_t linkId, uint8_t address, uint8_t handle)
{
    uint8_t req[3] = {cmdSLOT, kSlotClose, handle};
    vErr err;
    vPacket *reply = sSlotExchange(linkId, address, req, 3, kReplyWaitMs, &err);
    if (!reply)
        return err != vErrNone ? err : vErrTimeout;
    if (sSlotError(reply))
        err = sSlotErrorCode(reply);
    else if (reply->dataSize != 4)
        err = vErrIO;
    vPacket_Destroy(&reply);
    return err;
}

// Capacity (sub-op 1) or size (sub-op 2) of a slot.
vErr sSlotQuery(uint32_t linkId, uint8_t address, uint8_t store, uint8_t slot, uint8_t sub, uint32_t *out)
{
    uint8_t req[4] = {cmdSLOT, sub, store, slot};
    vErr err;
    vPacket *reply = sSlotExchange(linkId, address, req, 4, kReplyWaitMs, &err);
    if (!reply)
        return err != vErrNone ? err : vErrTimeout;
    if (sSlotError(reply))
        err = sSlotErrorCode(reply);
    else if (reply->dataSize == 6)
        *out = vUEI_RetrieveShort(&reply->data[4]);
    else
        err = vErrUnknown;
    vPacket_Destroy(&reply);
    return err;
}

} // namespace

vErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, uint32_t *capacity)
{
    if (!isConnected())
        return vErrConnection;
    if (!capacity)
        return vErrParam;
    return sSlotQuery(m_impl->linkId, address, store, slot, kSlotCapacity, capacity);
}

vErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, uint32_t *size)
{
    if (!size)
        return vErrParam;
    if (!isConnected())
        return vErrConnection;
    return sSlotQuery(m_impl->linkId, address, store, slot, kSlotSize, size);
}

vErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t *data, uint32_t length)
{
    if (!data)
        return vErrParam;
    if (!isConnected())
        return vErrConnection;
    uint32_t id = m_impl->linkId;
    uint8_t handle = sOpenSlot(id, address, store, slot, kSlotOpenWrite);
    if (handle == kNoHandle)
        return vErrMedia;
    vErr err = vErrNone;
    for (uint32_t at = 0; at < length && err == vErrNone;) {
        uint32_t chunk = length - at < 25 ? length - at : 25;
        uint8_t req[vPACKET_MAX_DATA] = {cmdSLOT, kSlotWrite, handle};
        uint8_t sum = 0;
        for (uint32_t i = 0; i < chunk; i++) {
            req[3 + i] = data[at + i];
            sum = uint8_t(sum + data[at + i]);
        }
        vErr put;
        vPacket *reply = sSlotExchange(id, address, req, uint8_t(3 + chunk), kReplyWaitMs, &put);
        if (!reply) {
            err = put != vErrNone ? put : vErrTimeout;
            break;
        }
        if (reply->dataSize == 4) {
            if (sSlotError(reply))
                err = sSlotErrorCode(reply);
            else if (reply->data[3] != sum)
                err = vErrIO;
        }
        vPacket_Destroy(&reply);
        at += chunk;
    }
    vErr closed = sCloseSlot(id, address, handle);
    return err != vErrNone ? err : closed;
}

vErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t *buffer, uint32_t bufferLength,
                           uint32_t *count)
{
    if (!buffer || !count)
        return vErrParam;
    uint32_t size = 0;
    vErr err = storeSlotSize(address, store, slot, &size);
    if (err != vErrNone)
        return err;
    uint32_t id = m_impl->linkId;
    uint8_t handle = sOpenSlot(id, address, store, slot, kSlotOpenRead);
    if (handle == kNoHandle)
        return vErrMedia;
    uint32_t amount = bufferLength < size ? bufferLength : size;
    uint32_t have = 0;
    while (have < amount && err == vErrNone) {
        uint8_t req[3] = {cmdSLOT, kSlotRead, handle};
        vErr put;
        vPacket *reply = sSlotExchange(id, address, req, 3, kReplyWaitMs, &put);
        if (!reply) {
            err = put != vErrNone ? put : vErrTimeout;
            break;
        }
        if (sSlotError(reply))
            err = sSlotErrorCode(reply);
        else if (reply->dataSize <= 3)
            err = vErrUnknown;
        else {
            uint32_t n = reply->dataSize - 3u;
            if (n > amount - have)
                n = amount - have;
            std::memcpy(buffer + have, &reply->data[3], n);
            have += n;
        }
        vPacket_Destroy(&reply);
    }
    vErr closed = sCloseSlot(id, address, handle);
    if (err == vErrNone)
        err = closed;
    if (err != vErrNone)
        return err;
    *count = amount;
    return size > bufferLength ? vErrOverrun : vErrNone;
}

} // namespace Corvantis
} // namespace Velquire
