// Mutexes over POSIX threads.
#include "common/vMutex.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>

#define vMUTEX_NAME_MAX 255

struct vMutexRecord {
    pthread_mutex_t mutex;
    char name[vMUTEX_NAME_MAX + 1];
    // Identity of the holding thread (0 when free). Only the holder ever
    // finds its own identity here, so relaxed access is enough.
    std::atomic<uintptr_t> owner;
};

namespace {

// A per-thread identity that is never 0.
uintptr_t sSelf()
{
    thread_local char tag;
    return reinterpret_cast<uintptr_t>(&tag);
}

vErr sMapError(int rc)
{
    switch (rc) {
    case 0:
        return vErrNone;
    case EDEADLK:
        return vErrDuplicate;
    case EBUSY:
        return vErrBusy;
    case EPERM:
        return vErrPermission;
    case EINVAL:
        return vErrParam;
    default:
        return vErrUnknown;
    }
}

} // namespace

vMutex *vMutex_Create(const char *name)
{
    if (name && strnlen(name, vMUTEX_NAME_MAX + 1) > vMUTEX_NAME_MAX)
        return nullptr;
    vMutex *m = new (std::nothrow) vMutex();
    if (!m)
        return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    if (name)
        strcpy(m->name, name);
    return m;
}

const char *vMutex_Identifier(const vMutex *mutex)
{
    return mutex ? mutex->name : nullptr;
}

// The holder's identity is tracked so that a second lock by the holder
// reports vErrDuplicate instead of hanging, and an unlock by anyone else
// reports vErrPermission instead of releasing someone else's lock.
vErr vMutex_Lock(vMutex *mutex)
{
    if (!mutex)
        return vErrParam;
    if (mutex->owner.load(std::memory_order_relaxed) == sSelf())
        return vErrDuplicate;
    vErr err = sMapError(pthread_mutex_lock(&mutex->mutex));
    if (err == vErrNone)
        mutex->owner.store(sSelf(), std::memory_order_relaxed);
    return err;
}

vErr vMutex_TryLock(vMutex *mutex)
{
    if (!mutex)
        return vErrParam;
    if (mutex->owner.load(std::memory_order_relaxed) == sSelf())
        return vErrBusy;
    vErr err = sMapError(pthread_mutex_trylock(&mutex->mutex));
    if (err == vErrNone)
        mutex->owner.store(sSelf(), std::memory_order_relaxed);
    return err;
}

vErr vMutex_Unlock(vMutex *mutex)
{
    if (!mutex)
        return vErrParam;
    if (mutex->owner.load(std::memory_order_relaxed) != sSelf())
        return vErrPermission;
    mutex->owner.store(0, std::memory_order_relaxed);
    return sMapError(pthread_mutex_unlock(&mutex->mutex));
}

vErr vMutex_Destroy(vMutex **mutex)
{
    if (!mutex || !*mutex)
        return vErrParam;
    vMutex *m = *mutex;
    // A held mutex stays alive: its holder will still unlock it.
    if (m->owner.load(std::memory_order_relaxed) == sSelf())
        return vErrBusy;
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc != 0)
        return rc == EBUSY || rc == EDEADLK ? vErrBusy : vErrUnknown;
    pthread_mutex_unlock(&m->mutex);
    rc = pthread_mutex_destroy(&m->mutex);
    if (rc == EBUSY)
        return vErrBusy;
    if (rc == EAGAIN || rc == ENOMEM)
        return vErrResource;
    delete m;
    *mutex = nullptr;
    return rc == 0 ? vErrNone : vErrUnknown;
}
