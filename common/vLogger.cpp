#include "common/vLogger.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <pthread.h>

#define vVALIDLOGGER 0xDEED

struct vLoggerRecord {
    uint32_t reference;
    vLoggerCallback callback;
    vFile *file;
    pthread_t thread;
    bool hasThread;
    std::atomic<uint8_t> running;
    uint16_t check;
    std::mutex control; // serialises enable/disable against each other
};

namespace {

bool sValid(const vLogger *logger)
{
    return logger && logger->check == vVALIDLOGGER;
}

// The logger whose loop runs on this thread, if any.
thread_local const vLogger *tCurrentLogger = nullptr;

void *sLoggerThread(void *argument)
{
    vLogger *logger = static_cast<vLogger *>(argument);
    tCurrentLogger = logger;
    while (logger->running.load(std::memory_order_acquire))
        logger->callback(logger->file, logger->reference);
    return nullptr;
}

bool sOnLoggerThread(const vLogger *logger)
{
    return tCurrentLogger == logger;
}

} // namespace

vLogger *vLogger_Create(uint32_t reference, vLoggerCallback callback, const char *path)
{
    if (!callback)
        return nullptr;
    vFile *file = vFile_Open(path, vFileModeAppend);
    if (!file)
        return nullptr;
    vFile_SetUnbuffered(file);
    vLogger *logger = new (std::nothrow) vLogger();
    if (!logger) {
        vFile_Close(&file);
        return nullptr;
    }
    logger->reference = reference;
    logger->callback = callback;
    logger->file = file;
    logger->hasThread = false;
    logger->running = 0;
    logger->check = vVALIDLOGGER;
    return logger;
}

vErr vLogger_Enable(vLogger *logger)
{
    if (!sValid(logger))
        return vErrParam;
    std::lock_guard<std::mutex> hold(logger->control);
    if (logger->hasThread)
        return logger->running ? vErrNone : vErrBusy;
    logger->running = 1;
    if (pthread_create(&logger->thread, nullptr, sLoggerThread, logger) != 0) {
        logger->running = 0;
        return vErrResource;
    }
    logger->hasThread = true;
    return vErrNone;
}

vErr vLogger_Disable(vLogger *logger)
{
    if (!sValid(logger))
        return vErrParam;
    logger->running.store(0, std::memory_order_release);
    // The callback runs on the logger thread and may ask to stop; it cannot
    // join itself, and must not wait on the lock held by a joiner.
    if (sOnLoggerThread(logger))
        return vErrNone;
    std::lock_guard<std::mutex> hold(logger->control);
    if (!logger->hasThread)
        return vErrNone;
    int rc = pthread_join(logger->thread, nullptr);
    logger->hasThread = false;
    return rc == 0 ? vErrNone : vErrUnknown;
}

vErr vLogger_Destroy(vLogger **logger)
{
    if (!logger || !sValid(*logger))
        return vErrParam;
    vLogger *l = *logger;
    if (sOnLoggerThread(l))
        return vErrBusy; // freeing the record under the running loop would pull the floor out
    vErr err = vLogger_Disable(l);
    vFile_Close(&l->file);
    l->check = 0;
    delete l;
    *logger = nullptr;
    return err;
}
