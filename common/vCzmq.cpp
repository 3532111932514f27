#include "common/vCzmq.h"

#include <czmq.h>

#include <mutex>

void vCzmq_Init(void)
{
    static std::once_flag once;
    std::call_once(once, [] { zsys_handler_set(nullptr); });
}
