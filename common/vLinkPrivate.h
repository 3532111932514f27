// Shared by the files of the link engine and of the transports' link
// creation (USB, client links); not for callers outside the device library.
#pragma once

#include "common/vLink.h"

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
