// Packet queues addressed by a 64-bit identifier (never 0), safe for any
// number of threads putting, taking and waiting at once.
//
// Packets put in are copied (the caller keeps its own); packets handed out
// are owned by the caller (release with vPacket_Destroy). A queue that holds
// more than 1000 packets after a put is cleared. Filtered waits examine each
// queued packet at most once per waiter, however long the queue.
//
// Filters run with the queue locked: they must be quick and must not call
// back into the same queue.
#pragma once

#include "common/vError.h"
#include "common/vPacket.h"

#include <cstdint>

#define vPACKETFIFO_MAX_ENTRIES 1000

// 0 when the queue cannot be made.
uint64_t vPacketFifo_Create(void);
// Clears the queue, wakes every waiter (they return null) and sets *identifier to 0.
vErr vPacketFifo_Destroy(uint64_t *identifier);
uint32_t vPacketFifo_GetLength(uint64_t identifier);
vErr vPacketFifo_Put(uint64_t identifier, const vPacket *packet);
// Puts count packets in order under one lock with at most one wake-up; the
// result is that of count puts, each packet counting against the bound on
// its own. An invalid packet (or a failed copy) ends the batch with
// vErrParam, the packets before it queued.
vErr vPacketFifo_PutMany(uint64_t identifier, const vPacket *const *packets, uint32_t count);
// Oldest packet or null; never waits.
vPacket *vPacketFifo_Get(uint64_t identifier);
// Oldest packet, waiting up to timeout milliseconds; null on time-out or destroy.
vPacket *vPacketFifo_Await(uint64_t identifier, uint32_t timeout);
// Oldest packet the filter accepts, or null; never waits.
vPacket *vPacketFifo_GetFirst(uint64_t identifier, vPacketFilter filter, void *reference);
// Oldest packet the filter accepts, waiting up to timeout milliseconds.
vPacket *vPacketFifo_AwaitFirst(uint64_t identifier, vPacketFilter filter, void *reference, uint32_t timeout);
// Removes and releases every packet the filter accepts (every packet for a
// null filter); returns how many.
uint32_t vPacketFifo_DrainPackets(uint64_t identifier, vPacketFilter filter, void *reference);
