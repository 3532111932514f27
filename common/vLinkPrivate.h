// Shared by the files of the link engine and of the transports' link
// creation (USB, client links); not for callers outside the device library.
#pragma once

#include "common/vLink.h"

// The record of a live link, or null.
vLinkRecord *vLink_Record(uint32_t linkId);

// The packet debug log (vLinkPacketLog.cpp), as the pipe threads and the
// record's lifecycle use it: log one packet when the log is on; drop the log
// while other threads may still read it; free the log and its mutex once no
// other thread uses the record.
void vLink_LogPacket(vLinkRecord *link, uint8_t direction, const vPacket *packet);
void vLink_LogDrop(vLinkRecord *link);
void vLink_LogDestroy(vLinkRecord *link);

// Releases everything a link record holds (queues, packet, log, mutexes,
// stream) and clears its check; the threads must be stopped.
void vLink_ReleaseRecord(vLinkRecord *link);

// Makes the stream of a new device link; context is the request's.
typedef vErr (*vLinkStreamOpen)(void *context, vStream **stream);

struct vLinkDeviceRequest {
    uint32_t identifier0;  // link-table identity of the new entry
    uint32_t identifier1;
    uint32_t identifier2;
    uint32_t linkType;
    bool share;            // an entry for (identifier0, linkType) gains a user instead
    bool refuseServed;     // ...unless a link server wraps it: then fail
    bool sync;             // vLink_Sync after the start (USB)
    vLinkStreamOpen open;
    void *context;
};

// The create-or-share step of every device transport: under the lifecycle
// lock, share an existing entry or make one, open its stream, initialise,
// add the first user, start (and sync). Returns the id, or 0 with nothing
// left behind.
uint32_t vLink_CreateDeviceLink(const vLinkDeviceRequest *request);
