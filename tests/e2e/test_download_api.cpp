// The Updater's download and listing operations called directly, against
// tools/update-server: the paths the command line does not reach (a build
// text that is not a number, a device known by its chip fingerprint).
#include "common/vDirectory.h"
#include "updater/UpdaterDisplayInterface.h"
#include "tests/support/update_server.h"
#include "updater/Updater.h"

#include <gtest/gtest.h>

using namespace fixtures;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool active, const char *label) override
    {
        (active ? spins : clears)++;
        EXPECT_STREQ(label, "Downloading");
    }
    void info_message(const char *text) override { info.push_back(text); }
    void error_message(const char *text) override { errors.push_back(text); }
    std::vector<std::string> info, errors;
    int spins = 0, clears = 0;
};

const char *kCatalogue = R"({
  "devices": {
    "0012ABCD": {"builds": {"1234": "2.12.4"}, "latest": "1234", "firmware": "HUB7-main"},
    "DEADDEAD": {"builds": {"1": "0.0.1", "2": "0.0.2"}, "latest": "2", "firmware": "LOADER"}
  },
  "recovery": {
    "00000001 00000002 00000003 00000004": {"serial": "DEADDEAD", "build": "0x1"},
    "0000000A 0000000B 0000000C 0000000D": {"serial": "0012ABCD", "build": "1234"}
  }
})";

class DownloadAPI : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = dir / "data";
        ASSERT_EQ(vDirectory_Ensure((data + "/images").c_str(), 0755), vErrNone);
        WriteFile(data + "/catalogue.json", kCatalogue);
        MakeBird(data + "/images/1234.bird", {"--build", "1234", "--version", "2.12.4", "--firmware-size", "100"});
        MakeBird(data + "/images/1.bird", {"--build", "1", "--version", "0.0.1"});
        MakeBird(data + "/images/2.bird", {"--build", "2", "--version", "0.0.2"});
        server = std::make_unique<UpdateServer>(data, std::vector<std::string>{}, dir / "req.log");
        updater = std::make_unique<Updater>(server->url(), dir / "store", display);
    }
    TempDir dir;
    std::string data;
    RecordingDisplay display;
    std::unique_ptr<UpdateServer> server;
    std::unique_ptr<Updater> updater;
};

TEST_F(DownloadAPI, ABuildTextMustBeADecimalNumber)
{
    for (const char *text : {"12x", "-1", " 12", "0x10", "99999999999"}) {
        display.errors.clear();
        EXPECT_EQ(updater->Download_Firmware(0x12ABCD, text, false, false), 0u) << text;
        EXPECT_EQ(display.errors, std::vector<std::string>{std::string("Build number '") + text +
                                                           "' must be an number"});
    }
    display.errors.clear();
    EXPECT_EQ(updater->Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
    EXPECT_TRUE(ReadFile(dir / "req.log").empty()) << "nothing asked of the server";
}

TEST_F(DownloadAPI, AnEmptyBuildFetchesTheNewestWithTheSpinner)
{
    EXPECT_EQ(updater->Download_Firmware(0x12ABCD, "", false, true), 1234u);
    EXPECT_TRUE(display.errors.empty());
    EXPECT_GE(display.spins, 1);
    EXPECT_EQ(display.clears, 1);
    EXPECT_EQ(ReadFile(dir / "store/0012ABCD/1234.bird"), ReadFile(data + "/images/1234.bird"));
    EXPECT_NE(ReadFile(dir / "req.log").find("no_cal=true&op=bird"), std::string::npos);

    BuildList local = updater->Get_BuildListLocal(0x12ABCD);
    EXPECT_EQ(local, (BuildList{{"1234", "2.12.4"}}));
}

TEST_F(DownloadAPI, AFingerprintNamesTheDeviceAndItsBuild)
{
    Fingerprint unknown_chip = {1, 2, 3, 4};
    EXPECT_EQ(updater->Download_Firmware(unknown_chip, "", false), 1u) << "the recovery build, given as 0x1";
    EXPECT_TRUE(Exists(dir / "store/DEADDEAD/1.bird"));
    // A build given beats the server's recovery build.
    EXPECT_EQ(updater->Download_Firmware(unknown_chip, "2", false), 2u);
    EXPECT_TRUE(Exists(dir / "store/DEADDEAD/2.bird"));
    Fingerprint hub = {0xA, 0xB, 0xC, 0xD};
    EXPECT_EQ(updater->Download_Firmware(hub, "", false), 1234u);
    EXPECT_TRUE(display.errors.empty()) << display.errors[0];

    Fingerprint stranger = {9, 9, 9, 9};
    EXPECT_EQ(updater->Download_Firmware(stranger, "", false), 0u);
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"Failed to retrieve recovery information from Velquire update server"});
}

TEST_F(DownloadAPI, AStoreThatCannotBeMadeIsReported)
{
    WriteFile(dir / "blocked", "a file where the store should be");
    Updater blocked(server->url(), dir / "blocked", display);
    EXPECT_TRUE(blocked.Get_BuildListLocal(0x12ABCD).empty());
    EXPECT_EQ(blocked.Download_Firmware(0x12ABCD, "", false, false), 0u);
    std::string why = "UpdaterStore: " + dir / "blocked" + " exists and is a file";
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{"Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: " + why,
                                        "Failed to Create UpdaterStore in: Download_Firmware - Exception: " + why}));
}

} // namespace
