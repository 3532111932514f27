// Joinable threads.
#pragma once

#include "common/vError.h"

typedef struct vThreadRecord vThread;
typedef void *(*vThreadFunction)(void *argument);

// Starts function(argument) on a new joinable thread; null on failure.
vThread *vThread_Create(vThreadFunction function, void *argument);
// Waits for the thread to return, frees the handle and sets *thread to null.
// Returns the join result (0 on success). The thread function must watch a
// flag its owner clears before calling this.
int vThread_Destroy(vThread **thread);
// Gives up the processor briefly (5 microseconds).
void vThread_Yield(void);
