// What the program prints: version and copyright lines, usage texts, and the
// results of its commands.
#pragma once

#include "updater/Updater.h"

#include <string>
#include <vector>

class UpdaterDisplayInterface;

// "Updater (Version: 2.12.4 May 26 2026)".
void _display_app_version(UpdaterDisplayInterface &display);
void _display_copyright(UpdaterDisplayInterface &display);
// Straight to standard error: the short text; with full, the parameters and
// commands, the extended text (only when extended too) and the samples.
void _display_usage(bool extended, bool full);
void _display_device_list(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &devices, uint32_t type);
// Newest version first.
void _display_builds(UpdaterDisplayInterface &display, const BuildList &builds, uint32_t serial);
void _display_fingerprint(UpdaterDisplayInterface &display, const Fingerprint &fingerprint);
void _display_jwt(UpdaterDisplayInterface &display, const std::string &token);

// The build date of the version line, "May 26 2026".
const char *_build_date();
// "May  6 2026" (the compiler's date form) -> "May 06 2026".
std::string _format_compiler_date(const char *date);
