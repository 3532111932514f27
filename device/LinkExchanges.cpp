// Link: the request/reply exchanges: UEI gets and sets, raw command packets
// and the module-address query.
#include "device/LinkPrivate.h"

#include "common/vDefs.h"
#include "common/vLink.h"
#include "common/vUEI.h"

#include <cstring>

namespace Velquire {
namespace Corvantis {

namespace {

constexpr uint32_t kLargePayloadWaitMs = 4000;
constexpr uint32_t kLargePayload = 1000;

bool sBadModule(uint8_t module)
{
    return module == 0 || (module & 1) != 0;
}

// A byte array goes out as its chunk packets, queued a batch at a time, so a
// data run costs the output queue one lock and one wake-up per batch rather
// than per packet. A batch stays well inside the queue's bound.
constexpr uint32_t kBytesBatch = 64;

class PacketBatch {
public:
    ~PacketBatch() { clear(); }
    bool add(vPacket *packet)
    {
        if (!packet)
            return false;
        m_packets[m_count++] = packet;
        return true;
    }
    bool full() const { return m_count == kBytesBatch; }
    // Queues what is held, in order, and lets it go whatever the outcome.
    vErr put(uint32_t linkId)
    {
        vErr err = m_count ? vLink_PutPackets(linkId, m_packets, m_count) : vErrNone;
        clear();
        return err;
    }

private:
    void clear()
    {
        for (uint32_t i = 0; i < m_count; ++i)
            vPacket_Destroy(&m_packets[i]);
        m_count = 0;
    }
    vPacket *m_packets[kBytesBatch] = {};
    uint32_t m_count = 0;
};

// A scalar value after a header of `at` bytes (command, option, specifier and
// perhaps a subindex); byte arrays go through sPutBytes.
vErr sPutScalar(uint32_t linkId, const uei &value, uint8_t *data, uint8_t at)
{
    switch (value.type) {
    case ueiTypeVoid:
        return sPut(linkId, value.module, at, data);
    case ueiTypeByte:
        data[at] = value.v.byteVal;
        return sPut(linkId, value.module, uint8_t(at + 1), data);
    case ueiTypeShort:
        vUEI_StoreShort(&data[at], value.v.shortVal);
        return sPut(linkId, value.module, uint8_t(at + 2), data);
    case ueiTypeInt:
        vUEI_StoreInt(&data[at], value.v.intVal);
        return sPut(linkId, value.module, uint8_t(at + 4), data);
    default:
        return vErrParam;
    }
}

// Chunks of up to 24 value bytes after command, option and specifier, each
// with its trailer: bit 7 when another chunk follows, the running count below.
// Stops at the first error, which is returned; what came before it is queued.
vErr sPutBytes(uint32_t linkId, const uei &value)
{
    uint32_t total = value.v.bytes.length;
    if (total && !value.v.bytes.data)
        return vErrParam;
    uint8_t data[vPACKET_MAX_DATA] = {value.command, value.option, value.specifier};
    PacketBatch batch;
    uint32_t at = 0;
    uint8_t sequence = 0;
    do {
        uint32_t chunk = total - at < vUEI_BYTES_PER_PACKET ? total - at : vUEI_BYTES_PER_PACKET;
        if (chunk)
            std::memcpy(&data[3], value.v.bytes.data + at, chunk);
        at += chunk;
        data[3 + chunk] = uint8_t((sequence & vUEI_BYTES_SEQUENCE_MASK) | (at < total ? vUEI_BYTES_MORE : 0));
        sequence = uint8_t((sequence + 1) & vUEI_BYTES_SEQUENCE_MASK);
        if (!batch.add(vPacket_CreateWithData(value.module, uint8_t(chunk + 4), data))) {
            vErr err = batch.put(linkId);
            return err != vErrNone ? err : vErrResource;
        }
        if (batch.full() || at >= total) {
            vErr err = batch.put(linkId);
            if (err != vErrNone)
                return err;
        }
    } while (at < total);
    return vErrNone;
}

bool MatchMagic(const vPacket *packet, void *)
{
    return packet->dataSize == 0;
}

struct CommandMatch {
    const uint8_t *bytes;
    uint8_t length;
};

bool sCommandFilter(const vPacket *packet, void *reference)
{
    const CommandMatch *m = static_cast<const CommandMatch *>(reference);
    if (packet->dataSize < m->length)
        return false;
    return m->length == 0 || std::memcmp(packet->data, m->bytes, m->length) == 0;
}

} // namespace

vErr sPut(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t *data)
{
    static const uint8_t none[1] = {0};
    vPacket *p = vPacket_CreateWithData(address, length, data ? data : none);
    if (!p)
        return vErrResource;
    vErr err = vLink_PutPacket(linkId, p);
    vPacket_Destroy(&p);
    return err;
}


bool sUEIFilter(const vPacket *packet, void *ueiContext)
{
    uei *u = static_cast<uei *>(ueiContext);
    if (packet->address != u->module || packet->dataSize < 3)
        return false;
    if (packet->data[0] != u->command || packet->data[1] != u->option || (packet->data[2] & 0x1F) != u->specifier)
        return false;
    if (packet->data[2] & vUEI_SPEC_ERROR) {
        u->specifier = packet->data[2];
        u->v.byteVal = packet->dataSize > 3 ? packet->data[3] : uint8_t(vErrUnknown);
        return true;
    }
    switch (packet->dataSize) {
    case 3:
        u->type = ueiTypeVoid;
        break;
    case 4:
        u->type = ueiTypeByte;
        u->v.intVal = 0;
        u->v.byteVal = packet->data[3];
        break;
    case 5:
        u->type = ueiTypeShort;
        u->v.intVal = 0;
        u->v.shortVal = vUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        u->type = ueiTypeInt;
        u->v.intVal = vUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break;
    }
    return true;
}


vErr Link::getModuleAddress(uint8_t *address)
{
    if (!address)
        return vErrParam;
    *address = 0;
    if (!isConnected())
        return vErrNotReady;
    vDefs_DebugPrintf(vDEBUG_LINK, "getModuleAddress\n");
    vErr err = sPut(m_impl->linkId, cmdSYNC, 0, nullptr);
    if (err != vErrNone)
        return err == vErrResource ? err : vErrNotReady;
    vDefs_DebugPrintf(vDEBUG_LINK, "getModuleAddress wait\n");
    vPacket *reply = vLink_AwaitFirst(m_impl->linkId, MatchMagic, nullptr, kReplyWaitMs);
    if (!reply)
        return vErrNotReady;
    *address = reply->address;
    vPacket_Destroy(&reply);
    return vErrNone;
}

vErr Link::sendUEI(const uei &value)
{
    if (sBadModule(value.module))
        return vErrPacket;
    if (!isConnected())
        return vErrConnection;
    if (value.type == ueiTypeBytes)
        return sPutBytes(m_impl->linkId, value);
    uint8_t data[vPACKET_MAX_DATA] = {value.command, value.option, value.specifier};
    return sPutScalar(m_impl->linkId, value, data, 3);
}

vErr Link::sendUEI(const uei &value, uint8_t subindex)
{
    if (sBadModule(value.module))
        return vErrPacket;
    if (!isConnected())
        return vErrConnection;
    uint8_t data[8] = {value.command, value.option, value.specifier, subindex};
    return sPutScalar(m_impl->linkId, value, data, 4);
}

vErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei *value, vPacketFilter filter)
{
    if (!value || !filter)
        return vErrParam;
    if (sBadModule(module) || sBadModule(value->module))
        return vErrPacket;
    if (!isConnected())
        return vErrConnection;
    uint32_t wait = kReplyWaitMs;
    if (value->type == ueiTypeBytes && value->v.bytes.length > kLargePayload) {
        wait = kLargePayloadWaitMs;
        vDefs_DebugPrintf(vDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                          (unsigned long)kLargePayloadWaitMs);
    }
    vPacket *reply = vLink_AwaitFirst(m_impl->linkId, filter, value, wait);
    if (!reply)
        return vErrTimeout;
    vPacket_Destroy(&reply);
    return vErrNone;
}

vErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier)
{
    if (sBadModule(module))
        return vErrPacket;
    if (!isConnected())
        return vErrConnection;
    uei match;
    match.module = module;
    match.command = command;
    match.option = option;
    match.specifier = specifier;
    vLink_DrainPackets(m_impl->linkId, sUEIFilter, &match);
    return vErrNone;
}

vErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t *data)
{
    if (length > vPACKET_MAX_DATA - 1)
        return vErrParam;
    if (length && !data)
        return vErrParam;
    if (sBadModule(address))
        return vErrPacket;
    if (!isConnected())
        return vErrConnection;
    uint8_t bytes[vPACKET_MAX_DATA] = {command};
    if (length)
        std::memcpy(&bytes[1], data, length);
    vErr err = sPut(m_impl->linkId, address, uint8_t(length + 1), bytes);
    return err == vErrResource ? err : vErrNone;
}

vErr Link::receivePacket(uint8_t address, const uint8_t *match, uint8_t *length, uint8_t *out)
{
    if (!length || !out || (*length && !match) || *length > vPACKET_MAX_DATA)
        return vErrParam;
    if (sBadModule(address))
        return vErrPacket;
    if (!isConnected())
        return vErrConnection;
    CommandMatch m = {match, *length};
    vPacket *reply = vLink_AwaitFirst(m_impl->linkId, sCommandFilter, &m, kReplyWaitMs);
    if (!reply)
        return vErrTimeout;
    *length = reply->dataSize;
    std::memcpy(out, reply->data, reply->dataSize);
    vPacket_Destroy(&reply);
    return vErrNone;
}

} // namespace Corvantis
} // namespace Velquire
