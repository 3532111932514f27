#include "device/LinkPrivate.h"

#include "common/vDefs.h"
#include "common/vDiscovery.h"
#include "common/vLink.h"
#include "common/vTime.h"
#include "common/vUEI.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace Velquire {
namespace Corvantis {

namespace {

// Link creation is serialised process-wide.
std::mutex linkCreateHelperSerializer;

constexpr uint32_t kReplyWaitMs = 1000;
constexpr uint32_t kLargePayloadWaitMs = 4000;
constexpr uint32_t kLargePayload = 1000;
constexpr uint32_t kSlotOpenWaitMs = 3000;
constexpr uint8_t kNoHandle = 255;
constexpr size_t kMaxName = 1024;

bool sBadModule(uint8_t module)
{
    return module == 0 || (module & 1) != 0;
}

bool sIsVEther(uint32_t type)
{
    return type >= linkTypeClient && type <= linkTypeClientSerial;
}

// Puts one packet; vErrResource when it cannot be built.
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

// The logger's writer: one packet-log record per call.
vErr readDebugBuffer(vFile *file, uint32_t linkId)
{
    uint8_t direction = 0;
    uint8_t bytes[64];
    uint32_t length = sizeof bytes;
    vErr err = vLink_PacketDebug_Read(linkId, &direction, &length, bytes);
    if (err == vErrNone) {
        std::string line = std::to_string(length) + (direction == vLinkLogSent ? " > " : " < ");
        char hex[8];
        for (uint32_t i = 0; i < length; i++) {
            if (direction == vLinkLogMarker) {
                line.push_back(char(bytes[i]));
            } else {
                std::snprintf(hex, sizeof hex, "0x%X ", bytes[i]);
                line += hex;
            }
        }
        line += "\r\n";
        size_t written = 0;
        vFile_Write(file, line.data(), line.size(), &written);
    } else {
        // Nothing to write (or the link went away): wait a little.
        vTime_MSSleep(5);
    }
    return err;
}

struct ModelSearch {
    linkSpec *wanted;
};

int cbModelCallback(const linkSpec *spec, int *found, void *reference)
{
    ModelSearch *s = static_cast<ModelSearch *>(reference);
    if (s->wanted->modelNumber != 0 && s->wanted->modelNumber != spec->modelNumber)
        return 1;
    std::memcpy(s->wanted, spec, sizeof *spec);
    *found = 1;
    return 0;
}

bool _fallbackHelper(vErr result, uint32_t type, uint8_t fallback)
{
    if (result != vErrNotFound && result != vErrInitialization && result != vErrConnection)
        return false;
    if (!(type == linkTypeUSB || type == linkTypeTCPIP || sIsVEther(type)))
        return false;
    return fallback != 0;
}

} // namespace

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

// --- construction ----------------------------------------------------------

Link::Link(const linkSpec &spec, const char *name) : Link(name)
{
    setLinkSpecifier(spec);
}

Link::Link(const char *name) : m_impl(new impl(*this))
{
    if (name)
        m_impl->name.assign(name, strnlen(name, kMaxName));
}

Link::~Link()
{
    m_impl->clearStreams();
    // The logger's thread reads the link's packet log: it goes first.
    if (m_impl->packetLogger)
        vLogger_Destroy(&m_impl->packetLogger);
    if (m_impl->linkId)
        vLink_Destroy(&m_impl->linkId);
    vLinkSpec_Destroy(&m_impl->spec);
    delete m_impl;
}

// --- configuration ---------------------------------------------------------

vErr Link::getConfig(vEtherConfig *config) const
{
    if (!config)
        return vErrParam;
    *config = m_impl->config;
    return vErrNone;
}

vErr Link::setConfig(vEtherConfig config)
{
    if (isConnected())
        return vErrMode;
    m_impl->config = config;
    return vErrNone;
}

const char *Link::getName() const
{
    return m_impl->name.c_str();
}

vErr Link::getLinkSpecifier(linkSpec *spec) const
{
    if (!spec)
        return vErrParam;
    if (!m_impl->spec)
        return vErrNotFound;
    *spec = *m_impl->spec;
    return vErrNone;
}

vErr Link::setLinkSpecifier(linkSpec spec)
{
    if (isConnected())
        return vErrBusy;
    linkSpec *copy = vLinkSpec_Copy(&spec);
    if (!copy)
        return vErrMemory;
    vLinkSpec_Destroy(&m_impl->spec);
    m_impl->spec = copy;
    return vErrNone;
}

// --- connecting ------------------------------------------------------------

namespace {

// Creates the engine link for spec and stores its id in *linkId (0 when the
// engine made none). vErrNone whenever the type was valid and allowed.
vErr linkCreateHelper(const linkSpec &spec, vEtherConfig &config, uint32_t *linkId, bool *holdsUse)
{
    std::lock_guard<std::mutex> hold(linkCreateHelperSerializer);
    uint32_t type = spec.type;
    if (type < linkTypeUSB || type > linkTypeClientSerial)
        return vErrMode;
    if (sIsVEther(type)) {
        if (!config.enabled)
            return vErrConfiguration;
        vDefs_DebugPrintf(vDEBUG_LINK, "linkCreateHelper: client links through a link server are not available\n");
        return vErrUnimplemented;
    }
    uint32_t id = 0;
    switch (type) {
    case linkTypeUSB:
        id = vLink_CreateUSB(spec.serialNumber);
        break;
    case linkTypeTCPIP:
        id = vLink_CreateTCPIP(spec.serialNumber, spec.transport.ip.address, uint16_t(spec.transport.ip.port));
        break;
    case linkTypeSerial: {
        char port[sizeof spec.transport.serial.portName + 1] = {};
        std::memcpy(port, spec.transport.serial.portName, sizeof spec.transport.serial.portName);
        id = vLink_CreateSerial(spec.serialNumber, port, spec.transport.serial.baudRate);
        break;
    }
    }
    *linkId = id;
    *holdsUse = id != 0;
    if (id != 0 && config.enabled) {
        // Wrapping the link in a link server needs the server, which this
        // build does not have yet: give the link back and say so.
        vDefs_DebugPrintf(vDEBUG_LINK, "Creating Server: real_unit id: %d\n", int(id));
        vDefs_DebugPrintf(vDEBUG_LINK, "Failed to create server: link servers are not available\n");
        vLink_Destroy(linkId);
        *linkId = 0;
        *holdsUse = false;
        return vErrUnimplemented;
    }
    return vErrNone;
}

} // namespace

// Polls the status every 10 ms, up to count times.
static vErr waitForLink(uint32_t linkId, int count)
{
    int status = vLink_GetStatus(linkId);
    switch (status) {
    case linkStatusStopped:
    case linkStatusStarting:
    case linkStatusSyncing:
        for (int i = 0; i < count && status != linkStatusRunning; i++) {
            vTime_MSSleep(10);
            status = vLink_GetStatus(linkId);
        }
        return status == linkStatusRunning ? vErrNone : vErrConnection;
    case linkStatusInvalid:
    case linkStatusIOError:
    case linkStatusQueueError:
        return vErrConnection;
    case linkStatusRunning:
        return vErrNone;
    case linkStatusStopping:
        return vErrBusy;
    default:
        return vErrDuplicate;
    }
}

static vErr connectHelper(Link::impl *m)
{
    if (!m->spec)
        return vErrConfiguration;
    linkSpec spec = *m->spec;
    vErr err = linkCreateHelper(spec, m->config, &m->linkId, &m->holdsUse);
    if (err != vErrNone)
        return err;
    if (m->linkId == 0)
        return vErrConnection;
    return waitForLink(m->linkId, 200);
}

vErr Link::connect()
{
    if (m_impl->linkId != 0)
        return vErrConnection;
    return connectHelper(m_impl);
}

vErr Link::connectThroughLinkModule(Link &other)
{
    if (other.m_impl->linkId == 0)
        return vErrInitialization;
    if (m_impl->linkId != 0)
        return vErrConnection;
    m_impl->linkId = other.m_impl->linkId;
    m_impl->holdsUse = false;
    vErr err = connectHelper(m_impl);
    // A failed creation must not leave this Link naming the router's link:
    // its destruction would take a use that is not its own.
    if (!m_impl->holdsUse)
        m_impl->linkId = 0;
    return err;
}

static vErr discoveryAndConnectHelper(Link &link, Link::impl *m, uint32_t type, uint32_t serialNumber,
                                      uint8_t model)
{
    linkSpec *found = nullptr;
    if (serialNumber != 0) {
        found = vDiscovery_FindModule(type, serialNumber, m->config.networkInterface);
    } else {
        found = vLinkSpec_Create(type);
        if (!found)
            return vErrMemory;
        found->serialNumber = 0;
        found->moduleAddress = 0;
        found->routerAddress = 0;
        found->modelNumber = model;
        ModelSearch search = {found};
        if (vDiscovery_EnumerateModules(type, cbModelCallback, &search, m->config.networkInterface) == 0)
            vLinkSpec_Destroy(&found);
    }
    if (!found)
        return vErrNotFound;
    vErr err = link.setLinkSpecifier(*found);
    vLinkSpec_Destroy(&found);
    if (err != vErrNone)
        return err;
    return link.connect();
}

vErr Link::discoverAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model)
{
    vErr err = discoveryAndConnectHelper(*this, m_impl, type, serialNumber, model);
    if (_fallbackHelper(err, type, m_impl->config.fallback)) {
        uint32_t next = (type == linkTypeUSB || type == linkTypeTCPIP) ? uint32_t(linkTypeClient) : uint32_t(linkTypeUSB);
        vDefs_DebugPrintf(vDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n", int(type), int(next));
        err = discoveryAndConnectHelper(*this, m_impl, next, serialNumber, model);
    }
    return err;
}

bool Link::isConnected() const
{
    return m_impl->linkId != 0 && vLink_GetStatus(m_impl->linkId) == linkStatusRunning;
}

int Link::getStatus() const
{
    if (m_impl->linkId == 0)
        return linkStatusQueueError;
    return vLink_GetStatus(m_impl->linkId);
}

uint32_t Link::getLinkId() const
{
    return m_impl->linkId;
}

vErr Link::disconnect()
{
    if (m_impl->linkId) {
        m_impl->clearStreams();
        // A packet log belongs to the link it reads.
        if (m_impl->packetLogger)
            vLogger_Destroy(&m_impl->packetLogger);
        vLink_Destroy(&m_impl->linkId);
    }
    m_impl->linkId = 0;
    m_impl->holdsUse = false;
    return vErrNone;
}

vErr Link::reset()
{
    if (m_impl->linkId)
        vLink_Reset(m_impl->linkId);
    return vErrNone;
}

vErr Link::enablePooledPackets(bool on)
{
    return vLink_EnablePooledPackets(m_impl->linkId, on);
}

// --- exchanges -------------------------------------------------------------

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

// --- store slots -----------------------------------------------------------

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

// --- factory data ----------------------------------------------------------

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

// --- packet log ------------------------------------------------------------

vErr Link::enablePacketLog(const char *fileName)
{
    if (m_impl->linkId == 0)
        return vErrConfiguration;
    vErr err = vLink_PacketDebug_Enable(m_impl->linkId);
    if (err != vErrNone)
        return err;
    if (!m_impl->packetLogger) {
        m_impl->packetLogger = vLogger_Create(m_impl->linkId, readDebugBuffer, fileName);
        if (!m_impl->packetLogger)
            return vErrResource;
    }
    err = vLogger_Enable(m_impl->packetLogger);
    if (err == vErrNone) {
        static const char start[6] = "START";
        vLink_PacketDebug_Write(m_impl->linkId, vLinkLogMarker, sizeof start,
                                reinterpret_cast<const uint8_t *>(start));
    }
    return err;
}

vErr Link::disablePacketLog()
{
    if (m_impl->linkId == 0)
        return vErrConfiguration;
    vLink_PacketDebug_Disable(m_impl->linkId);
    if (!m_impl->packetLogger)
        return vErrNone;
    return vLogger_Disable(m_impl->packetLogger);
}

} // namespace Corvantis
} // namespace Velquire
