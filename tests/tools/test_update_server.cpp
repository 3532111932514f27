// tools/update-server answering the real client, over HTTP and HTTPS, with
// images from tools/make-bird.
#include "common/vDirectory.h"
#include "store/BirdFile.h"
#include "tests/support/update_server.h"
#include "updateserver/HTTPRequest.h"
#include "updateserver/UpdateServerRequest.h"
#include "updateserver/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace fixtures;
using USR = UpdateServerRequest;

namespace {

const char *kCatalogue = R"({
  "devices": {
    "0012ABCD": {
      "builds": {"1200": "2.11.0", "1234": "2.12.4", "1300": "3.0.0"},
      "latest": "1234",
      "firmware": "HUB7-main",
      "token": "aGVhZGVy.cGF5bG9hZA.c2ln"
    },
    "deaddead": {"builds": {"1": "0.0.1"}, "latest": "1"}
  },
  "recovery": {
    "00000001 00000002 00000003 00000004": {"serial": "0012ABCD", "build": "1234"}
  }
})";

std::string Decode(const std::string &text)
{
    size_t n = 0;
    uint8_t *bytes = base64_decode(text.data(), text.size(), &n);
    if (!bytes)
        return "(invalid base64)";
    std::string out((const char *)bytes, n);
    free(bytes);
    return out;
}

class UpdateServerTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = dir / "data";
        ASSERT_EQ(vDirectory_Ensure((data + "/images/0012ABCD").c_str(), 0755), vErrNone);
        WriteFile(data + "/catalogue.json", kCatalogue);
        MakeBird(data + "/images/1234.bird", {"--build", "1234", "--version", "2.12.4", "--firmware-size", "3000"});
        MakeBird(data + "/images/0012ABCD/1300.bird", {"--build", "1300", "--version", "3.0.0", "--serial",
                                                       "0012ABCD", "--firmware-size", "100"});
        MakeBird(data + "/images/1300.bird", {"--build", "1300", "--version", "9.9.9"});
        MakeBird(data + "/images/1.bird", {"--build", "1"});
    }
    std::vector<std::string> Log(const std::string &name) const
    {
        return fixtures::Lines(ReadFile(dir / name));
    }
    TempDir dir;
    std::string data;
};

TEST_F(UpdateServerTool, AnswersEveryQueryFromItsDataDirectory)
{
    UpdateServer server(data, {}, dir / "requests.log");
    std::string url = server.url();
    EXPECT_TRUE(USR::ping(url));

    std::string build, firmware;
    EXPECT_TRUE(USR::QueryBuild(0x12ABCD, build, firmware, url));
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(firmware, "HUB7-main");

    USR::BuildList builds;
    EXPECT_TRUE(USR::GetBuildList(0x12ABCD, builds, url));
    EXPECT_EQ(builds, (USR::BuildList{{"1200", "2.11.0"}, {"1234", "2.12.4"}, {"1300", "3.0.0"}}));

    std::string payload;
    EXPECT_TRUE(USR::GetBuild(0x12ABCD, "HUB7-main", "1234", payload, url, false));
    EXPECT_EQ(Decode(payload), ReadFile(data + "/images/1234.bird"));
    // A device's own image is preferred to the shared one.
    EXPECT_TRUE(USR::GetBuild(0x12ABCD, "HUB7-main", "1300", payload, url, true));
    EXPECT_EQ(Decode(payload), ReadFile(data + "/images/0012ABCD/1300.bird"));
    // Listed but without an image, or not listed at all: no "ok".
    EXPECT_FALSE(USR::GetBuild(0x12ABCD, "HUB7-main", "1200", payload, url, false));
    EXPECT_FALSE(USR::GetBuild(0x12ABCD, "HUB7-main", "4444", payload, url, false));

    const uint32_t words[4] = {1, 2, 3, 4}, other[4] = {1, 2, 3, 5};
    uint32_t serial = 0, recovery_build = 0;
    EXPECT_TRUE(USR::GetRecoveryInfo(words, serial, recovery_build, url));
    EXPECT_EQ(serial, 0x12ABCDu);
    EXPECT_EQ(recovery_build, 1234u);
    EXPECT_FALSE(USR::GetRecoveryInfo(other, serial, recovery_build, url));

    std::string token;
    EXPECT_TRUE(USR::GetDeviceJWT(0x12ABCD, token, url));
    EXPECT_EQ(token, "aGVhZGVy.cGF5bG9hZA.c2ln");
    EXPECT_FALSE(USR::GetDeviceJWT(0xDEADDEAD, token, url)) << "no token listed";
    // Serial numbers in the catalogue match whatever their case.
    EXPECT_TRUE(USR::QueryBuild(0xDEADDEAD, build, firmware, url));
    EXPECT_EQ(build, "1");
    EXPECT_FALSE(USR::GetBuildList(0x99, builds, url)) << "unknown device";

    std::vector<std::string> expected = {
        "GET /cgi/u?op=hi&rv=2& HTTP/1.1",
        "GET /cgi/u?op=qu&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?op=builds&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?bld=1234&fw=HUB7-main&no_cal=false&op=bird&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?bld=1300&fw=HUB7-main&no_cal=true&op=bird&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?bld=1200&fw=HUB7-main&no_cal=false&op=bird&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?bld=4444&fw=HUB7-main&no_cal=false&op=bird&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix& HTTP/1.1",
        "GET /cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000005&op=fix& HTTP/1.1",
        "GET /cgi/u?json=false&op=ent_jwt&sn=0012ABCD& HTTP/1.1",
        "GET /cgi/u?json=false&op=ent_jwt&sn=DEADDEAD& HTTP/1.1",
        "GET /cgi/u?op=qu&sn=DEADDEAD& HTTP/1.1",
        "GET /cgi/u?op=builds&sn=00000099& HTTP/1.1",
    };
    EXPECT_EQ(Log("requests.log"), expected);

    // A bare host:port URL reaches the same queries; other paths are not found.
    EXPECT_TRUE(USR::ping("127.0.0.1:" + std::to_string(server.port())));
    HTTPResponse other_path = HTTPRequest::GET(server.url().substr(0, server.url().size() - 6) + "/index", {});
    EXPECT_EQ(other_path.get_status(), 404);
}

TEST_F(UpdateServerTool, MisbehavesOnRequest)
{
    std::string payload, build = "b", firmware = "f";
    {
        UpdateServer server(data, {"--status", "500"}, dir / "a.log");
        EXPECT_FALSE(USR::ping(server.url()));
        HTTPResponse response = HTTPRequest::GET(server.url(), {{"op", "hi"}});
        EXPECT_EQ(response.get_status(), 500);
        EXPECT_EQ(response.body(), "ok\n") << "the body is unchanged";
    }
    {
        UpdateServer server(data, {"--no-ok"}, dir / "b.log");
        EXPECT_FALSE(USR::ping(server.url()));
        EXPECT_FALSE(USR::QueryBuild(0x12ABCD, build, firmware, server.url()));
        EXPECT_EQ(build, "b");
    }
    {
        // CR LF: the "ok" check and the firmware text cope; the image line
        // keeps its CR and is no longer clean Base64.
        UpdateServer server(data, {"--crlf"}, dir / "c.log");
        EXPECT_TRUE(USR::ping(server.url()));
        EXPECT_TRUE(USR::QueryBuild(0x12ABCD, build, firmware, server.url()));
        EXPECT_EQ(firmware, "HUB7-main");
        EXPECT_EQ(build, "1234\r");
        EXPECT_TRUE(USR::GetBuild(0x12ABCD, "HUB7-main", "1234", payload, server.url(), false));
        ASSERT_FALSE(payload.empty());
        EXPECT_EQ(payload.back(), '\r');
        EXPECT_EQ(Decode(payload), "(invalid base64)");
    }
    {
        UpdateServer server(data, {"--bad-base64", "--only-op", "bird"}, dir / "d.log");
        EXPECT_TRUE(USR::GetBuild(0x12ABCD, "HUB7-main", "1234", payload, server.url(), false));
        EXPECT_EQ(Decode(payload), "(invalid base64)");
    }
    {
        // Misbehaviour limited to one op leaves the others alone.
        UpdateServer server(data, {"--no-ok", "--only-op", "bird"}, dir / "e.log");
        EXPECT_TRUE(USR::ping(server.url()));
        EXPECT_FALSE(USR::GetBuild(0x12ABCD, "HUB7-main", "1234", payload, server.url(), false));
    }
    {
        // A stalled reply is cut off by the client's low-speed limit; other
        // connections are served meanwhile.
        UpdateServer server(data, {"--stall", "60", "--only-op", "qu"}, dir / "f.log");
        HTTPRequest::Limits limits;
        limits.low_speed_seconds = 1;
        EXPECT_THROW(HTTPRequest::GET(server.url(), {{"op", "qu"}, {"sn", "0012ABCD"}}, limits), std::runtime_error);
        EXPECT_TRUE(USR::ping(server.url()));
    }
}

TEST_F(UpdateServerTool, HTTPSIsVerifiedAgainstTheGivenBundle)
{
    TestCA ca(dir.path());
    UpdateServer server(data, {"--cert", ca.cert, "--key", ca.key}, dir / "tls.log");
    UpdateServer wrong(data, {"--cert", ca.wrong_cert, "--key", ca.wrong_key}, dir / "wrong.log");
    std::string url = server.url("https");
    {
        ScopedEnv bundle("CURL_CA_BUNDLE", ca.ca.c_str());
        EXPECT_TRUE(USR::ping(url));
        EXPECT_TRUE(USR::ping(server.url("https", "localhost")));
        std::string payload;
        EXPECT_TRUE(USR::GetBuild(0x12ABCD, "HUB7-main", "1234", payload, url, false));
        EXPECT_EQ(Decode(payload), ReadFile(data + "/images/1234.bird"));
        // Signed by the trusted CA, but for another host: refused.
        EXPECT_FALSE(USR::ping(wrong.url("https")));
        // Plain HTTP to the TLS port gets no valid reply either.
        EXPECT_FALSE(USR::ping(server.url("http")));
    }
    {
        // Without the bundle the private CA is unknown: nothing is accepted.
        ScopedEnv none("CURL_CA_BUNDLE", nullptr);
        EXPECT_FALSE(USR::ping(url));
    }
    {
        // A bundle variable naming no file is ignored, so the private CA is unknown.
        ScopedEnv missing("CURL_CA_BUNDLE", (dir / "absent.pem").c_str());
        EXPECT_FALSE(USR::ping(url));
    }
    std::vector<std::string> log = Log("tls.log");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "GET /cgi/u?op=hi&rv=2& HTTP/1.1");
    EXPECT_EQ(log[2], "GET /cgi/u?bld=1234&fw=HUB7-main&no_cal=false&op=bird&sn=0012ABCD& HTTP/1.1");
    EXPECT_TRUE(Log("wrong.log").empty()) << "the refused server saw no request";
}

TEST_F(UpdateServerTool, ImageBuilderAndReaderAgreeOnEveryField)
{
    // Code that does not compress eight to one (periodic code would, and
    // then fails to load).
    std::string firmware(5000, '\0');
    uint32_t x = 1;
    for (size_t i = 0; i < firmware.size(); ++i) {
        x = x * 1103515245u + 12345u;
        firmware[i] = (char)(x >> 23);
    }
    WriteFile(dir / "fw.bin", firmware);
    std::string path = MakeBird(dir / "x.bird", {"--firmware", dir / "fw.bin", "--firmware-address", "0x8000",
                                                 "--loader-size", "256", "--build", "4321", "--version", "1.2.3",
                                                 "--serial", "00C0FFEE", "--model", "CTRL-9", "--entry", "0x1234"});
    BirdFile bird(path);
    EXPECT_EQ(bird.GetBuild(), 4321u);
    EXPECT_EQ(bird.GetVersion(), "1.2.3");
    EXPECT_EQ(bird.GetSerialNumber(), 0xC0FFEEu);
    EXPECT_TRUE(bird.ValidateModel("CTRL-9"));
    EXPECT_EQ(bird.GetEntryAddress(), 0x1234u);
    BirdBlock fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    EXPECT_EQ(fw.address, 0x8000u);
    EXPECT_EQ(std::string((const char *)fw.Code(), fw.CodeLength()), firmware);
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0).CodeLength(), 256u);
    EXPECT_FALSE(bird.has_serial_offsets());

    // Malformed header switches give files the header check refuses.
    for (const char *version : {"0x0100", "0x0001"})
        EXPECT_FALSE(BirdFile::VerifyFile(MakeBird(dir / "v.bird", {"--format-version", version})));
    EXPECT_FALSE(BirdFile::VerifyFile(MakeBird(dir / "s.bird", {"--signature", "BIRD"})));
    EXPECT_TRUE(BirdFile::VerifyFile(MakeBird(dir / "ok.bird", {})));
}

} // namespace
