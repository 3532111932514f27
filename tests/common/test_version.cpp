#include "common/vDefs.h"
#include "common/vVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(Version, PackChoosesLayoutByVersion)
{
    struct Case { uint8_t major, minor, patch; uint32_t packed; };
    const Case cases[] = {
        {2, 14, 7, 0x2E000007},   // newest legacy
        {2, 15, 0, 0x2F020F00},   // first current
        {3, 0, 1, 0x2F030001},
        {1, 2, 255, 0x120000FF},
        {0, 0, 0, 0x00000000},
        {1, 0x1F, 0, 0x1F000000}, // legacy minor keeps only 4 bits
        {255, 255, 255, 0x2FFFFFFF},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vVersion_Pack(c.major, c.minor, c.patch), c.packed)
            << int(c.major) << "." << int(c.minor) << "." << int(c.patch);
}

TEST(Version, ParseDecodesBothLayouts)
{
    struct Case { uint32_t packed; bool legacy; uint32_t major, minor, patch; const char *text; };
    const Case cases[] = {
        {0x2F020F00, false, 2, 15, 0, "2.15.0"},
        {0x2F030001, false, 3, 0, 1, "3.0.1"},
        {0x12000105, true, 1, 2, 261, "1.2.261"},   // legacy patch is 24 bits wide
        {0x2E000007, true, 2, 14, 7, "2.14.7"},
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
        {0x30000001, false, 0, 0, 1, "0.0.1"},      // top nibble above 2: not legacy
        {0x00000000, true, 0, 0, 0, "0.0.0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(vVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(vVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(vVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(vVersion_ParsePatch(c.packed), c.patch);
        char text[32];
        EXPECT_EQ(vVersion_ParseString(c.packed, text, sizeof(text)), int(strlen(c.text)));
        EXPECT_STREQ(text, c.text);
    }
}

TEST(Version, PackThenParseRoundTrips)
{
    for (unsigned major = 0; major < 256; major += 5)
        for (unsigned minor = 0; minor < 256; minor += 3) {
            uint8_t patch = uint8_t(major * 7 + minor);
            uint32_t packed = vVersion_Pack(uint8_t(major), uint8_t(minor), patch);
            bool legacy = major < 2 || (major == 2 && minor < 15);
            if (legacy && minor > 15)
                continue; // legacy minor has only 4 bits
            ASSERT_EQ(vVersion_IsLegacyFormat(packed), legacy) << major << "." << minor;
            EXPECT_EQ(vVersion_ParseMajor(packed), major);
            EXPECT_EQ(vVersion_ParseMinor(packed), minor);
            EXPECT_EQ(vVersion_ParsePatch(packed), patch);
        }
}

TEST(Version, CompareFieldByField)
{
    struct Case { uint8_t a[3]; uint8_t b[3]; bool atLeast; };
    const Case cases[] = {
        {{2, 12, 4}, {2, 12, 4}, true},
        {{2, 12, 4}, {2, 13, 0}, false},
        {{2, 12, 4}, {2, 12, 5}, false},
        {{2, 12, 4}, {2, 11, 200}, true},
        {{3, 0, 0}, {2, 255, 255}, true},
        {{1, 255, 255}, {2, 0, 0}, false},
        {{200, 0, 0}, {100, 0, 0}, true},     // compared unsigned
        {{0, 0, 0}, {0, 0, 0}, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(vVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast)
            << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs "
            << int(c.b[0]) << "." << int(c.b[1]) << "." << int(c.b[2]);
}

TEST(Version, LibraryVersion)
{
    EXPECT_EQ(vVersion_GetMajor(), 2);
    EXPECT_EQ(vVersion_GetMinor(), 12);
    EXPECT_EQ(vVersion_GetPatch(), 4);
    EXPECT_STREQ(vVersion_GetString(), "2.12.4");
    EXPECT_EQ(vVersion_GetString(), vVersion_GetString());
    EXPECT_TRUE(vVersion_IsAtLeast(2, 12, 4));
    EXPECT_TRUE(vVersion_IsAtLeast(2, 12, 3));
    EXPECT_FALSE(vVersion_IsAtLeast(2, 12, 5));
    EXPECT_FALSE(vVersion_IsAtLeast(2, 13, 0));
}

TEST(Version, Features)
{
    EXPECT_TRUE(vVersion_HasFeature("VERSION"));
    EXPECT_FALSE(vVersion_HasFeature("VERSIO"));
    EXPECT_FALSE(vVersion_HasFeature("version"));
    EXPECT_FALSE(vVersion_HasFeature(""));
    EXPECT_FALSE(vVersion_HasFeature(nullptr));

    char *list = vVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    vVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    vVersion_DestroyFeatureList(&list); // a cleared handle is harmless
}

// Build numbers as the server, the store and images write them.
TEST(Version, ParseBuild)
{
    struct {
        const char *text;
        bool whole;
        bool ok;
        uint64_t build;
    } cases[] = {
        {"1234", false, true, 1234},
        {"  1234\r", false, true, 1234}, // a reply line's blanks around it
        {"7x", false, true, 7},
        {"7x", true, false, 0},
        {" 7", true, false, 0},
        {"", false, false, 0},
        {"x7", false, false, 0},
        {"-5", false, false, 0},
        {"18446744073709551615", true, true, UINT64_MAX},
        {"18446744073709551616", false, false, 0},
        {"99999999999999999999", false, false, 0},
    };
    for (const auto &c : cases) {
        uint64_t build = 42;
        EXPECT_EQ(vVersion_ParseBuild(c.text, &build, c.whole), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(build, c.ok ? c.build : 42u) << '"' << c.text << '"';
    }
    uint64_t build = 0;
    EXPECT_FALSE(vVersion_ParseBuild(nullptr, &build));
}

TEST(Defs, SerialText)
{
    EXPECT_EQ(vDefs_SerialText(0x0012ABCD), "0012ABCD");
    EXPECT_EQ(vDefs_SerialText(0), "00000000");
    EXPECT_EQ(vDefs_SerialText(0xDEADDEAD), "DEADDEAD");
}

TEST(Defs, ModelNames)
{
    std::set<std::string> names;
    for (unsigned code = 0; code < 64; ++code) {
        bool known = code == 4 || code == 5 || (code >= 13 && code <= 27);
        const char *name = vDefs_GetModelName(code);
        ASSERT_NE(name, nullptr);
        if (known) {
            EXPECT_STRNE(name, "Unknown") << code;
            EXPECT_TRUE(names.insert(name).second) << "duplicate name for " << code;
        } else {
            EXPECT_STREQ(name, "Unknown") << code;
        }
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(vDefs_GetModelName(0xFFFFFFFFu), "Unknown");
}

TEST(Defs, DebugPrintingIsOffAtStart)
{
    EXPECT_FALSE(vCorvantisDebuggingEnable);
    EXPECT_EQ(vCorvantisDebuggingLevel, 0u);
    EXPECT_FALSE(vDefs_DebugOn(0xFFFFFFFFu));
}
