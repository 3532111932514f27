#include "common/vVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t kMajor = 2;
const uint8_t kMinor = 12;
const uint8_t kPatch = 4;
const char *const kPhase = ".";

struct Feature {
    const char *name;
    const char *description;
};

const Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};
const size_t kFeatureCount = sizeof(kFeatures) / sizeof(kFeatures[0]);

} // namespace

bool vVersion_ParseBuild(const char *text, uint64_t *build, bool whole)
{
    if (!text || !build)
        return false;
    const char *p = text;
    if (!whole)
        while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
            ++p;
    if (*p < '0' || *p > '9')
        return false;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = uint64_t(*p - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    if (whole && *p != '\0')
        return false;
    *build = value;
    return true;
}

uint32_t vVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
    return (uint32_t(major) << 28) | ((uint32_t(minor) << 24) & 0x0F000000u) | patch;
}

bool vVersion_IsLegacyFormat(uint32_t packed)
{
    uint8_t major = uint8_t(packed >> 28);
    uint8_t minor = uint8_t((packed >> 24) & 0x0F);
    // (2, 15, 0) >= (major, minor, 255) holds exactly when (major, minor) < (2, 15).
    return vVersion_IsAtLeastCompare(2, 15, 0, major, minor, 255);
}

uint32_t vVersion_ParseMajor(uint32_t packed)
{
    return vVersion_IsLegacyFormat(packed) ? packed >> 28 : (packed >> 16) & 0xFF;
}

uint32_t vVersion_ParseMinor(uint32_t packed)
{
    return vVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0x0F : (packed >> 8) & 0xFF;
}

uint32_t vVersion_ParsePatch(uint32_t packed)
{
    return vVersion_IsLegacyFormat(packed) ? packed & 0x00FFFFFF : packed & 0xFF;
}

int vVersion_ParseString(uint32_t packed, char *buffer, size_t size)
{
    return snprintf(buffer, size, "%d.%d.%d", int(vVersion_ParseMajor(packed)),
                    int(vVersion_ParseMinor(packed)), int(vVersion_ParsePatch(packed)));
}

uint8_t vVersion_GetMajor(void) { return kMajor; }
uint8_t vVersion_GetMinor(void) { return kMinor; }
uint8_t vVersion_GetPatch(void) { return kPatch; }

const char *vVersion_GetString(void)
{
    // Built once; the static initialisation is thread-safe.
    static char text[15];
    static const bool built = [] {
        snprintf(text, sizeof(text), "%d.%d%s%d", kMajor, kMinor, kPhase, kPatch);
        return true;
    }();
    (void)built;
    return text;
}

bool vVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1,
                               uint8_t major2, uint8_t minor2, uint8_t patch2)
{
    if (major1 != major2)
        return major1 > major2;
    if (minor1 != minor2)
        return minor1 > minor2;
    return patch1 >= patch2;
}

bool vVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return vVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool vVersion_HasFeature(const char *name)
{
    if (!name)
        return false;
    for (const Feature &f : kFeatures)
        if (strcmp(f.name, name) == 0)
            return true;
    return false;
}

char *vVersion_GetFeatureList(void)
{
    // Sized from the real text lengths so a longer description is never cut.
    size_t size = 1;
    for (size_t i = 0; i < kFeatureCount; ++i)
        size += strlen(kFeatures[i].name) + 3 + strlen(kFeatures[i].description) + (i + 1 < kFeatureCount ? 1 : 0);
    char *text = static_cast<char *>(calloc(size, 1));
    if (!text)
        return nullptr;
    for (size_t i = 0; i < kFeatureCount; ++i) {
        strncat(text, kFeatures[i].name, size - strlen(text) - 1);
        strncat(text, " - ", size - strlen(text) - 1);
        strncat(text, kFeatures[i].description, size - strlen(text) - 1);
        if (i + 1 < kFeatureCount)
            strncat(text, "\n", size - strlen(text) - 1);
    }
    return text;
}

void vVersion_DestroyFeatureList(char **list)
{
    if (!list)
        return;
    free(*list);
    *list = nullptr;
}
