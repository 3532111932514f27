// Link engine: initialisation, start and stop, the two pipe threads, sync
// and packet operations. The packet debug log is vLinkPacketLog.cpp.
#include "common/vLink.h"

#include "common/vDefs.h"
#include "common/vLinkPrivate.h"
#include "common/vLinkTable.h"
#include "common/vPacketFifo.h"
#include "common/vTime.h"

#include <cstdio>

namespace {

const uint8_t kSyncAddress = cmdSYNC;
const uint8_t kForceRouteAddress = cmdFORCEROUTE;
const int kSyncProbes = 6;
const int kPollMs = 10;
const int kPollCount = 200;
const uint32_t kOutWaitMs = 1000;
const int kReadErrorSleepMs = 100;
// The input thread waits this long for a byte before looking at running again,
// so stop stays prompt while an idle link costs nothing.
const uint32_t kIdleWaitMs = 50;
// Streams without a wait operation are re-read after this pause.
const uint32_t kNoWaitPauseMs = 2;
// No byte for this long counts as an idle read (resync in status 4 and 6).
const uint32_t kIdleMs = 50;
const size_t kPoolSize = 4096;
const size_t kPoolLimit = kPoolSize - vPACKET_MAX_WIRE;

enum {
    kSyncIdle = 0,
    kSyncStart = 1,
    kSyncByte1 = 2,
    kSyncByte2 = 3,
    kSyncByte3 = 4,
    kSyncByte4 = 5,
};

bool sAcceptAll(const vPacket *, void *)
{
    return true;
}

// --- input side ------------------------------------------------------------

void sQueueOut(vLinkRecord *link, uint8_t address, uint8_t length, const uint8_t *data, vErr *result)
{
    uint8_t none = 0;
    vPacket *p = vPacket_CreateWithData(address, length, data != nullptr ? data : &none);
    vErr err = p == nullptr ? vErrMemory : vPacketFifo_Put(link->outQueue.load(), p);
    vPacket_Destroy(&p);
    if (result != nullptr)
        *result = err;
}

void sSyncStart(vLinkRecord *link)
{
    vDefs_DebugPrintf(vDEBUG_LINK, "syncStart\n");
    link->status = linkStatusSyncing;
    link->syncState = kSyncStart;
    link->lastActivityMs = vTime_GetMSTicks();
    vPacket_Reset(link->rxPacket);
    vErr err = vErrNone;
    for (int i = 0; i < kSyncProbes; ++i)
        sQueueOut(link, kSyncAddress, 0, nullptr, &err);
    if (err == vErrNone)
        link->syncState = kSyncByte1;
}

// One received byte while synchronising: address, 0, the same address, 0.
void sSyncStep(vLinkRecord *link, uint8_t byte)
{
    switch (link->syncState.load()) {
    case kSyncStart:
        vDefs_DebugPrintf(vDEBUG_LINK, "kSyncStateStart\n");
        sSyncStart(link);
        break;
    case kSyncByte1:
        vDefs_DebugPrintf(vDEBUG_LINK, "kSyncStateByte1\n");
        if (byte != 0 && (byte & 1) == 0) {
            link->syncByte = byte;
            link->syncState = kSyncByte2;
        } else {
            sSyncStart(link);
        }
        break;
    case kSyncByte2:
        vDefs_DebugPrintf(vDEBUG_LINK, "kSyncStateByte2\n");
        link->syncState = byte == 0 ? kSyncByte3 : kSyncStart;
        if (byte == 0)
            vDefs_DebugPrintf(vDEBUG_LINK, "sync2\n");
        break;
    case kSyncByte3:
        vDefs_DebugPrintf(vDEBUG_LINK, "kSyncStateByte3\n");
        link->syncState = byte == link->syncByte ? kSyncByte4 : kSyncStart;
        if (byte == link->syncByte)
            vDefs_DebugPrintf(vDEBUG_LINK, "sync3\n");
        break;
    case kSyncByte4:
        vDefs_DebugPrintf(vDEBUG_LINK, "kSyncStateByte4\n");
        if (byte == 0) {
            vDefs_DebugPrintf(vDEBUG_LINK, "sync4\nsynced\n");
            link->syncState = kSyncIdle;
            vPacket_Reset(link->rxPacket);
            link->status = linkStatusRunning;
        } else {
            link->syncState = kSyncStart;
        }
        break;
    default:
        vDefs_DebugPrintf(vDEBUG_LINK, "sync default\n");
        sSyncStart(link);
        break;
    }
}

vErr sHandlePacket(vLinkRecord *link)
{
    vPacket *p = link->rxPacket;
    vDefs_DebugPrintf(vDEBUG_PACKET, " sHandlePacket(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                      int(link->linkId), p->address, p->dataSize, p->data[0], p->data[1], p->data[2]);
    vLink_LogPacket(link, vLinkLogReceived, p);

    vErr result = vErrNone;
    bool consumed = false;
    vMutex_Lock(link->filterMutex);
    if (link->userFilter != nullptr)
        consumed = link->userFilter(p, link->userFilterRef) == 1;
    vMutex_Unlock(link->filterMutex);

    if (!consumed) {
        bool heartbeat = p->dataSize == 2 && p->data[0] == cmdHEARTBEAT && p->data[1] <= 1;
        if (heartbeat && link->hbState == 0) {
            vDefs_DebugPrintf(vDEBUG_PACKET,
                              " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                              int(link->linkId), p->dataSize, p->data[0], p->data[1]);
            link->hbState = p->data[1] == 0 ? 2 : 3;
            vDefs_DebugPrintf(vDEBUG_PACKET, p->data[1] == 0 ? "sending HB UP\n" : "sending HB DOWN\n");
            uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(p->data[1] + 2)};
            sQueueOut(link, p->address, 2, answer, nullptr);
            link->hbState = 0;
            if (link->hbCallback != nullptr)
                link->hbCallback((answer[1] & 1) != 0);
        } else {
            result = vPacketFifo_Put(link->inQueue.load(), p);
        }
    }
    vPacket_Reset(p);
    return result;
}

void sInByte(vLinkRecord *link, uint8_t byte)
{
    link->lastActivityMs = vTime_GetMSTicks();
    if (link->status == linkStatusSyncing) {
        sSyncStep(link, byte);
        return;
    }
    vPacket *p = link->rxPacket;
    vErr err = vPacket_AddByte(p, byte);
    // Device traffic has even addresses; anything else means we lost step.
    if (err != vErrNone || (p->address & 1) != 0) {
        vDefs_DebugPrintf(vDEBUG_LINK, "Out of sync\n");
        sSyncStart(link);
        return;
    }
    if (vPacket_IsComplete(p) && sHandlePacket(link) != vErrNone)
        link->status = linkStatusQueueError;
}

void sInIdle(vLinkRecord *link)
{
    int status = link->status;
    if (status == linkStatusSyncing && link->syncState == kSyncIdle) {
        // A synchronisation was asked for (vLink_Sync): begin at once.
        vDefs_DebugPrintf(vDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", int(link->linkId));
        sSyncStart(link);
        return;
    }
    vErr w = vStream_WaitReadable(link->stream, kIdleWaitMs);
    if (w == vErrUnimplemented || w == vErrParam)
        vTime_MSSleep(kNoWaitPauseMs);
    else if (w == vErrNone)
        return;  // a byte is waiting: read it before anything else
    status = link->status;
    if ((status == linkStatusSyncing || status == linkStatusIOError) &&
        vTime_GetMSTicks() - link->lastActivityMs >= kIdleMs) {
        vDefs_DebugPrintf(vDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", int(link->linkId));
        sSyncStart(link);
    }
}

void *sInPipeProcess(void *argument)
{
    vLinkRecord *link = static_cast<vLinkRecord *>(argument);
    link->hbState = 0;
    link->syncByte = 1;
    link->syncState = kSyncIdle;
    link->lastActivityMs = vTime_GetMSTicks();
    link->status = linkStatusRunning;
    link->inStarted = true;
    while (link->running) {
        uint8_t byte = 0;
        vErr err = vStream_Read(link->stream, &byte, 1);
        if (err == vErrNone) {
            sInByte(link, byte);
        } else if (err == vErrNotReady) {
            sInIdle(link);
        } else {
            vDefs_DebugPrintf(vDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [vStream_Read()==>%d]\n",
                              int(link->linkId), int(err));
            link->status = linkStatusIOError;
            link->lastActivityMs = vTime_GetMSTicks();
            vTime_MSSleep(kReadErrorSleepMs);
        }
    }
    vDefs_DebugPrintf(vDEBUG_LINK, " sInPipeProcess(%d) terminating\n", int(link->linkId));
    return nullptr;
}

// --- output side -----------------------------------------------------------

void sTraceOut(const vLinkRecord *link, const vPacket *p)
{
    vDefs_DebugPrintf(vDEBUG_PACKET, " sOutPipeProcess(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n",
                      int(link->linkId), p->address, p->dataSize, p->data[0], p->data[1], p->data[2]);
}

vErr sWritePacket(vLinkRecord *link, const vPacket *p)
{
    uint8_t wire[vPACKET_MAX_WIRE];
    size_t n = 0;
    vErr err = vPacket_GetBytes(p, wire, sizeof wire, &n);
    if (err == vErrNone)
        err = vStream_Write(link->stream, wire, static_cast<uint32_t>(n));
    return err;
}

void *sOutPipeProcess(void *argument)
{
    vLinkRecord *link = static_cast<vLinkRecord *>(argument);
    link->outStarted = true;
    uint8_t pool[kPoolSize];
    while (link->running) {
        vPacket *p = vPacketFifo_Await(link->outQueue.load(), kOutWaitMs);
        if (p == nullptr)
            continue;
        sTraceOut(link, p);
        if (link->pooled) {
            size_t total = 0;
            vPacket_GetBytes(p, pool, kPoolSize, &total);
            vLink_LogPacket(link, vLinkLogSent, p);
            vPacket_Destroy(&p);
            while (total <= kPoolLimit) {
                vPacket *more = vPacketFifo_Get(link->outQueue.load());
                if (more == nullptr)
                    break;
                size_t n = 0;
                vPacket_GetBytes(more, pool + total, kPoolSize - total, &n);
                total += n;
                vLink_LogPacket(link, vLinkLogSent, more);
                vPacket_Destroy(&more);
            }
            vErr err = vStream_Write(link->stream, pool, static_cast<uint32_t>(total));
            if (err != vErrNone)
                vDefs_DebugPrintf(vDEBUG_LINK, "sOutPipeProcess error writing pooled: %d\n", int(err));
        } else {
            // Logged before the write, so a peer that saw it finds it logged.
            vLink_LogPacket(link, vLinkLogSent, p);
            vErr err = sWritePacket(link, p);
            if (err != vErrNone)
                vDefs_DebugPrintf(vDEBUG_LINK, "sOutPipeProcess error writing: %d\n", int(err));
            vPacket_Destroy(&p);
        }
    }
    // Send what is still queued (the force-route off among it), one by one.
    // Once a write fails the rest is dropped: each further write would wait out
    // its retries on a peer that takes nothing, and a full queue would hold the
    // stop up for minutes.
    bool writable = true;
    while (vPacket *p = vPacketFifo_Get(link->outQueue.load())) {
        if (writable) {
            vLink_LogPacket(link, vLinkLogSent, p);
            writable = sWritePacket(link, p) == vErrNone;
        }
        vPacket_Destroy(&p);
    }
    vDefs_DebugPrintf(vDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", int(link->linkId));
    return nullptr;
}

} // namespace

vLinkRecord *vLink_Record(uint32_t linkId)
{
    vLinkRecord *link = sGetLink(linkId);
    return (link != nullptr && link->check == vLINK_CHECK) ? link : nullptr;
}

// --- lifecycle ---------------------------------------------------------------

uint32_t vLink_Init(uint32_t linkId, vStream *stream)
{
    linkTableEntry *entry = sLookupEntryByID(linkId);
    if (entry == nullptr || entry->link == nullptr)
        return 0;
    vLinkRecord *link = entry->link;
    bool again = link->check == vLINK_CHECK;
    if (again) {
        // Re-initialising (reset): release what the previous life made. The
        // pipe threads are stopped, but callers may still come in (a packet
        // logger reads the log all the time): the check and both mutexes
        // stay, the log and the user filter are dropped under their locks.
        uint64_t q = link->inQueue.exchange(0);
        vPacketFifo_Destroy(&q);
        q = link->outQueue.exchange(0);
        vPacketFifo_Destroy(&q);
        vPacket_Destroy(&link->rxPacket);
        vLink_LogDrop(link);
        if (link->filterMutex != nullptr) {
            vMutex_Lock(link->filterMutex);
            link->userFilter = nullptr;
            link->userFilterRef = nullptr;
            vMutex_Unlock(link->filterMutex);
        }
    }
    link->linkId = linkId;
    if (!again)
        link->check = vLINK_CHECK;
    link->running = false;
    link->stream = stream;
    link->status = stream != nullptr ? linkStatusStopped : linkStatusInvalid;
    link->inThread = link->outThread = nullptr;
    link->inQueue = vPacketFifo_Create();
    link->outQueue = vPacketFifo_Create();
    link->inProcess = sInPipeProcess;
    link->outProcess = sOutPipeProcess;
    link->inStarted = link->outStarted = false;
    link->hbState = 0;
    link->hbCallback = nullptr;
    link->syncState = kSyncIdle;
    link->syncByte = 0;
    link->lastActivityMs = 0;
    link->rxPacket = vPacket_Create();
    link->pooled = false;
    if (!again) {
        link->packetLog = nullptr;
        link->packetLogSize = 0;
        link->logMutex = nullptr;
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
        link->filterMutex = nullptr;
    }
    if (link->filterMutex == nullptr) {
        char name[64];
        std::snprintf(name, sizeof name, "vLink(%p)->userFilterSema", static_cast<void *>(link));
        link->filterMutex = vMutex_Create(name);
    }
    return linkId;
}

vErr vLink_Start(uint32_t linkId)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    if (link->running)
        return vErrNone;
    if (link->stream == nullptr || link->rxPacket == nullptr || link->filterMutex == nullptr ||
        link->inQueue == 0 || link->outQueue == 0)
        return vErrInitialization;
    link->running = true;
    link->status = linkStatusStarting;
    link->hbState = 0;
    link->inStarted = false;
    link->outStarted = false;
    link->inThread = vThread_Create(link->inProcess, link);
    link->outThread = link->inThread != nullptr ? vThread_Create(link->outProcess, link) : nullptr;
    if (link->outThread == nullptr) {
        link->running = false;
        if (link->inThread != nullptr)
            vThread_Destroy(&link->inThread);
        link->status = linkStatusStopped;
        return vErrResource;
    }
    int polls = 0;
    while (!(link->inStarted && link->outStarted && link->status == linkStatusRunning) && polls < kPollCount) {
        vTime_MSSleep(kPollMs);
        ++polls;
    }
    if (!(link->inStarted && link->outStarted && link->status == linkStatusRunning))
        return vErrIndexRange;
    return vLink_ForceRoute(linkId, true);
}

vErr vLink_Stop(vLinkRecord *link)
{
    if (link == nullptr)
        return vErrParam;
    int status = link->status;
    do {
        if (status == linkStatusStopped || status == linkStatusStopping)
            return vErrNone;
    } while (!link->status.compare_exchange_weak(status, linkStatusStopping));
    vErr result = vErrNone;
    if (link->inThread != nullptr || link->outThread != nullptr) {
        // running goes false before the force-route packet is queued, so the
        // packet's arrival wakes the output thread into its final flush.
        link->running = false;
        if (link->outThread != nullptr) {
            uint8_t off = 0;
            sQueueOut(link, kForceRouteAddress, 1, &off, nullptr);
        }
        if (link->inThread != nullptr && vThread_Destroy(&link->inThread) != 0)
            result = vErrUnknown;
        if (link->outThread != nullptr && vThread_Destroy(&link->outThread) != 0)
            result = vErrUnknown;
    }
    link->running = false;
    link->inStarted = false;
    link->outStarted = false;
    vPacket_Reset(link->rxPacket);
    link->hbState = 0;
    link->status = linkStatusStopped;
    return result;
}

vErr vLink_Sync(uint32_t linkId)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    link->status = linkStatusSyncing;
    int polls = 0;
    while (link->status != linkStatusRunning && polls < kPollCount) {
        vTime_MSSleep(kPollMs);
        ++polls;
    }
    vErr result = link->status == linkStatusRunning ? vErrNone : vErrNotReady;
    // Probes not yet sent, and the answers to those that were, are dropped.
    vPacketFifo_DrainPackets(link->outQueue.load(), nullptr, nullptr);
    vTime_MSSleep(100);
    vPacketFifo_DrainPackets(link->inQueue.load(), nullptr, nullptr);
    return result;
}

vErr vLink_ForceRoute(uint32_t linkId, bool on)
{
    linkTableEntry *entry = sLookupEntryByID(linkId);
    if (entry == nullptr)
        return vErrNotFound;
    vLinkRecord *link = entry->link;
    if (link == nullptr || link->check != vLINK_CHECK)
        return vErrParam;
    uint8_t data = on ? 1 : 0;
    vErr err = vErrNone;
    sQueueOut(link, kForceRouteAddress, 1, &data, &err);
    return err;
}

int vLink_GetStatus(uint32_t linkId)
{
    vLinkRecord *link = vLink_Record(linkId);
    return link == nullptr ? linkStatusInvalid : link->status.load();
}

// --- packets -----------------------------------------------------------------

vErr vLink_PutPacket(uint32_t linkId, const vPacket *packet)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    return vPacketFifo_Put(link->outQueue.load(), packet);
}

vErr vLink_PutPackets(uint32_t linkId, const vPacket *const *packets, uint32_t count)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    return vPacketFifo_PutMany(link->outQueue.load(), packets, count);
}

vPacket *vLink_GetPacket(uint32_t linkId)
{
    vLinkRecord *link = vLink_Record(linkId);
    return link == nullptr ? nullptr : vPacketFifo_Get(link->inQueue.load());
}

vPacket *vLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs)
{
    vLinkRecord *link = vLink_Record(linkId);
    return link == nullptr ? nullptr : vPacketFifo_Await(link->inQueue.load(), timeoutMs);
}

vPacket *vLink_GetFirst(uint32_t linkId, vPacketFilter filter, void *reference)
{
    vLinkRecord *link = vLink_Record(linkId);
    return link == nullptr ? nullptr : vPacketFifo_GetFirst(link->inQueue.load(), filter, reference);
}

vPacket *vLink_AwaitFirst(uint32_t linkId, vPacketFilter filter, void *reference, uint32_t timeoutMs)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return nullptr;
    uint32_t start = vTime_GetMSTicks();
    for (;;) {
        if (!link->running || link->status != linkStatusRunning)
            return nullptr;
        uint32_t elapsed = vTime_GetMSTicks() - start;
        uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        vPacket *p = vPacketFifo_AwaitFirst(link->inQueue.load(), filter, reference, left);
        if (p != nullptr || left == 0)
            return p;
        // Woken early without a match (the queue went away): look at the
        // link again after a short pause rather than spinning.
        vTime_MSSleep(kPollMs);
    }
}

uint32_t vLink_DrainPackets(uint32_t linkId, vPacketFilter filter, void *reference)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return 0;
    return vPacketFifo_DrainPackets(link->inQueue.load(), filter != nullptr ? filter : sAcceptAll, reference);
}

vErr vLink_InstallUserPacketFilter(uint32_t linkId, vLinkUserFilter filter, void *reference)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr || link->filterMutex == nullptr)
        return vErrParam;
    vErr err = vMutex_Lock(link->filterMutex);
    if (err != vErrNone)
        return err;
    link->userFilter = filter;
    link->userFilterRef = filter != nullptr ? reference : nullptr;
    return vMutex_Unlock(link->filterMutex);
}

vErr vLink_EnablePooledPackets(uint32_t linkId, bool on)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    link->pooled = on;
    return vErrNone;
}

void vLink_ReleaseRecord(vLinkRecord *link)
{
    uint64_t q = link->inQueue.exchange(0);
    vPacketFifo_Destroy(&q);
    q = link->outQueue.exchange(0);
    vPacketFifo_Destroy(&q);
    vPacket_Destroy(&link->rxPacket);
    vLink_LogDestroy(link);
    if (link->filterMutex != nullptr)
        vMutex_Destroy(&link->filterMutex);
    if (link->stream != nullptr)
        vStream_Destroy(&link->stream);
    link->check = 0;
}
