// Shared between the link engine and link creation; not for other callers.
#pragma once

#include "common/vLink.h"

// Releases everything a link record holds (queues, packet, log, mutexes,
// stream) and clears its check; the threads must be stopped.
void vLink_ReleaseRecord(vLinkRecord *link);

// Device links of transports that live in their own files: shares the link of
// (identifier0, linkType) when there is one (refused when a link server wraps
// it and refuseServed), else makes a new entry over the stream make builds,
// initialises it, adds its first user, starts it and, when ready is given,
// lets ready(linkId) confirm it. Every failure leaves nothing behind; 0.
uint32_t vLink_CreateDevice(uint32_t linkType, uint32_t identifier0, uint32_t identifier1, uint32_t identifier2,
                            vLinkStreamMaker make, bool refuseServed, vErr (*ready)(uint32_t linkId));
