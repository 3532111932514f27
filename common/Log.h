// Process-wide debug log. Each line belongs to a package bit; a line is
// written only when its package is active (chosen with -X), except lines
// logged with mask 0, which are always written. Format strings carry their
// own "\n".
//
// It lives at the bottom so that every layer (store, server client, update
// logic, front end) logs through it. The device library's own debug printing
// (vDefs_DebugPrintf) stays separate: it writes to standard output, which the
// program keeps for its results.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    // 0x00000010 is listed as DEBUG_Network too in the usage text; nothing logs under it.
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log
{
public:
    Log() {}
    ~Log() {}

    static void log(unsigned mask, const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (mask != 0 && (mask & package_bitmask) == 0)
            return;
        char text[2048];
        va_list args;
        va_start(args, format);
        int length = vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (length < 0 || !fh)
            return;
        if (length > static_cast<int>(sizeof text) - 1)
            length = sizeof text - 1;
        fwrite(text, 1, static_cast<size_t>(length), fh);
    }

    // Where lines go; none (null) until the program sets it.
    static void SetOutput(FILE *stream) { fh = stream; }
    static void ActivatePackage(unsigned mask) { package_bitmask |= mask; }
    static void DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }
    static uint32_t ActivePackages() { return package_bitmask; }

private:
    inline static uint32_t package_bitmask = 0;
    inline static FILE *fh = nullptr;
};
