// Model data, the text form of serial numbers, and the library's debug
// printing switches.
#pragma once

#include <cstdint>
#include <string>

// Product name of a model code a device reports; "Unknown" for codes we do not make.
const char *vDefs_GetModelName(uint32_t model);

// A serial number as it is shown, named on disk, sent to the server and
// matched on the bus: eight upper-case hexadecimal digits ("%08X").
std::string vDefs_SerialText(uint32_t serial);

// Debug printing of the device library to standard output: off unless a program
// sets the switch, and then only for the areas whose bit is set in the level.
//   0x1 link lifecycle and link table, 0x2 link packet traffic, 0x4 link server,
//   0x8 multicast sockets, 0x10 discovery and network interfaces,
//   0x20 server client stream, 0x40 module, 0x200 network specifier and
//   beacon interface, 0x400 USB driver.
extern bool vCorvantisDebuggingEnable;
extern uint32_t vCorvantisDebuggingLevel;

enum {
    vDEBUG_LINK = 0x1,
    vDEBUG_PACKET = 0x2,
    vDEBUG_SERVER = 0x4,
    vDEBUG_MULTICAST = 0x8,
    vDEBUG_DISCOVERY = 0x10,
    vDEBUG_CLIENTSTREAM = 0x20,
    vDEBUG_MODULE = 0x40,
    vDEBUG_NETSPEC = 0x200,
    vDEBUG_USB = 0x400,
};

// True when debug printing is on for the area bit(s) in level.
bool vDefs_DebugOn(uint32_t level);
// printf to standard output and flush, only when vDefs_DebugOn(level).
void vDefs_DebugPrintf(uint32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));
