// update-server mirror: one update server copied into a data directory
// through the queries updater makes, served by a second update server that
// answers updater's client as the first did, and a simulated device on the
// emulated USB bus updated from the copy. A second run fetches no image
// again and a third only the build that is new; images are checked as
// updater checks a download, and unknown devices and dead servers fail the
// run without losing what it could copy.
#include "common/vDirectory.h"
#include "tests/support/sim.h"
#include "tests/support/update_server.h"
#include "updateserver/UpdateServerRequest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

using fixtures::Exists;
using fixtures::MakeBird;
using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::UpdateServer;
using fixtures::WriteFile;
using nlohmann::json;
using USR = UpdateServerRequest;

namespace {

const char *kSerial = "0012ABCD";

struct Result {
    int status = -1;
    std::string out, err;
};

Result Mirror(const std::string &upstream, const std::string &data, std::vector<std::string> extra = {})
{
    std::vector<std::string> argv = {"python3", "-I", "-S", fixtures::Tool("update-server"), "mirror",
                                     "--upstream", upstream, "--data", data};
    argv.insert(argv.end(), extra.begin(), extra.end());
    fixtures::RunOptions options;
    options.hang_seconds = 120;
    fixtures::RunResult run = fixtures::Run(argv, options);
    return {run.status, run.out, run.err};
}

// Request lines of a server's log that ask for op=OP.
size_t Requests(const std::string &log, const std::string &op)
{
    std::string text = ReadFile(log);
    size_t n = 0;
    for (size_t at = text.find("op=" + op + "&"); at != std::string::npos; at = text.find("op=" + op + "&", at + 1))
        n++;
    return n;
}

json Catalogue(const std::string &data)
{
    return json::parse(ReadFile(data + "/catalogue.json"));
}

// updater as a user runs it; with a simulator's bus environment when given.
Result Updater(const std::string &store, std::vector<std::string> args, const simtest::Sim *sim = nullptr)
{
    fixtures::RunOptions options;
    options.env = {"ASAN_OPTIONS=verify_asan_link_order=0"};
    if (sim) {
        std::vector<std::string> bus = sim->UsbEnv();
        options.env.insert(options.env.end(), bus.begin(), bus.end());
    }
    options.hang_seconds = 150;
    std::vector<std::string> argv = {fixtures::BuildDir() + "/updater", "-i", store};
    argv.insert(argv.end(), args.begin(), args.end());
    fixtures::RunResult run = fixtures::Run(argv, options);
    return {run.status, run.out, run.err};
}

// An upstream server's data: device 0012ABCD with builds 900 (an image for
// any device) and 1300 (its own, which makes the simulator report 2.15.1),
// the default recovery image and one recovery fingerprint.
class MirrorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        up = dir / "upstream";
        ASSERT_EQ(vDirectory_Ensure((up + "/images/" + kSerial).c_str(), 0755), vErrNone);
        MakeBird(up + "/images/900.bird", {"--firmware-size", "4000", "--build", "900", "--version", "2.12.4"});
        MakeBird(up + "/images/" + kSerial + "/1300.bird",
                 {"--loader-size", "300", "--firmware-size", "5000", "--build", "1300", "--version", "2.15.1",
                  "--serial", kSerial, "--model", "Hub 4 Pro", "--sim-header"});
        MakeBird(up + "/images/1.bird", {"--loader-size", "200", "--build", "1", "--version", "0.0.1"});
        catalogue = {{"devices",
                      {{kSerial,
                        {{"builds", {{"900", "2.12.4"}, {"1300", "2.15.1"}}},
                         {"latest", "1300"},
                         {"firmware", "HUB4-main"},
                         {"token", "aGVhZGVy.cGF5bG9hZA.c2ln"}}},
                       {"DEADDEAD", {{"builds", {{"1", "0.0.1"}}}, {"latest", "1"}}}}},
                     {"recovery",
                      {{"00000001 00000002 00000003 00000004", {{"serial", kSerial}, {"build", "1300"}}}}}};
        WriteCatalogue();
        copy = dir / "mirror";
    }
    void WriteCatalogue() { WriteFile(up + "/catalogue.json", catalogue.dump()); }

    TempDir dir;
    std::string up, copy;
    json catalogue;
};

TEST_F(MirrorTest, CopiesUpstreamAndADeviceIsUpdatedFromTheCopy)
{
    std::string log = dir / "upstream.log";
    std::unique_ptr<UpdateServer> upstream = std::make_unique<UpdateServer>(up, std::vector<std::string>{}, log);
    Result m = Mirror(upstream->url(), copy, {"--devices", "12abcd", "--fingerprint",
                                             "[ 00000001 00000002 00000003 00000004 ]"});
    ASSERT_EQ(m.status, 0) << m.out << m.err;
    EXPECT_EQ(m.err, "");
    EXPECT_NE(m.out.find("3 images fetched, 0 already here, 0 refused"), std::string::npos) << m.out;

    // The images byte for byte, each under its device.
    EXPECT_EQ(ReadFile(copy + "/images/0012ABCD/900.bird"), ReadFile(up + "/images/900.bird"));
    EXPECT_EQ(ReadFile(copy + "/images/0012ABCD/1300.bird"), ReadFile(up + "/images/0012ABCD/1300.bird"));
    EXPECT_EQ(ReadFile(copy + "/images/DEADDEAD/1.bird"), ReadFile(up + "/images/1.bird"));

    // A server of the copy answers updater's client as upstream does.
    UpdateServer served(copy, {}, dir / "mirror.log");
    for (const std::string &url : {upstream->url(), served.url()}) {
        SCOPED_TRACE(url);
        std::map<std::string, std::string> builds;
        ASSERT_TRUE(USR::GetBuildList(0x0012ABCD, builds, url));
        EXPECT_EQ(builds, (std::map<std::string, std::string>{{"900", "2.12.4"}, {"1300", "2.15.1"}}));
        std::string build, firmware, token;
        ASSERT_TRUE(USR::QueryBuild(0x0012ABCD, build, firmware, url));
        EXPECT_EQ(build, "1300");
        EXPECT_EQ(firmware, "HUB4-main");
        ASSERT_TRUE(USR::GetDeviceJWT(0x0012ABCD, token, url));
        EXPECT_EQ(token, "aGVhZGVy.cGF5bG9hZA.c2ln");
        uint32_t serial = 0, recovery_build = 0;
        const uint32_t fingerprint[4] = {1, 2, 3, 4};
        ASSERT_TRUE(USR::GetRecoveryInfo(fingerprint, serial, recovery_build, url));
        EXPECT_EQ(serial, 0x0012ABCDu);
        EXPECT_EQ(recovery_build, 1300u);
        ASSERT_TRUE(USR::QueryBuild(0xDEADDEAD, build, firmware, url));
        EXPECT_EQ(build, "1");
    }

    // Upstream gone, the copy is all there is: -G -U on the emulated bus.
    upstream.reset();
    json sim_config = {{"control", dir / "sim.sock"},
                       {"devices", json::array({{{"serial", "0x0012ABCD"}, {"usb", true}, {"version", "2.12.4"},
                                                 {"build", 900}, {"load_drops_link", true}}})}};
    WriteFile(dir / "sim.json", sim_config.dump());
    simtest::Sim sim({"--config", dir / "sim.json"});
    ASSERT_NE(sim.Endpoint("usbenv"), "") << sim.Ready();
    Result u = Updater(dir / "store", {"-u", served.url(), "-G", "-U", "-d", kSerial}, &sim);
    EXPECT_EQ(u.status, 0) << u.out << u.err;
    EXPECT_EQ(ReadFile(dir / "store/updater/0012ABCD/1300.bird"), ReadFile(up + "/images/0012ABCD/1300.bird"));
    EXPECT_EQ(sim.Control("dump 0012ABCD")["build"], 1300);
    EXPECT_EQ(Requests(dir / "mirror.log", "bird"), 1u);
}

TEST_F(MirrorTest, AgainFetchesOnlyWhatIsNew)
{
    std::string log = dir / "upstream.log";
    {
        UpdateServer upstream(up, {}, log);
        ASSERT_EQ(Mirror(upstream.url(), copy, {"--devices", kSerial}).status, 0);
        EXPECT_EQ(Requests(log, "bird"), 3u);
        Result again = Mirror(upstream.url(), copy, {"--devices", kSerial});
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(Requests(log, "bird"), 3u) << "nothing fetched twice";
        EXPECT_NE(again.out.find("0 images fetched, 3 already here"), std::string::npos) << again.out;
    }
    // A new build upstream, and a device named by another run before.
    MakeBird(up + "/images/0012ABCD/1400.bird", {"--firmware-size", "3000", "--build", "1400", "--version", "2.16.0",
                                                 "--serial", kSerial});
    catalogue["devices"][kSerial]["builds"]["1400"] = "2.16.0";
    catalogue["devices"][kSerial]["latest"] = "1400";
    catalogue["devices"]["0012ABCE"] = {{"builds", {{"900", "2.12.4"}}}, {"latest", "900"}};
    WriteCatalogue();
    UpdateServer upstream(up, {}, log);
    Result third = Mirror(upstream.url(), copy, {"--devices", "0012ABCE"});
    EXPECT_EQ(third.status, 0) << third.err;
    Result fourth = Mirror(upstream.url(), copy, {"--devices", kSerial});
    EXPECT_EQ(fourth.status, 0) << fourth.err;
    std::string text = ReadFile(log);
    EXPECT_EQ(Requests(log, "bird"), 5u) << text;
    EXPECT_NE(text.find("bld=1400&fw=HUB4-main&no_cal=false&op=bird&sn=0012ABCD&"), std::string::npos) << text;
    EXPECT_NE(text.find("bld=900&fw=&no_cal=false&op=bird&sn=0012ABCE&"), std::string::npos) << text;
    json c = Catalogue(copy);
    EXPECT_EQ(c["devices"][kSerial]["latest"], "1400");
    EXPECT_EQ(c["devices"][kSerial]["builds"].size(), 3u);
    EXPECT_EQ(c["devices"]["0012ABCE"]["builds"], json({{"900", "2.12.4"}})) << "kept from the run that named it";
    EXPECT_EQ(c["recovery"], json::object());
}

// Each image served as build 2001, 2002, ...: stored by the mirror exactly
// when updater -G takes it from the same server.
TEST_F(MirrorTest, ImagesAreCheckedAsUpdaterChecksADownload)
{
    WriteFile(dir / "zeros.bin", std::string(300000, '\0'));
    struct Case {
        const char *what;
        std::vector<std::string> make_bird; // or, when empty, the bytes of raw
        bool loads;
        std::string raw;
    } cases[] = {
        {"a good image", {"--firmware-size", "2000"}, true, ""},
        {"a block count that differs from the blocks", {"--firmware-size", "2000", "--report-count", "7"}, true, ""},
        {"bytes after the checksum", {"--firmware-size", "2000", "--trailing", "9"}, true, ""},
        {"a block running past the payload", {"--firmware-size", "2000", "--overrun", "40"}, true, ""},
        {"a corrupt zlib stream", {"--firmware-size", "2000", "--bad-zlib"}, false, ""},
        {"a cut zlib stream", {"--firmware-size", "2000", "--truncate-zlib", "20"}, false, ""},
        {"a zero format version byte", {"--firmware-size", "2000", "--format-version", "0x0100"}, false, ""},
        {"another signature", {"--firmware-size", "2000", "--signature", "BIRD"}, false, ""},
        {"a payload over eight times its stream", {"--block", "1:" + dir / "zeros.bin"}, false, ""},
        {"a header alone", {}, false, std::string("bird\x01\x01", 6)},
    };
    json &builds = catalogue["devices"][kSerial]["builds"];
    builds = json::object();
    int build = 2001;
    for (const Case &c : cases) {
        builds[std::to_string(build)] = "3.0.0";
        std::string path = up + "/images/" + kSerial + "/" + std::to_string(build) + ".bird";
        if (c.make_bird.empty())
            WriteFile(path, c.raw);
        else
            MakeBird(path, c.make_bird);
        build++;
    }
    catalogue["devices"][kSerial]["latest"] = "2001";
    WriteCatalogue();
    UpdateServer upstream(up, {}, dir / "upstream.log");
    Result m = Mirror(upstream.url(), copy, {"--devices", kSerial});
    EXPECT_EQ(m.status, 1) << m.out << m.err;
    json mirrored = Catalogue(copy)["devices"][kSerial]["builds"];
    build = 2001;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = std::to_string(build++);
        std::string stored = copy + "/images/0012ABCD/" + name + ".bird";
        EXPECT_EQ(Exists(stored), c.loads);
        EXPECT_EQ(mirrored.contains(name), c.loads) << mirrored.dump();
        EXPECT_EQ(m.err.find("build " + name + ": image refused") != std::string::npos, !c.loads) << m.err;
        Result g = Updater(dir / "store", {"-u", upstream.url(), "-G", "-d", kSerial, "-b", name});
        EXPECT_EQ(g.status == 0, c.loads) << g.out << g.err;
        EXPECT_EQ(Exists(dir / ("store/updater/0012ABCD/" + name + ".bird")), c.loads);
    }
    EXPECT_EQ(Catalogue(copy)["devices"][kSerial]["latest"], "2001");

    // Text that is not Base64 is refused before anything is decoded.
    UpdateServer broken(up, {"--bad-base64"}, dir / "broken.log");
    Result b = Mirror(broken.url(), dir / "mirror2", {"--devices", kSerial});
    EXPECT_EQ(b.status, 1);
    EXPECT_NE(b.err.find("not Base64"), std::string::npos) << b.err;
    EXPECT_FALSE(Exists(dir / "mirror2/images/0012ABCD"));
}

TEST_F(MirrorTest, FailuresKeepWhatCouldBeCopied)
{
    UpdateServer upstream(up, {}, dir / "upstream.log");
    // A device and a fingerprint upstream does not know: the rest is copied.
    Result m = Mirror(upstream.url(), copy, {"--devices", kSerial, "C0FFEE", "--fingerprint", "9,9,9,9"});
    EXPECT_EQ(m.status, 1) << m.out << m.err;
    EXPECT_NE(m.err.find("00C0FFEE: "), std::string::npos) << m.err;
    EXPECT_NE(m.err.find("fingerprint 00000009 00000009 00000009 00000009: "), std::string::npos) << m.err;
    json c = Catalogue(copy);
    EXPECT_EQ(c["devices"][kSerial]["latest"], "1300");
    EXPECT_FALSE(c["devices"].contains("00C0FFEE"));
    EXPECT_TRUE(Exists(copy + "/images/0012ABCD/1300.bird"));

    // A server that is not there: nothing written at all.
    int port = upstream.port();
    {
        UpdateServer gone(up, {}, dir / "gone.log");
        port = gone.port();
    }
    Result dead = Mirror("http://127.0.0.1:" + std::to_string(port) + "/cgi/u", dir / "mirror2",
                         {"--devices", kSerial});
    EXPECT_EQ(dead.status, 1);
    EXPECT_NE(dead.err.find("does not answer"), std::string::npos) << dead.err;
    EXPECT_FALSE(Exists(dir / "mirror2"));

    // Serial numbers and fingerprints as updater takes them, or a usage error.
    for (std::vector<std::string> bad : {std::vector<std::string>{"--devices", "0"},
                                         {"--devices", "12345678G"},
                                         {"--devices", kSerial, "--fingerprint", "1 2 3"}}) {
        Result r = Mirror(upstream.url(), dir / "mirror3", bad);
        EXPECT_EQ(r.status, 2) << bad[1];
        EXPECT_FALSE(Exists(dir / "mirror3"));
    }
}

} // namespace
