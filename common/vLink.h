// Link engine: one byte stream to a device turned into two packet queues,
// worked by an input thread (sync, heartbeats, user filter, inbound queue)
// and an output thread (outbound queue to the stream, single or pooled).
//
// Callers name a link by its link-table id. Creation, sharing by use count,
// reset and teardown are the vLink_Create* / vLink_Reset / vLink_Destroy
// operations below.
#pragma once

#include "common/vError.h"
#include "common/vMutex.h"
#include "common/vPacket.h"
#include "common/vStream.h"
#include "common/vThread.h"

#include <atomic>
#include <cstdint>

#define vLINK_CHECK 0xCEED

typedef enum {
    linkStatusStopped = 0,
    linkStatusStarting = 1,
    linkStatusRunning = 2,   // running and in sync
    linkStatusStopping = 3,
    linkStatusSyncing = 4,
    linkStatusInvalid = 5,   // no stream, or not a registered link
    linkStatusIOError = 6,   // the next idle read starts a resynchronisation
    linkStatusQueueError = 8 // a received packet could not be queued
} linkStatus;

// Runs on the input thread for every complete packet, before heartbeat
// handling; returning exactly 1 consumes the packet. Must not block.
typedef int (*vLinkUserFilter)(const vPacket *packet, void *reference);
// Called after each heartbeat answer: false for heartbeat up, true for down.
typedef void (*vLinkHeartbeatCallback)(bool down);

// Packet debug log: a byte ring of records (direction, length, bytes).
enum {
    vLinkLogSent = 1,
    vLinkLogReceived = 2,
    vLinkLogMarker = 3,
};
#define vLINK_LOG_DEFAULT_SIZE 0x10000
#define vLINK_LOG_MAX_SIZE 0x4000000

struct vLinkPacketLog {
    uint8_t enabled;
    uint8_t *buffer;
    uint32_t size;
    uint32_t readIndex;
    uint32_t writeIndex;
};

// One per link, owned by its link-table entry. Fields shared between the pipe
// threads and callers are atomics; the filter and the log have their mutexes.
struct vLinkRecord {
    uint16_t check;
    uint32_t linkId;
    std::atomic<bool> running;
    std::atomic<int> status;
    std::atomic<uint64_t> inQueue;
    std::atomic<uint64_t> outQueue;
    vPacket *rxPacket;  // input thread only
    vThread *inThread;
    vThread *outThread;
    vThreadFunction inProcess;
    vThreadFunction outProcess;
    std::atomic<bool> inStarted;
    std::atomic<bool> outStarted;
    vStream *stream;
    std::atomic<int> hbState;
    vLinkHeartbeatCallback hbCallback;
    std::atomic<int> syncState;
    uint8_t syncByte;
    uint32_t lastActivityMs;  // input thread: last byte or sync start
    std::atomic<vLinkPacketLog *> packetLog;
    int32_t packetLogSize;
    vMutex *logMutex;
    vLinkUserFilter userFilter;
    void *userFilterRef;
    vMutex *filterMutex;
    std::atomic<bool> pooled;
};
typedef struct vLinkRecord vLinkRecord;

// --- engine -------------------------------------------------------------

// Initialises the record of the table entry over stream (null: status 5).
// Returns linkId, or 0 when the entry or its record is missing.
uint32_t vLink_Init(uint32_t linkId, vStream *stream);
vErr vLink_Start(uint32_t linkId);
vErr vLink_Stop(vLinkRecord *link);
vErr vLink_Sync(uint32_t linkId);
vErr vLink_ForceRoute(uint32_t linkId, bool on);
int vLink_GetStatus(uint32_t linkId);

vErr vLink_PutPacket(uint32_t linkId, const vPacket *packet);
// Queues count packets in order as one batch (vPacketFifo_PutMany).
vErr vLink_PutPackets(uint32_t linkId, const vPacket *const *packets, uint32_t count);
vPacket *vLink_GetPacket(uint32_t linkId);
vPacket *vLink_AwaitPacket(uint32_t linkId, uint32_t timeoutMs);
vPacket *vLink_GetFirst(uint32_t linkId, vPacketFilter filter, void *reference);
vPacket *vLink_AwaitFirst(uint32_t linkId, vPacketFilter filter, void *reference, uint32_t timeoutMs);
uint32_t vLink_DrainPackets(uint32_t linkId, vPacketFilter filter, void *reference);

vErr vLink_InstallUserPacketFilter(uint32_t linkId, vLinkUserFilter filter, void *reference);
vErr vLink_EnablePooledPackets(uint32_t linkId, bool on);

vErr vLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size);
vErr vLink_PacketDebug_Enable(uint32_t linkId);
vErr vLink_PacketDebug_Disable(uint32_t linkId);
// *length: the buffer size in, the record's length out.
vErr vLink_PacketDebug_Read(uint32_t linkId, uint8_t *direction, uint32_t *length, uint8_t *buffer);
vErr vLink_PacketDebug_Write(uint32_t linkId, uint8_t direction, uint32_t length, const uint8_t *bytes);

// --- creation and teardown ---------------------------------------------
// Each create returns the link id, or 0 on failure (nothing is left behind).
// A second create for the same device shares the link and adds a user.

// USB device by serial number (common/vLink_usb.cpp); the new link is synchronised.
uint32_t vLink_CreateUSB(uint32_t serialNumber);
// TCP/IP device at an IPv4 address (network byte order) and port.
uint32_t vLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// COBS-framed serial line; baudRate one of 2400 ... 230400.
uint32_t vLink_CreateSerial(uint32_t serialNumber, const char *path, uint32_t baudRate);
// Over a stream the caller made. The link owns the stream once this succeeds;
// on failure the stream stays the caller's.
uint32_t vLink_Create(vStream *stream);
// Stops the link, rebuilds its stream by transport (up to 20 attempts 100 ms
// apart) and restarts it.
vErr vLink_Reset(uint32_t linkId);
// Drops one user; the last one tears the link down. *linkId becomes 0.
vErr vLink_Destroy(uint32_t *linkId);

// Transports built on top of the engine (USB, client links through a link
// server) plug in their stream maker here, so vLink_Reset can rebuild their
// streams: identifiers are the link-table entry's.
typedef vErr (*vLinkStreamMaker)(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2,
                                 vStream **stream);
void vLink_RegisterStreamMaker(uint32_t linkType, vLinkStreamMaker maker);
// The link server registers how its servers are destroyed with their link.
struct vServer;
typedef void (*vLinkServerDestroyer)(struct vServer *server);
void vLink_RegisterServerDestroyer(vLinkServerDestroyer destroyer);
