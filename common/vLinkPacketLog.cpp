// Link engine: the packet debug log, a ring of the packets a link sent and
// received, filled by the pipe threads and read by a packet logger.
#include "common/vLink.h"

#include "common/vLinkPrivate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Serialises creation of a link's packet log and its mutex.
std::mutex gLogCreate;

uint32_t sLogUsed(const vLinkPacketLog *log)
{
    return (log->writeIndex + log->size - log->readIndex) % log->size;
}

void sLogDropOldest(vLinkPacketLog *log)
{
    uint32_t length = log->buffer[(log->readIndex + 1) % log->size];
    log->readIndex = (log->readIndex + 2 + length) % log->size;
}

vErr sLogAdd(vLinkPacketLog *log, uint8_t direction, uint32_t length, const uint8_t *bytes)
{
    if (length > 255)
        return vErrParam;  // the record's length is one byte
    if (length + 2 >= log->size)
        return vErrOverrun;
    while (length + 2 >= log->size - sLogUsed(log))
        sLogDropOldest(log);
    uint32_t w = log->writeIndex;
    log->buffer[w] = direction;
    w = (w + 1) % log->size;
    log->buffer[w] = static_cast<uint8_t>(length);
    w = (w + 1) % log->size;
    for (uint32_t i = 0; i < length; ++i) {
        log->buffer[w] = bytes[i];
        w = (w + 1) % log->size;
    }
    log->writeIndex = w;
    return vErrNone;
}

vErr sLogTake(vLinkPacketLog *log, uint8_t *direction, uint32_t *length, uint8_t *buffer)
{
    if (log->readIndex == log->writeIndex)
        return vErrNotFound;
    uint32_t r = log->readIndex;
    *direction = log->buffer[r];
    uint32_t recordLength = log->buffer[(r + 1) % log->size];
    uint32_t room = *length;
    *length = recordLength;
    if (room < recordLength)
        return vErrOverrun;
    r = (r + 2) % log->size;
    for (uint32_t i = 0; i < recordLength; ++i) {
        buffer[i] = log->buffer[r];
        r = (r + 1) % log->size;
    }
    log->readIndex = r;
    return vErrNone;
}

// The log under logMutex, or null (logMutex not taken) when there is none.
// A log seen without the lock may be dropped by a reset before the lock is
// had, so it is looked at again under the lock.
vLinkPacketLog *sLockLog(vLinkRecord *link)
{
    if (link->packetLog.load(std::memory_order_acquire) == nullptr)
        return nullptr;
    vMutex_Lock(link->logMutex);
    vLinkPacketLog *log = link->packetLog.load(std::memory_order_acquire);
    if (log == nullptr)
        vMutex_Unlock(link->logMutex);
    return log;
}

} // namespace

void vLink_LogPacket(vLinkRecord *link, uint8_t direction, const vPacket *packet)
{
    if (link->packetLog.load(std::memory_order_acquire) == nullptr)
        return;
    uint8_t wire[vPACKET_MAX_WIRE];
    size_t n = 0;
    if (vPacket_GetBytes(packet, wire, sizeof wire, &n) != vErrNone)
        return;
    if (vLinkPacketLog *log = sLockLog(link)) {
        sLogAdd(log, direction, static_cast<uint32_t>(n), wire);
        vMutex_Unlock(link->logMutex);
    }
}

// Drops the log while other threads may still read it (a reset under a
// running packet logger): logMutex stays, the log goes under it.
void vLink_LogDrop(vLinkRecord *link)
{
    std::lock_guard<std::mutex> hold(gLogCreate);
    vLinkPacketLog *log = nullptr;
    if (link->logMutex != nullptr) {
        vMutex_Lock(link->logMutex);
        log = link->packetLog.exchange(nullptr);
        vMutex_Unlock(link->logMutex);
    }
    if (log != nullptr) {
        std::free(log->buffer);
        delete log;
    }
    link->packetLogSize = 0;
}

// The record's end: no other thread uses it any more.
void vLink_LogDestroy(vLinkRecord *link)
{
    vLink_LogDrop(link);
    if (link->logMutex != nullptr)
        vMutex_Destroy(&link->logMutex);
}

vErr vLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    if (size > vLINK_LOG_MAX_SIZE)
        return vErrParam;
    std::lock_guard<std::mutex> hold(gLogCreate);
    if (link->packetLog.load() != nullptr)
        return vErrBusy;
    link->packetLogSize = size < 0 ? 0 : size;
    return vErrNone;
}

vErr vLink_PacketDebug_Enable(uint32_t linkId)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    std::lock_guard<std::mutex> hold(gLogCreate);
    if (link->logMutex == nullptr) {
        char name[64];
        std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void *>(link));
        link->logMutex = vMutex_Create(name);
        if (link->logMutex == nullptr)
            return vErrResource;
    }
    vLinkPacketLog *log = link->packetLog.load();
    if (log == nullptr) {
        uint32_t size = link->packetLogSize > 0 ? static_cast<uint32_t>(link->packetLogSize) : vLINK_LOG_DEFAULT_SIZE;
        log = new (std::nothrow) vLinkPacketLog();
        uint8_t *buffer = static_cast<uint8_t *>(std::malloc(size));
        if (log == nullptr || buffer == nullptr) {
            delete log;
            std::free(buffer);
            return vErrResource;
        }
        log->buffer = buffer;
        log->size = size;
        log->readIndex = log->writeIndex = 0;
        log->enabled = 1;
        // Published last: the pipe threads start logging once they see it.
        link->packetLog.store(log, std::memory_order_release);
        return vErrNone;
    }
    vMutex_Lock(link->logMutex);
    log->enabled = 1;
    vMutex_Unlock(link->logMutex);
    return vErrNone;
}

vErr vLink_PacketDebug_Disable(uint32_t linkId)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr)
        return vErrParam;
    vLinkPacketLog *log = sLockLog(link);
    if (log == nullptr)
        return vErrNotReady;
    log->enabled = 0;
    vMutex_Unlock(link->logMutex);
    return vErrNone;
}

vErr vLink_PacketDebug_Read(uint32_t linkId, uint8_t *direction, uint32_t *length, uint8_t *buffer)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr || direction == nullptr || length == nullptr || (buffer == nullptr && *length > 0))
        return vErrParam;
    vLinkPacketLog *log = sLockLog(link);
    if (log == nullptr)
        return vErrNotReady;
    vErr err = sLogTake(log, direction, length, buffer);
    vMutex_Unlock(link->logMutex);
    return err;
}

vErr vLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint32_t length, const uint8_t *bytes)
{
    vLinkRecord *link = vLink_Record(linkId);
    if (link == nullptr || (bytes == nullptr && length > 0))
        return vErrParam;
    vLinkPacketLog *log = sLockLog(link);
    if (log == nullptr)
        return vErrNotReady;
    vErr err = sLogAdd(log, direction, length, bytes);
    vMutex_Unlock(link->logMutex);
    return err;
}
