#include "tests/support/fixtures.h"
#include "tests/support/loopback_http.h"
#include "updateserver/HTTPRequest.h"
#include "updateserver/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <curl/curl.h>
#include <stdexcept>
#include <sys/resource.h>

using fixtures::LoopbackHTTP;
using fixtures::Reply;

namespace {

using fixtures::ThrownText;

TEST(HTTPRequestURL, QueryKeysInOrderEachWithItsAmpersand)
{
    using P = std::map<std::string, std::string>;
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", P{}), "http://h/cgi/u");
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", P{{"op", "hi"}, {"rv", "2"}}), "http://h/cgi/u?op=hi&rv=2&");
    EXPECT_EQ(HTTPRequest::BuildURL("u", P{{"sn", "1"}, {"op", "qu"}}), "u?op=qu&sn=1&");
    // Byte order of keys, values sent as they are.
    EXPECT_EQ(HTTPRequest::BuildURL("u", P{{"b", ""}, {"B", "x y%20"}}), "u?B=x y%20&b=&");
}

TEST(HTTPRequestGET, ReturnsEveryStatusWithItsBody)
{
    LoopbackHTTP server;
    struct {
        int status;
        std::string body;
    } cases[] = {{200, "ok\n"}, {404, "no such thing"}, {500, std::string("bin\0ary\xff", 8)}, {200, ""}};
    for (auto &c : cases) {
        Reply reply;
        reply.status = c.status;
        reply.body = c.body;
        server.set_reply(reply);
        HTTPResponse response = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
        EXPECT_EQ(response.get_status(), c.status);
        EXPECT_EQ(response.body(), c.body);
        EXPECT_EQ(response.get_request(), server.url() + "?op=hi&rv=2&");
    }
    ASSERT_EQ(server.requests().size(), 4u);
    EXPECT_EQ(server.requests()[0], "GET /cgi/u?op=hi&rv=2& HTTP/1.1");
}

TEST(HTTPRequestGET, TransportFailuresThrowLibcurlsText)
{
    // A port that was just free: nothing listens there.
    int port;
    {
        LoopbackHTTP probe;
        port = probe.port();
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    EXPECT_EQ(ThrownText([&] { HTTPRequest::GET(url, {}); }), curl_easy_strerror(CURLE_COULDNT_CONNECT));
    // Only HTTP and HTTPS are spoken.
    EXPECT_EQ(ThrownText([&] { HTTPRequest::GET("file:///etc/passwd", {}); }),
              curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
}

TEST(HTTPRequestGET, AStalledTransferIsAbortedNotWaitedOn)
{
    LoopbackHTTP server;
    Reply reply;
    reply.body = std::string(1000, 'x');
    reply.stall_seconds = 30;
    server.set_reply(reply);
    HTTPRequest::Limits limits;
    limits.low_speed_seconds = 1;
    EXPECT_EQ(ThrownText([&] { HTTPRequest::GET(server.url(), {}, limits); }),
              curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
}

TEST(HTTPRequestGET, AConnectionThatIsNeverAcceptedTimesOut)
{
    // A listener whose accept queue is full drops further handshakes, so a
    // connect there waits: on loopback, the way an unresponsive host does.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, (sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, (sockaddr *)&addr, &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, (sockaddr *)&addr, sizeof addr);
        fillers.push_back(fd);
    }
    usleep(200000);
    HTTPRequest::Limits limits;
    limits.connect_seconds = 1;
    // Only the connect limit can end this soon: a connection that got through
    // would wait out the low-speed limit instead.
    limits.low_speed_seconds = 600;
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/cgi/u";
    EXPECT_EQ(ThrownText([&] { HTTPRequest::GET(url, {}, limits); }), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST(HTTPRequestGET, AHundredMegabyteBodyCostsAboutItsSize)
{
    const size_t size = 100u << 20;
    LoopbackHTTP server;
    Reply reply;
    reply.generated = size;
    server.set_reply(reply);
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    HTTPResponse response = HTTPRequest::GET(server.url(), {});
    getrusage(RUSAGE_SELF, &after);
    ASSERT_EQ(response.body_size(), size);
    const std::string &body = response.body();
    for (size_t i = 0; i < size; i += 4093)
        ASSERT_EQ((unsigned char)body[i], i % 251) << i;
    // The body is reserved from the announced length: no doubling copies.
    long grown_kb = after.ru_maxrss - before.ru_maxrss;
    EXPECT_LT(grown_kb, (long)(size / 1024) * 3 / 2) << "peak grew by " << grown_kb << " KiB";
}

TEST(Base64, EncodesWithPadding)
{
    struct {
        std::string in, out;
    } cases[] = {{"abc", "YWJj"}, {"ab", "YWI="}, {"a", "YQ=="}, {"", ""},
                 {std::string("\0\xff\xfe", 3), "AP/+"}, {"hello world", "aGVsbG8gd29ybGQ="}};
    for (auto &c : cases) {
        size_t n = 99;
        char *text = base64_encode((const uint8_t *)c.in.data(), c.in.size(), &n);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), c.out);
        EXPECT_EQ(n, c.out.size());
        free(text);
    }
}

TEST(Base64, DecodesOnlyCleanText)
{
    struct {
        std::string in;
        bool ok;
        std::string out;
    } cases[] = {
        {"YWJj", true, "abc"},
        {"YWI=", true, "ab"},
        {"YQ==", true, "a"},
        {"", true, ""},
        {"AP/+", true, std::string("\0\xff\xfe", 3)},
        {"YWJjZ", false, ""},     // not a multiple of four
        {"YWJ", false, ""},
        {"YW*j", false, ""},      // outside the alphabet
        {"YWJj\r", false, ""},
        {"YWJj\r\n==", false, ""},
        {"YW Jj", false, ""},
        {"YW-_", false, ""},      // the URL-safe alphabet is another one
        {"Y===", false, ""},      // "=" only pads the last two places
        {"YQ==YWJj", false, ""},
        {"=QQQ", false, ""},
        {"YQ=A", false, ""},
        {std::string("YW\0j", 4), false, ""},
        {"YWJj\xc3\xa9==", false, ""},
    };
    for (auto &c : cases) {
        size_t n = 99;
        uint8_t *bytes = base64_decode(c.in.data(), c.in.size(), &n);
        if (!c.ok) {
            EXPECT_EQ(bytes, nullptr) << c.in;
            free(bytes);
            continue;
        }
        ASSERT_NE(bytes, nullptr) << c.in;
        EXPECT_EQ(std::string((const char *)bytes, n), c.out) << c.in;
        EXPECT_EQ(bytes[n], 0) << "one zero byte after the data";
        free(bytes);
    }
}

TEST(Base64, RoundTripsEveryLengthAndByte)
{
    std::string data;
    for (int i = 0; i < 600; ++i)
        data.push_back((char)(i * 37 + i / 7));
    for (size_t length = 0; length <= data.size(); length += 1 + length / 10) {
        size_t text_length = 0, back_length = 0;
        char *text = base64_encode((const uint8_t *)data.data(), length, &text_length);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text_length, (length + 2) / 3 * 4);
        uint8_t *back = base64_decode(text, text_length, &back_length);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string((const char *)back, back_length), data.substr(0, length));
        free(text);
        free(back);
    }
}

} // namespace
