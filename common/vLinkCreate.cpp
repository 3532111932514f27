// Link creation per transport, sharing by use count, reset and teardown.
#include "common/vDefs.h"
#include "common/vLink.h"
#include "common/vLinkPrivate.h"
#include "common/vLinkTable.h"
#include "common/vPacketFifo.h"
#include "common/vTime.h"

#include <mutex>
#include <new>

namespace {

enum {
    kTypeCaller = 0,
    kTypeUSB = 1,
    kTypeTCPIP = 2,
    kTypeSerial = 3,
    kTypeClientFirst = 4,
    kTypeClientLast = 7,
};
const uint32_t kCallerIdentity = 0xFFFFFFFF;
const int kResetAttempts = 20;
const uint32_t kResetPauseMs = 100;

// Held while a link is looked up and shared or made, and while a user is
// dropped, so a link is never handed out as it is being torn down and the same
// device never gets two links. Teardown itself runs after the entry left the table.
std::recursive_mutex &sLifecycle()
{
    static std::recursive_mutex m;
    return m;
}

std::mutex gHooks;
vLinkStreamMaker gMakers[kTypeClientLast + 1];
vLinkServerDestroyer gServerDestroyer;

vErr sSocketMaker(uint32_t, uint32_t address, uint32_t port, vStream **stream)
{
    return vStream_CreateSocket(address, static_cast<uint16_t>(port), stream);
}

vLinkStreamMaker sMaker(uint32_t linkType)
{
    if (linkType == kTypeTCPIP)
        return sSocketMaker;
    if (linkType != kTypeUSB && (linkType < kTypeClientFirst || linkType > kTypeClientLast))
        return nullptr;
    std::lock_guard<std::mutex> hold(gHooks);
    return gMakers[linkType];
}

int sBaudIndex(uint32_t rate)
{
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < 8; ++i)
        if (kRates[i] == rate)
            return i;
    return -1;
}

// An existing device link gains a user, unless a link server wraps it.
uint32_t sShare(linkTableEntry *entry, bool refuseServed)
{
    if (refuseServed && sGetServer(entry) != nullptr) {
        vDefs_DebugPrintf(vDEBUG_LINK,
                          "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
        return 0;
    }
    sChangeUseCount(entry, +1);
    return entry->id;
}

// Takes the entry out of the table and frees it with its record.
// keepStream leaves the record's stream to the caller.
vErr sTearDown(linkTableEntry *entry, bool keepStream)
{
    vLinkRecord *link = entry->link;
    vErr result = vErrNone;
    if (link != nullptr) {
        vLink_Stop(link);
        vServer *server = sGetServer(entry);
        if (server != nullptr) {
            vLinkServerDestroyer destroy;
            {
                std::lock_guard<std::mutex> hold(gHooks);
                destroy = gServerDestroyer;
            }
            if (destroy != nullptr)
                destroy(server);
            sSetServer(entry, nullptr);
        }
        uint32_t owner = sGetOwnerLinkId(entry);
        if (owner != 0)
            vLink_Destroy(&owner);
        if (keepStream)
            link->stream = nullptr;
        vLink_ReleaseRecord(link);
        delete link;
        entry->link = nullptr;
    } else {
        result = vErrUnknown;
    }
    sFreeEntry(&entry);
    return result;
}

// Undoes a creation that failed part way.
void sAbandon(uint32_t linkId, bool keepStream)
{
    linkTableEntry *entry = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(sLifecycle());
        entry = sExtractEntry(linkId);
    }
    if (entry != nullptr)
        sTearDown(entry, keepStream);
}

// A new table entry with a fresh record, or 0.
uint32_t sNewEntry(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, uint32_t linkType)
{
    vLinkRecord *link = new (std::nothrow) vLinkRecord();
    if (link == nullptr)
        return 0;
    uint32_t id = sCreate2(identifier0, identifier1, identifier2, linkType, link);
    if (id == 0)
        delete link;
    return id;
}

// Initialises the new entry over stream, adds its first user and starts it.
uint32_t sInitAndStart(uint32_t id, vStream *stream, bool keepStreamOnFailure)
{
    if (vLink_Init(id, stream) != id) {
        vDefs_DebugPrintf(vDEBUG_LINK, " vLink_Init failed: %d\n", int(vErrConnection));
        if (!keepStreamOnFailure)
            vStream_Destroy(&stream);
        sAbandon(id, keepStreamOnFailure);
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), +1);
    vErr err = vLink_Start(id);
    if (err != vErrNone) {
        vDefs_DebugPrintf(vDEBUG_LINK, " vLink_Start failed: %d\n", int(err));
        sAbandon(id, keepStreamOnFailure);
        return 0;
    }
    return id;
}

} // namespace

void vLink_RegisterStreamMaker(uint32_t linkType, vLinkStreamMaker maker)
{
    if (linkType == kTypeUSB || (linkType >= kTypeClientFirst && linkType <= kTypeClientLast)) {
        std::lock_guard<std::mutex> hold(gHooks);
        gMakers[linkType] = maker;
    }
}

void vLink_RegisterServerDestroyer(vLinkServerDestroyer destroyer)
{
    std::lock_guard<std::mutex> hold(gHooks);
    gServerDestroyer = destroyer;
}

uint32_t vLink_CreateDeviceLink(const vLinkDeviceRequest *request)
{
    if (request == nullptr || request->open == nullptr)
        return 0;
    std::lock_guard<std::recursive_mutex> hold(sLifecycle());
    if (request->share)
        if (linkTableEntry *entry = sLookupEntryByIdentifier(request->identifier0, request->linkType))
            return sShare(entry, request->refuseServed);
    uint32_t id = sNewEntry(request->identifier0, request->identifier1, request->identifier2, request->linkType);
    if (id == 0)
        return 0;
    vStream *stream = nullptr;
    vErr err = request->open(request->context, &stream);
    if (err != vErrNone || stream == nullptr) {
        vDefs_DebugPrintf(vDEBUG_LINK, " stream creation failed: %d\n", int(err));
        sAbandon(id, false);
        return 0;
    }
    id = sInitAndStart(id, stream, false);
    if (id != 0 && request->sync) {
        err = vLink_Sync(id);
        if (err != vErrNone) {
            vDefs_DebugPrintf(vDEBUG_LINK, " vLink_Sync failed: %d\n", int(err));
            sAbandon(id, false);
            return 0;
        }
    }
    return id;
}

namespace {

struct SocketTarget {
    uint32_t address;
    uint16_t port;
};

vErr sOpenSocket(void *context, vStream **stream)
{
    const SocketTarget *t = static_cast<const SocketTarget *>(context);
    return vStream_CreateSocket(t->address, t->port, stream);
}

struct SerialTarget {
    const char *path;
    int baudIndex;
};

vErr sOpenSerial(void *context, vStream **stream)
{
    const SerialTarget *t = static_cast<const SerialTarget *>(context);
    // No parity, 8 data bits, one stop bit.
    return vStream_CreateSerial_Packetized(t->path, t->baudIndex, 0, 0, 0, stream);
}

} // namespace

uint32_t vLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    SocketTarget target{address, port};
    vLinkDeviceRequest request{serialNumber, address, port, kTypeTCPIP, true, true, false, sOpenSocket, &target};
    return vLink_CreateDeviceLink(&request);
}

uint32_t vLink_CreateSerial(uint32_t serialNumber, const char *path, uint32_t baudRate)
{
    int baudIndex = sBaudIndex(baudRate);
    if (baudIndex < 0 || path == nullptr) {
        vDefs_DebugPrintf(vDEBUG_LINK, " vLink_CreateSerial: unsupported baud rate %u\n", baudRate);
        return 0;
    }
    SerialTarget target{path, baudIndex};
    vLinkDeviceRequest request{serialNumber, 0, 0, kTypeSerial, true, false, false, sOpenSerial, &target};
    return vLink_CreateDeviceLink(&request);
}

uint32_t vLink_Create(vStream *stream)
{
    if (!vStream_IsValid(stream))
        return 0;
    std::lock_guard<std::recursive_mutex> hold(sLifecycle());
    uint32_t id = sNewEntry(kCallerIdentity, 0, 0, kTypeCaller);
    if (id == 0)
        return 0;
    return sInitAndStart(id, stream, true);
}

vErr vLink_Reset(uint32_t linkId)
{
    std::lock_guard<std::recursive_mutex> hold(sLifecycle());
    linkTableEntry *entry = sLookupEntryByID(linkId);
    if (entry == nullptr || entry->link == nullptr || entry->link->check != vLINK_CHECK)
        return vErrParam;
    vLinkRecord *link = entry->link;
    vLink_Stop(link);
    uint64_t q = link->inQueue.exchange(0);
    vPacketFifo_Destroy(&q);
    q = link->outQueue.exchange(0);
    vPacketFifo_Destroy(&q);
    if (link->stream != nullptr)
        vStream_Destroy(&link->stream);

    vLinkStreamMaker make = sMaker(entry->linkType);
    vErr err = vErrParam;
    vStream *stream = nullptr;
    for (int attempt = 0; make != nullptr && attempt < kResetAttempts; ++attempt) {
        if (attempt > 0)
            vTime_MSSleep(kResetPauseMs);
        err = make(entry->identifier0, entry->identifier1, entry->identifier2, &stream);
        if (err == vErrNone && stream != nullptr)
            break;
        if (err == vErrNone)
            err = vErrResource;
        stream = nullptr;
    }
    if (stream == nullptr) {
        vDefs_DebugPrintf(vDEBUG_LINK, " ERROR - could not recreate stream: %d\n", int(err));
        link->status = linkStatusInvalid;  // stopped, with no stream
        return err;
    }
    vLink_Init(linkId, stream);
    return vLink_Start(linkId);
}

vErr vLink_Destroy(uint32_t *linkId)
{
    if (linkId == nullptr)
        return vErrParam;
    linkTableEntry *entry = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(sLifecycle());
        entry = sLookupEntryByID(*linkId);
        if (entry == nullptr)
            return vErrParam;
        if (sChangeUseCount(entry, -1) > 0) {
            *linkId = 0;
            return vErrNone;
        }
        vLinkRecord *link = entry->link;
        if (link != nullptr && link->check == vLINK_CHECK)
            vLink_InstallUserPacketFilter(*linkId, nullptr, nullptr);
        entry = sExtractEntry(*linkId);
    }
    *linkId = 0;
    if (entry == nullptr)
        return vErrUnknown;
    return sTearDown(entry, false);
}
