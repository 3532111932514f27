// Named mutexes (not recursive). Locking a mutex the caller already holds
// reports vErrDuplicate rather than hanging.
#pragma once

#include "common/vError.h"

typedef struct vMutexRecord vMutex;

// name may be null; a name of 256 characters or more gives null.
vMutex *vMutex_Create(const char *name);
const char *vMutex_Identifier(const vMutex *mutex);
vErr vMutex_Lock(vMutex *mutex);
// vErrBusy when another holder has it.
vErr vMutex_TryLock(vMutex *mutex);
// vErrPermission when the caller does not hold it.
vErr vMutex_Unlock(vMutex *mutex);
// vErrBusy (and nothing freed) while the mutex is held.
vErr vMutex_Destroy(vMutex **mutex);
