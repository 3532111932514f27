// Clock and sleeping over POSIX.
#include "common/vTime.h"

#include <cerrno>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

uint32_t vTime_GetMSTicks(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return 0;
    return uint32_t(uint64_t(tv.tv_sec) * 1000u + uint64_t(tv.tv_usec) / 1000u);
}

void vTime_MSSleep(uint32_t milliseconds)
{
    // Slices of at most 999999 microseconds; a signal does not cut a slice short.
    uint64_t remaining = uint64_t(milliseconds) * 1000u;
    while (remaining > 0) {
        uint64_t slice = remaining > 999999u ? 999999u : remaining;
        struct timespec request = {0, long(slice * 1000u)};
        struct timespec left;
        while (nanosleep(&request, &left) != 0 && errno == EINTR)
            request = left;
        remaining -= slice;
    }
}
