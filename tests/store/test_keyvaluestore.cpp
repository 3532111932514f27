#include "store/KeyValueStore.h"
#include "tests/support/file_limit.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <sys/resource.h>

using fixtures::ReadFile;
using fixtures::TempDir;
using Entries = std::map<std::string, std::string>;

namespace {

const std::regex kStamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

class KeyValueStoreTest : public ::testing::Test {
protected:
    // Loads text from a fresh file into a fresh store.
    Entries LoadText(const std::string &text)
    {
        std::string path = dir / ("f" + std::to_string(files++));
        fixtures::WriteFile(path, text);
        KeyValueStore store(path.c_str());
        EXPECT_FALSE(store.IsModified());
        EXPECT_EQ(store.Path(), path);
        return store.Entries();
    }
    TempDir dir;
    int files = 0;
};

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithTwoEqualStamps)
{
    std::string path = dir / ".settings";
    KeyValueStore store(path.c_str());
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(store.Path(), path);

    std::string text = ReadFile(path);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex("CREATED_TIME=(.{24})\nUPDATED_TIME=(.{24})\n"))) << text;
    EXPECT_EQ(m[1].str(), m[2].str());
    EXPECT_TRUE(std::regex_match(m[1].str(), kStamp)) << m[1];
    EXPECT_EQ(store.GetString("CREATED_TIME"), m[1].str());

    // A second load reads the same file back unchanged.
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.Entries(), store.Entries());
    EXPECT_EQ(ReadFile(path), text);
}

TEST_F(KeyValueStoreTest, LinesAreReadByTheirOwnRules)
{
    struct Case {
        const char *name;
        std::string text;
        Entries want;
    } cases[] = {
        {"trimmed key and value, inner = kept", "  NAME  =  two words = x  \n", {{"NAME", "two words = x"}}},
        {"indented # is part of the key", "  # NOTE=1\n", {{"# NOTE", "1"}}},
        {"# in column one is a comment", "#NOTE=1\n", {}},
        {"three characters give an empty value", "a=\n", {{"a", ""}}},
        {"too short", "=\n\n", {}},
        {"empty key skipped", "=value\n   =x\n", {}},
        {"no = gives the trimmed line as key", "  just a key \t\n", {{"just a key", ""}}},
        {"CR LF", "K=V\r\nL = W \r\n", {{"K", "V"}, {"L", "W"}}},
        {"later line wins", "K=1\nK=2\n", {{"K", "2"}}},
        {"last line without line feed", "K=1\nL=2", {{"K", "1"}, {"L", "2"}}},
        {"line feed counts toward three", "a\nab\nK=1\n", {{"K", "1"}, {"ab", ""}}},
        {"blank lines", "   \n\t\n \nK=1\n", {{"K", "1"}}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(LoadText(c.text), c.want) << c.name;
}

TEST_F(KeyValueStoreTest, ATooLongLineEndsReading)
{
    // 2046 characters and the line feed fit the 2048-byte buffer; 2047 do not.
    std::string fits = "F=" + std::string(2044, 'v');
    std::string too_long = "T=" + std::string(2045, 'v');
    Entries got = LoadText("A=1\n" + fits + "\nB=2\n" + too_long + "\nC=3\n");
    EXPECT_EQ(got, (Entries{{"A", "1"}, {"B", "2"}, {"F", std::string(2044, 'v')}}));
    EXPECT_EQ(LoadText("A=1\n" + std::string(3000, 'x') + "\nB=2\n"), (Entries{{"A", "1"}}));
}

TEST_F(KeyValueStoreTest, LoadMergesIntoHeldEntries)
{
    std::string path = dir / "s";
    fixtures::WriteFile(path, "B=file\nC=file\n");
    KeyValueStore store;
    store.Add("A", "mine");
    store.Add("B", "mine");
    store.Load(path.c_str());
    EXPECT_EQ(store.Entries(), (Entries{{"A", "mine"}, {"B", "file"}, {"C", "file"}}));
    EXPECT_FALSE(store.IsModified());
}

TEST_F(KeyValueStoreTest, TypedGettersReadTheirFormats)
{
    fixtures::WriteFile(dir / "s", "N=1234.bird\nW=abc\nE=\nNEG=  -12x\nH=0x0000ABCD\nh=abcd\n"
                                   "T=1\nF=0\nY=true\nD=1.5\n");
    KeyValueStore store((dir / "s").c_str());
    EXPECT_EQ(store.GetInt("N", 7), 1234);
    EXPECT_EQ(store.GetInt("W", 7), 0) << "a value without digits is 0, not the default";
    EXPECT_EQ(store.GetInt("E", 7), 7) << "an empty value gives the default";
    EXPECT_EQ(store.GetInt("NEG", 7), -12);
    EXPECT_EQ(store.GetHex("H", 1), 0xABCDu);
    EXPECT_EQ(store.GetHex("h", 1), 0xABCDu);
    EXPECT_EQ(store.GetHex("E", 5), 5u);
    EXPECT_TRUE(store.GetBOOL("T", false));
    EXPECT_FALSE(store.GetBOOL("F", true));
    EXPECT_FALSE(store.GetBOOL("Y", true)) << "words read as 0";
    EXPECT_TRUE(store.GetBOOL("E", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 1.5);
    EXPECT_DOUBLE_EQ(store.GetDouble("E", 2.5), 2.5);
    EXPECT_EQ(store.GetString("E", "dflt"), "") << "present but empty is the value";
    EXPECT_EQ(store.GetString("ABSENT", "dflt"), "dflt");
    EXPECT_EQ(store.GetString("ABSENT"), "");
    EXPECT_EQ(store["ABSENT"], nullptr) << "GetString and [] never add a key";
    EXPECT_STREQ(store["N"], "1234.bird");
    EXPECT_FALSE(store.IsModified());
}

TEST_F(KeyValueStoreTest, TypedGetterOfAnAbsentKeyRecordsItUnmodified)
{
    std::string path = dir / "s";
    fixtures::WriteFile(path, "A=1\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.GetInt("COUNT", 7), 7);
    EXPECT_EQ(store.GetHex("HEX", 3), 3u);
    ASSERT_NE(store["COUNT"], nullptr);
    EXPECT_STREQ(store["COUNT"], "");
    EXPECT_FALSE(store.IsModified());
    // Unmodified: the save writes the recorded keys but no UPDATED_TIME.
    EXPECT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(path), "A=1\nCOUNT=\nHEX=\n");
}

TEST_F(KeyValueStoreTest, SettersFormatAndMarkOnlyChanges)
{
    KeyValueStore store;
    struct {
        bool (*set)(KeyValueStore &);
        const char *key, *text;
    } cases[] = {
        {[](KeyValueStore &s) { return s.Add("I", -12); }, "I", "-12"},
        {[](KeyValueStore &s) { return s.Add("D", 1.5); }, "D", "1.500000"},
        {[](KeyValueStore &s) { return s.AddHex("ADDR", 0xABCD); }, "ADDR", "0x0000ABCD"},
        {[](KeyValueStore &s) { return s.AddHex("BIG", 0xFFFFFFFFu); }, "BIG", "0xFFFFFFFF"},
        {[](KeyValueStore &s) { return s.Add("S", "text = with spaces"); }, "S", "text = with spaces"},
        {[](KeyValueStore &s) { return s.Add("Z", std::string("zz")); }, "Z", "zz"},
    };
    for (auto &c : cases) {
        EXPECT_TRUE(c.set(store));
        EXPECT_STREQ(store[c.key], c.text);
        EXPECT_TRUE(store.IsModified()) << c.key;
        ASSERT_TRUE(store.Save((dir / "s").c_str()));
        EXPECT_FALSE(store.IsModified());
        EXPECT_TRUE(c.set(store));
        EXPECT_FALSE(store.IsModified()) << c.key << ": same text again";
    }
    EXPECT_EQ(store.GetHex("ADDR", 0), 0xABCDu);
    EXPECT_EQ(store.GetHex("BIG", 0), 0xFFFFFFFFu);
    // Setting an absent key to the empty text adds it without a change.
    store.Add("EMPTY", "");
    EXPECT_FALSE(store.IsModified());
    EXPECT_STREQ(store["EMPTY"], "");

    KeyValueStore other, none;
    other.Add("I", 5);
    other.Add("NEW", "n");
    ASSERT_TRUE(store.Save());
    EXPECT_TRUE(store.Add(none));
    EXPECT_FALSE(store.IsModified()) << "copying an empty store changes nothing";
    EXPECT_TRUE(store.Add(other));
    EXPECT_TRUE(store.IsModified());
    EXPECT_STREQ(store["I"], "5");
    EXPECT_STREQ(store["NEW"], "n");
    ASSERT_TRUE(store.Save());
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.IsModified());
    EXPECT_TRUE(store.Entries().empty());
}

TEST_F(KeyValueStoreTest, SaveWritesSortedLinesAndStampsOnlyChanges)
{
    std::string path = dir / "s";
    KeyValueStore store;
    store.Add("b", "2");
    store.Add("B", "1");
    store.Add("a", "x=y");
    ASSERT_TRUE(store.Save(path.c_str()));
    std::string text = ReadFile(path);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex("B=1\nUPDATED_TIME=(.{24})\na=x=y\nb=2\n"))) << text;
    EXPECT_TRUE(std::regex_match(m[1].str(), kStamp));

    // An unchanged store is written whole again, its stamp untouched.
    fixtures::WriteFile(path, "B=1\nUPDATED_TIME=old\n");
    KeyValueStore loaded(path.c_str());
    loaded.Add("B", 1);
    EXPECT_FALSE(loaded.IsModified());
    fixtures::WriteFile(path, "garbage\n");
    ASSERT_TRUE(loaded.Save());
    EXPECT_EQ(ReadFile(path), "B=1\nUPDATED_TIME=old\n");

    // Empty file: empty store with its path; saved unchanged, still empty.
    fixtures::WriteFile(path, "");
    KeyValueStore empty(path.c_str());
    EXPECT_TRUE(empty.Entries().empty());
    EXPECT_EQ(empty.Path(), path);
    ASSERT_TRUE(empty.Save());
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(fixtures::ListDir(dir.path()), std::vector<std::string>{"s"}) << "no temporary file left";
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathUsesTheDefaultNameHere)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    KeyValueStore store;
    store.Add("K", "v");
    bool saved = store.Save();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(saved);
    EXPECT_EQ(store.Path(), ".settings");
    EXPECT_NE(ReadFile(dir / ".settings").find("K=v\n"), std::string::npos);
}

using fixtures::FileSizeLimit;

TEST_F(KeyValueStoreTest, AFailedSaveLeavesTheOldFileWhole)
{
    std::string path = dir / ".settings";
    fixtures::WriteFile(path, "KEEP=me\n");
    KeyValueStore store(path.c_str());
    store.Add("BIG", std::string(10000, 'b'));
    {
        FileSizeLimit limit(100);
        EXPECT_FALSE(store.Save());
    }
    EXPECT_EQ(ReadFile(path), "KEEP=me\n");
    EXPECT_TRUE(store.IsModified()) << "still unsaved";
    EXPECT_EQ(fixtures::ListDir(dir.path()), std::vector<std::string>{".settings"}) << "temporary file removed";

    // A path in a missing directory: nothing written, the store keeps its entries.
    std::string nowhere = dir / "missing/.settings";
    KeyValueStore lost(nowhere.c_str());
    EXPECT_FALSE(fixtures::Exists(nowhere));
    EXPECT_EQ(lost.Path(), nowhere);
    EXPECT_NE(lost["CREATED_TIME"], nullptr);
    EXPECT_NE(lost["UPDATED_TIME"], nullptr);
    EXPECT_FALSE(lost.Save());
    // A directory standing at the path is not replaced.
    ASSERT_EQ(mkdir((dir / "isdir").c_str(), 0755), 0);
    EXPECT_FALSE(store.Save((dir / "isdir").c_str()));
    EXPECT_TRUE(fixtures::Exists(dir / "isdir/."));
}

TEST_F(KeyValueStoreTest, LargeFilesLoadLineByLine)
{
    // 10 MB of settings: 200000 entries, then a 10 MB line that ends reading.
    std::string text;
    text.reserve(10 << 20);
    char line[64];
    for (int i = 0; i < 200000; ++i) {
        snprintf(line, sizeof line, "KEY%06d=value number %06d padding padding\n", i, i);
        text += line;
    }
    text += "LONG=" + std::string(10 << 20, 'x') + "\nAFTER=1\n";
    std::string path = dir / "big";
    fixtures::WriteFile(path, text);
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.Entries().size(), 200000u);
    EXPECT_STREQ(store["KEY199999"], "value number 199999 padding padding");
    EXPECT_EQ(store["LONG"], nullptr);
    EXPECT_EQ(store["AFTER"], nullptr);
}

} // namespace
