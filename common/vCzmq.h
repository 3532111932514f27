// czmq set up the way this library needs it.
#pragma once

// Call before any other czmq use; idempotent and thread-safe. czmq would
// otherwise take over SIGINT and SIGTERM on first use, so that a command-line
// program no longer ends on Ctrl-C after, say, a beacon discovery.
void vCzmq_Init(void);
