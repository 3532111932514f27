// Clock and sleeping.
#pragma once

#include <cstdint>

// Wall-clock milliseconds; wraps at 32 bits, so compare by difference.
// 0 when the clock cannot be read.
uint32_t vTime_GetMSTicks(void);
// Sleeps the given number of milliseconds (0 returns at once).
void vTime_MSSleep(uint32_t milliseconds);
