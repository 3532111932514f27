// Shared between the link engine and link creation; not for other callers.
#pragma once

#include "common/vLink.h"

// Releases everything a link record holds (queues, packet, log, mutexes,
// stream) and clears its check; the threads must be stopped.
void vLink_ReleaseRecord(vLinkRecord *link);
