#include "common/vDirectory.h"
#include "store/UpdaterStore.h"
#include "tests/support/file_limit.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>

using fixtures::ReadFile;
using fixtures::TempDir;

namespace {

class UpdaterStoreTest : public ::testing::Test {
protected:
    void SetUp() override { old_umask = umask(022); }
    void TearDown() override { umask(old_umask); }
    std::string Root() const { return dir / "store/updater"; }
    TempDir dir;
    mode_t old_umask = 0;
};

mode_t Mode(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

using fixtures::ThrownText;

TEST_F(UpdaterStoreTest, RootIsCreatedWithItsParentsOrRefusedWhenAFile)
{
    UpdaterStore store(Root());
    EXPECT_EQ(store.BasePath(), Root());
    EXPECT_EQ(Mode(dir / "store"), 0755u);
    EXPECT_EQ(Mode(Root()), 0755u);
    UpdaterStore again(Root());

    fixtures::WriteFile(dir / "plain", "x");
    EXPECT_EQ(ThrownText([&] { UpdaterStore s(dir / "plain"); }),
              "UpdaterStore: " + dir / "plain" + " exists and is a file");
    // A parent that is a file cannot hold the directory.
    EXPECT_EQ(ThrownText([&] { UpdaterStore s(dir / "plain/sub"); }),
              "UpdaterStore: Could not create directory " + dir / "plain/sub" + " error 12");
    UpdaterStore ok(Root());
    fixtures::WriteFile(Root() + "/0000ABCD", "x");
    EXPECT_EQ(ThrownText([&] { ok.AddDevice(0xABCD); }),
              "UpdaterStore: " + Root() + "/0000ABCD exists and is a file");
}

TEST_F(UpdaterStoreTest, AddDeviceMakesTheDirectoryAndItsSettings)
{
    UpdaterStore store(Root());
    UpdaterStoreItem item = store.AddDevice(0x12ABCD);
    EXPECT_EQ(item.base, Root());
    EXPECT_EQ(item.name, "0012ABCD");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(Mode(Root() + "/0012ABCD"), 0755u);
    EXPECT_EQ(item.attributes.Path(), Root() + "/0012ABCD/.settings");
    std::string text = ReadFile(Root() + "/0012ABCD/.settings");
    EXPECT_EQ(text.substr(0, 13), "CREATED_TIME=");
    EXPECT_NE(text.find("\nUPDATED_TIME="), std::string::npos);

    // A second AddDevice keeps what the settings hold.
    item.attributes.Add("LATEST_DOWNLOAD", "1234.bird");
    ASSERT_TRUE(item.attributes.Save());
    UpdaterStoreItem again = store.AddDevice("0012ABCD");
    EXPECT_EQ(again.attributes.GetString("LATEST_DOWNLOAD"), "1234.bird");
    EXPECT_EQ(again.attributes.GetInt("LATEST_DOWNLOAD", 0), 1234);

    UpdaterStoreItem none;
    EXPECT_EQ(none.type, STORE_ITEM_NONE);
    EXPECT_FALSE(none.IsValid());
    EXPECT_TRUE(none.attributes.Path().empty());
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesAnEntrysWholeName)
{
    UpdaterStore store(Root());
    store.AddDevice(0x12ABCD);
    store.AddDevice(0xDEADDEAD);
    struct {
        std::string search;
        bool found;
        std::string name;
    } cases[] = {
        {"0012ABCD", true, "0012ABCD"}, {"DEADDEAD", true, "DEADDEAD"}, {"12AB", false, ""},
        {"0012ABCE", false, ""},        {"0012abcd", false, ""},        {"updater", false, ""},
    };
    for (auto &c : cases) {
        UpdaterStoreItem item;
        EXPECT_EQ(store.FindDevice(c.search, &item), c.found) << c.search;
        if (c.found) {
            EXPECT_EQ(item.base, Root());
            EXPECT_EQ(item.name, c.name);
            EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
            EXPECT_EQ(item.attributes.Path(), Root() + "/" + c.name + "/.settings");
        } else {
            EXPECT_FALSE(item.IsValid()) << "an unmatched search leaves the item";
        }
    }
    UpdaterStoreItem item;
    EXPECT_TRUE(store.FindDevice(0x12ABCD, &item));
    EXPECT_EQ(item.name, "0012ABCD");
    EXPECT_TRUE(store.FindDevice(0x12ABCD)) << "the item is optional";
    EXPECT_FALSE(store.FindDevice(0x1));

    // A root whose own path holds the serial text (-i /x/0012ABCD): only the
    // device's own entry matches, never another device's below that root.
    UpdaterStore named(dir / "0012ABCD");
    named.AddDevice(0xDEADDEAD);
    EXPECT_FALSE(named.FindDevice(0x12ABCD, &item));
    named.AddDevice(0x12ABCD);
    EXPECT_TRUE(named.FindDevice(0x12ABCD, &item));
    EXPECT_EQ(item.base, dir / "0012ABCD");
    EXPECT_EQ(item.name, "0012ABCD");

    // A root that vanished lists nothing.
    vDirectory_DeleteTree(Root().c_str());
    EXPECT_FALSE(store.FindDevice(0x12ABCD));
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x12ABCD, items));
    EXPECT_TRUE(items.empty());
}

TEST_F(UpdaterStoreTest, LocalBuildsAreTheVisibleEntriesOfTheDevice)
{
    UpdaterStore store(Root());
    UpdaterStoreItem device = store.AddDevice(0x12ABCD);
    fixtures::WriteFile(Root() + "/0012ABCD/1234.bird", "bird");
    fixtures::WriteFile(Root() + "/0012ABCD/notes.txt", "n");
    fixtures::WriteFile(Root() + "/0012ABCD/.hidden", "h");
    ASSERT_EQ(mkdir((Root() + "/0012ABCD/sub").c_str(), 0755), 0);

    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x12ABCD, items));
    std::sort(items.begin(), items.end(),
              [](const UpdaterStoreItem &a, const UpdaterStoreItem &b) { return a.name < b.name; });
    ASSERT_EQ(items.size(), 3u);
    struct {
        const char *name;
        store_item_t type;
    } want[] = {{"1234.bird", STORE_ITEM_FILE}, {"notes.txt", STORE_ITEM_FILE}, {"sub", STORE_ITEM_DIRECTORY}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(items[i].base, Root() + "/0012ABCD");
        EXPECT_EQ(items[i].name, want[i].name);
        EXPECT_EQ(items[i].type, want[i].type);
    }
    // Loading a file's attributes creates nothing; a directory gets its settings.
    EXPECT_FALSE(fixtures::Exists(Root() + "/0012ABCD/1234.bird/.settings"));
    EXPECT_TRUE(fixtures::Exists(Root() + "/0012ABCD/sub/.settings"));
    EXPECT_EQ(ReadFile(Root() + "/0012ABCD/1234.bird"), "bird");

    EXPECT_TRUE(device.FileExists("1234.bird"));
    EXPECT_TRUE(device.FileExists("notes"));
    EXPECT_FALSE(device.FileExists("9999.bird"));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x99, none));
    EXPECT_TRUE(none.empty());
}

using fixtures::FileSizeLimit;

TEST_F(UpdaterStoreTest, WriteFileReplacesWholeOrNotAtAll)
{
    UpdaterStore store(Root());
    UpdaterStoreItem device = store.AddDevice(0x12ABCD);
    std::string path = Root() + "/0012ABCD/1234.bird";

    EXPECT_EQ(device.WriteFile("1234.bird", nullptr, 10), vErrNotFound);
    EXPECT_FALSE(fixtures::Exists(path));

    std::string first(5000, 'a'), second = "second";
    EXPECT_EQ(device.WriteFile("1234.bird", first.data(), first.size()), vErrNone);
    EXPECT_EQ(ReadFile(path), first);
    EXPECT_EQ(Mode(path), 0644u) << "the umask decides, as for a plain create";
    EXPECT_EQ(device.WriteFile("1234.bird", second.data(), second.size()), vErrNone);
    EXPECT_EQ(ReadFile(path), second);

    std::string big(100000, 'b');
    {
        FileSizeLimit limit(1000);
        EXPECT_EQ(device.WriteFile("1234.bird", big.data(), big.size()), vErrIO);
    }
    EXPECT_EQ(ReadFile(path), second);
    EXPECT_EQ(fixtures::ListDir(Root() + "/0012ABCD"), (std::vector<std::string>{".settings", "1234.bird"}));

    UpdaterStoreItem gone(Root(), "NOPE", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("1.bird", "x", 1), vErrNotFound);
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksTheHeaderThenLoads)
{
    UpdaterStore store(Root());
    UpdaterStoreItem device = store.AddDevice(0x12ABCD);
    std::string base = Root() + "/0012ABCD/";
    EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("9999.bird"); }), "Invalid bird " + base + "9999.bird");
    fixtures::WriteFile(base + "text.bird", "not an image");
    EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("text.bird"); }), "Invalid bird " + base + "text.bird");
    fixtures::WriteFile(base + "bad.bird", std::string("bird\x01\x01garbage-not-zlib", 22));
    EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("bad.bird"); }), "Failed to load bird data");

    fixtures::MakeBird(base + "1234.bird", {"--build", "1234", "--version", "3.1.4", "--firmware-size", "64"});
    BirdFile bird = device.ReadBirdFile("1234.bird");
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "3.1.4");
    EXPECT_EQ(bird.path(), base + "1234.bird");
}

} // namespace
