// Threads over POSIX threads.
#include "common/vThread.h"

#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

struct vThreadRecord {
    pthread_t thread;
};

vThread *vThread_Create(vThreadFunction function, void *argument)
{
    if (!function)
        return nullptr;
    vThread *t = static_cast<vThread *>(calloc(1, sizeof(vThread)));
    if (!t)
        return nullptr;
    if (pthread_create(&t->thread, nullptr, function, argument) != 0) {
        free(t);
        return nullptr;
    }
    return t;
}

int vThread_Destroy(vThread **thread)
{
    if (!thread || !*thread)
        return EINVAL;
    vThread *t = *thread;
    int rc = pthread_join(t->thread, nullptr);
    free(t);
    *thread = nullptr;
    return rc;
}

void vThread_Yield(void)
{
    usleep(5);
}
