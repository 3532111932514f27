// Clock and sleeping over POSIX.
#include "common/vTime.h"

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
    // usleep accepts at most 999999 microseconds at a time.
    uint64_t remaining = uint64_t(milliseconds) * 1000u;
    while (remaining > 0) {
        useconds_t slice = remaining > 999999u ? 999999u : useconds_t(remaining);
        usleep(slice);
        remaining -= slice;
    }
}
