#include "tests/support/loopback_http.h"
#include "updateserver/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using fixtures::LoopbackHTTP;
using fixtures::Reply;
using USR = UpdateServerRequest;

namespace {

class UpdateServerRequestTest : public ::testing::Test {
protected:
    void Answer(const std::string &body, int status = 200)
    {
        Reply reply;
        reply.status = status;
        reply.body = body;
        server.set_reply(reply);
    }
    // The query part of the last request line.
    std::string LastQuery()
    {
        std::vector<std::string> requests = server.requests();
        if (requests.empty())
            return "";
        std::string line = requests.back();
        size_t start = line.find('?'), end = line.rfind(" HTTP/");
        return start == std::string::npos ? "" : line.substr(start, end - start);
    }
    LoopbackHTTP server;
};

TEST_F(UpdateServerRequestTest, EveryQueryNeedsStatus200AndALeadingOk)
{
    struct {
        int status;
        std::string body;
        bool ok;
    } cases[] = {
        {200, "ok\n", true},      {200, "ok\r\n", true}, {200, "okay\n", true}, {200, "\n\nok\n", true},
        {200, "OK\n", false},     {200, "o\nk\n", false}, {200, "", false},      {200, "error ok\n", false},
        {404, "ok\n", false},     {500, "ok\n", false},  {302, "ok\n", false},
    };
    for (auto &c : cases) {
        Answer(c.body, c.status);
        EXPECT_EQ(USR::ping(server.url()), c.ok) << c.status << " " << c.body;
    }
    EXPECT_EQ(LastQuery(), "?op=hi&rv=2&");
}

TEST_F(UpdateServerRequestTest, QueryBuildSetsWhatTheReplyHolds)
{
    struct {
        std::string body;
        bool ok;
        std::string build, firmware;
    } cases[] = {
        {"ok\n1234\nfw-text\r\n", true, "1234", "fw-text"},
        {"ok\n1234\n", true, "1234", "old-fw"},
        {"ok\n", true, "old-build", "old-fw"},
        {"ok\r\n77\r\nfw two\r\nextra\n", true, "77\r", "fw two"},
        {"no\n1234\nfw\n", false, "old-build", "old-fw"},
    };
    for (auto &c : cases) {
        Answer(c.body);
        std::string build = "old-build", firmware = "old-fw";
        EXPECT_EQ(USR::QueryBuild(0x12ABCD, build, firmware, server.url()), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
    EXPECT_EQ(LastQuery(), "?op=qu&sn=0012ABCD&");
}

TEST_F(UpdateServerRequestTest, GetBuildSendsItsKeysAndTakesLineTwoAsIs)
{
    std::string payload = "old";
    Answer("ok\nYWJj\r\nmore\n");
    EXPECT_TRUE(USR::GetBuild(0x12ABCD, "F", "42", payload, server.url(), true));
    EXPECT_EQ(payload, "YWJj\r") << "a carriage return stays in the payload";
    EXPECT_EQ(LastQuery(), "?bld=42&fw=F&no_cal=true&op=bird&sn=0012ABCD&");

    Answer("ok\n");
    EXPECT_TRUE(USR::GetBuild(0xDEADDEAD, "x", "1", payload, server.url(), false));
    EXPECT_EQ(payload, "") << "cleared once an ok reply arrived";
    EXPECT_EQ(LastQuery(), "?bld=1&fw=x&no_cal=false&op=bird&sn=DEADDEAD&");

    payload = "kept";
    Answer("ok\nYWJj\n", 500);
    EXPECT_FALSE(USR::GetBuild(1, "x", "1", payload, server.url()));
    EXPECT_EQ(payload, "kept");
    Answer("fail\nYWJj\n");
    EXPECT_FALSE(USR::GetBuild(1, "x", "1", payload, server.url()));
    EXPECT_EQ(payload, "kept");

    // A large image line arrives whole.
    std::string image(3 << 20, 'Q');
    Answer("ok\n" + image + "\n");
    EXPECT_TRUE(USR::GetBuild(1, "x", "1", payload, server.url()));
    EXPECT_EQ(payload, image);
}

TEST_F(UpdateServerRequestTest, BuildListKeepsTheFirstLineOfEachBuild)
{
    USR::BuildList builds{{"stale", "0.0.0"}};
    Answer("ok\n100;1.2.3\n999\n99\n100;9.9.9\n");
    EXPECT_TRUE(USR::GetBuildList(0x12ABCD, builds, server.url()));
    EXPECT_EQ(builds, (USR::BuildList{{"100", "1.2.3"}, {"999", ""}}));
    EXPECT_EQ(LastQuery(), "?op=builds&sn=0012ABCD&");

    Answer("ok\r\n200;2.0.0\r\n201;;2.0.1\r\n;5.5.5\r\n");
    EXPECT_TRUE(USR::GetBuildList(1, builds, server.url()));
    EXPECT_EQ(builds, (USR::BuildList{{"200", "2.0.0"}, {"201", "2.0.1"}, {"5.5.5", ""}}));

    Answer("ok\n");
    EXPECT_TRUE(USR::GetBuildList(1, builds, server.url()));
    EXPECT_TRUE(builds.empty());

    builds = {{"stale", "0.0.0"}};
    Answer("nope\n1;1.1.1\n");
    EXPECT_FALSE(USR::GetBuildList(1, builds, server.url()));
    EXPECT_TRUE(builds.empty()) << "cleared before the request";
}

TEST_F(UpdateServerRequestTest, RecoveryInfoReadsHexSerialAndAnyBaseBuild)
{
    const uint32_t words[4] = {1, 2, 3, 4};
    EXPECT_EQ(USR::FingerprintText(words), "00000001%2000000002%2000000003%2000000004");
    EXPECT_EQ(USR::FingerprintText(words).size(), 41u);
    struct {
        std::string body;
        bool ok;
        uint32_t serial, build;
    } cases[] = {
        {"ok\n0012ABCD\n0x10\n", true, 0x12ABCD, 16},
        {"ok\n12abcd\n1234\n", true, 0x12ABCD, 1234},
        {"ok\nDEADDEAD\n010\n", true, 0xDEADDEAD, 8},
        {"ok\n0012ABCD\n", true, 0x12ABCD, 7},
        {"ok\n", true, 5, 7},
        {"ok\nzz\nzz\n", true, 0, 0},
        {"bad\n1\n2\n", false, 5, 7},
    };
    for (auto &c : cases) {
        Answer(c.body);
        uint32_t serial = 5, build = 7;
        EXPECT_EQ(USR::GetRecoveryInfo(words, serial, build, server.url()), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
    EXPECT_EQ(LastQuery(), "?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
}

TEST_F(UpdateServerRequestTest, DeviceTokenNeedsThreeParts)
{
    struct {
        std::string body;
        bool ok;
        std::string token;
    } cases[] = {
        {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
        {"ok\naa.bb.cc\r\n", true, "aa.bb.cc"},
        {"ok\naa.bb.cc.dd\n", true, "aa.bb.cc.dd"},
        {"ok\neyJhbGciOi.eyJzbiI6.c2lnbmF0dXJl\n", true, "eyJhbGciOi.eyJzbiI6.c2lnbmF0dXJl"},
        {"ok\na.bb.cc\n", false, "old"},
        {"ok\naa.b.cc\n", false, "old"},
        {"ok\naa.bb.c\n", false, "old"},
        {"ok\naa.bb.c\r\n", false, "old"},
        {"ok\naa.bb\n", false, "old"},
        {"ok\naa..cc\n", false, "old"},
        {"ok\nab\n", false, "old"},
        {"ok\n", false, "old"},
        {"no\naa.bb.cc\n", false, "old"},
    };
    for (auto &c : cases) {
        Answer(c.body);
        std::string token = "old";
        EXPECT_EQ(USR::GetDeviceJWT(0x12ABCD, token, server.url()), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
    EXPECT_EQ(LastQuery(), "?json=false&op=ent_jwt&sn=0012ABCD&");
}

TEST(UpdateServerRequestTransport, AnUnreachableServerIsAFailedQueryNotAnException)
{
    int port;
    {
        LoopbackHTTP probe;
        port = probe.port();
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    std::string text = "t";
    USR::BuildList builds{{"x", "y"}};
    uint32_t serial = 1, build = 2;
    const uint32_t words[4] = {};
    EXPECT_FALSE(USR::ping(url));
    EXPECT_FALSE(USR::QueryBuild(1, text, text, url));
    EXPECT_FALSE(USR::GetBuild(1, "f", "1", text, url));
    EXPECT_FALSE(USR::GetBuildList(1, builds, url));
    EXPECT_FALSE(USR::GetRecoveryInfo(words, serial, build, url));
    EXPECT_FALSE(USR::GetDeviceJWT(1, text, url));
    EXPECT_EQ(text, "t");
    EXPECT_TRUE(builds.empty());
    EXPECT_EQ(serial, 1u);
    EXPECT_EQ(build, 2u);
}

TEST(VersionOrder, SplitsIntoExactlyThreePieces)
{
    using V = std::vector<std::string>;
    struct {
        const char *version;
        V pieces;
    } cases[] = {{"1.2.3", {"1", "2", "3"}}, {"1..3", {"1", "", "3"}}, {"..", {"", "", ""}},
                 {"1.2", {}},                {"1.2.3.4", {}},          {"", {}},
                 {"a.b.c", {"a", "b", "c"}}};
    for (auto &c : cases)
        EXPECT_EQ(USR::SplitCorvantisVersion(c.version), c.pieces) << c.version;
}

std::vector<std::string> Order(const USR::BuildList &builds)
{
    std::vector<std::string> order;
    for (auto &entry : USR::SortBuildsByVersion(builds))
        order.push_back(entry.first);
    return order;
}

TEST(VersionOrder, NewestFirstThenMalformedByBuildNumber)
{
    using O = std::vector<std::string>;
    EXPECT_EQ(Order({{"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "2.0.0"}}), (O{"3", "2", "1"}));
    // Components count by their low eight bits: 1.256.0 equals 1.0.0, and
    // equal versions keep the list's (key) order.
    EXPECT_EQ(Order({{"b", "1.256.0"}, {"a", "1.0.0"}, {"c", "1.0.0"}}), (O{"a", "b", "c"}));
    EXPECT_EQ(Order({{"9", "bad"}, {"10", "1..3"}, {"100", "1.0.0"}, {"20", ""}, {"5", "2.0.0"}, {"x", "1.2"},
                     {"3", "1.2.3.4"}, {"7", "0.0.1"}}),
              (O{"5", "100", "7", "3", "9", "10", "20", "x"}));
    EXPECT_TRUE(USR::_sortVersion({"1", "2.0.0"}, {"2", "1.9.9"}));
    EXPECT_FALSE(USR::_sortVersion({"1", "1.9.9"}, {"2", "2.0.0"}));
    EXPECT_FALSE(USR::_sortVersion({"1", "1.0.0"}, {"2", "1.0.0"}));
}

TEST(VersionOrder, IsAStrictWeakOrderingOverMixedLists)
{
    // The sort's comparator must be irreflexive, asymmetric and transitive,
    // with transitive equivalence, or sorting is undefined.
    std::vector<std::pair<std::string, std::string>> items = {
        {"1", "1.2.3"}, {"2", "1.2.3"}, {"3", "bad"},    {"4", ""},      {"5", "9.9.9"}, {"6", "1..3"},
        {"7", "0.0.0"}, {"8", "1.256.3"}, {"9", "x.y.z"}, {"10", "2.0"}, {"11", "2.0.0"}, {"abc", "1.0.0"},
        {"def", "nope"}, {"012", "junk"}, {"12", "junk"},
    };
    auto less = USR::_sortVersion;
    for (auto &a : items) {
        EXPECT_FALSE(less(a, a)) << a.first;
        for (auto &b : items) {
            if (less(a, b)) {
                EXPECT_FALSE(less(b, a)) << a.first << " " << b.first;
            }
            for (auto &c : items) {
                if (less(a, b) && less(b, c)) {
                    EXPECT_TRUE(less(a, c)) << a.first << " " << b.first << " " << c.first;
                }
                bool ab = !less(a, b) && !less(b, a), bc = !less(b, c) && !less(c, b);
                if (ab && bc) {
                    EXPECT_TRUE(!less(a, c) && !less(c, a)) << a.first << " " << b.first << " " << c.first;
                }
            }
        }
    }
    // A long shuffled list sorts into the documented order.
    USR::BuildList many;
    std::mt19937 rng(5);
    for (int i = 0; i < 3000; ++i) {
        std::string version = rng() % 4 == 0 ? "broken" + std::to_string(i)
                                             : std::to_string(rng() % 3) + "." + std::to_string(rng() % 3) + "." +
                                                   std::to_string(rng() % 3);
        many[std::to_string(i)] = version;
    }
    USR::SortedBuildList sorted = USR::SortBuildsByVersion(many);
    ASSERT_EQ(sorted.size(), many.size());
    for (size_t i = 1; i < sorted.size(); ++i)
        EXPECT_FALSE(less(sorted[i], sorted[i - 1])) << i;
}

} // namespace
