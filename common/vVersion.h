// Library version, the packed firmware version format devices report, build
// numbers, and the feature list.
//
// A packed version is 32 bits in one of two layouts:
//   legacy  (below 2.15): major bits 31..28, minor bits 27..24, patch bits 23..0
//   current (2.15 on):    0x2F in bits 31..24, major 23..16, minor 15..8, patch 7..0
#pragma once

#include <cstdint>
#include <cstddef>

uint32_t vVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool vVersion_IsLegacyFormat(uint32_t packed);
uint32_t vVersion_ParseMajor(uint32_t packed);
uint32_t vVersion_ParseMinor(uint32_t packed);
uint32_t vVersion_ParsePatch(uint32_t packed);
// Writes "major.minor.patch"; returns what snprintf returns.
int vVersion_ParseString(uint32_t packed, char *buffer, size_t size);

// Build numbers are decimal text: in the server's replies, the store's file
// names ("1234.bird") and an image's information block. Reads the number text
// starts with (leading blanks allowed, what follows the digits ignored);
// false, *build unchanged, when it starts with no digit or the number does
// not fit 64 bits. With whole, text must be decimal digits and nothing else.
// Callers keep 32 bits of it as they need.
bool vVersion_ParseBuild(const char *text, uint64_t *build, bool whole = false);

uint8_t vVersion_GetMajor(void);
uint8_t vVersion_GetMinor(void);
uint8_t vVersion_GetPatch(void);
// The library's own version text, "2.12.4" (a static buffer).
const char *vVersion_GetString(void);

// True when version 1 is the same as or newer than version 2.
bool vVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1,
                               uint8_t major2, uint8_t minor2, uint8_t patch2);
// True when this library is at least the given version.
bool vVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

bool vVersion_HasFeature(const char *name);
// "NAME - Description" lines joined by "\n"; free with vVersion_DestroyFeatureList.
char *vVersion_GetFeatureList(void);
void vVersion_DestroyFeatureList(char **list);
