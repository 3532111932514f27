#include "common/vDefs.h"

#include <cstdarg>
#include <cstdio>

std::string vDefs_SerialText(uint32_t serial)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

bool vCorvantisDebuggingEnable = false;
uint32_t vCorvantisDebuggingLevel = 0;

namespace {

struct Model {
    uint32_t code;
    const char *name;
};

const Model kModels[] = {
    {4, "Hub 4"},
    {5, "Hub 8"},
    {13, "Hub 4 Pro"},
    {14, "Hub 8 Pro"},
    {15, "Ether Hub"},
    {16, "Power Hub"},
    {17, "Link Router"},
    {18, "Relay 8"},
    {19, "Servo 4"},
    {20, "Stepper 2"},
    {21, "Analog In 8"},
    {22, "Digital IO 16"},
    {23, "Motor 2"},
    {24, "Serial 2"},
    {25, "Sensor Hub"},
    {26, "Power Switch 4"},
    {27, "Display 1"},
};

} // namespace

const char *vDefs_GetModelName(uint32_t model)
{
    for (const Model &m : kModels)
        if (m.code == model)
            return m.name;
    return "Unknown";
}

bool vDefs_DebugOn(uint32_t level)
{
    return vCorvantisDebuggingEnable && (vCorvantisDebuggingLevel & level) != 0;
}

void vDefs_DebugPrintf(uint32_t level, const char *format, ...)
{
    if (!vDefs_DebugOn(level))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
