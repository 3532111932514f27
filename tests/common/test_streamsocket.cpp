// Socket stream over TCP loopback and socketpairs.
#include "common/vStream.h"
#include "tests/support/loopback_listener.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

using Listener = LoopbackListener;

uint32_t loopback() { return loopbackAddress(); }

// Reads until n bytes arrived or the hang bound passes.
std::string readFor(vStream *s, size_t n, vErr *last = nullptr)
{
    std::string got;
    auto end = Clock::now() + std::chrono::seconds(3);
    vErr err = vErrNone;
    while (got.size() < n && Clock::now() < end) {
        uint8_t b;
        err = vStream_Read(s, &b, 1);
        if (err == vErrNone)
            got.push_back(static_cast<char>(b));
        else if (err == vErrNotReady)
            vStream_WaitReadable(s, 50);
        else
            break;
    }
    if (last)
        *last = err;
    return got;
}

std::string recvAll(int fd, size_t n)
{
    std::string got;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            break;
        char buf[256];
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

TEST(SocketStream, ExchangesBytesBothWays)
{
    Listener l;
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateSocket(loopback(), l.port, &s), vErrNone);
    int peer = l.accept();
    ASSERT_GE(peer, 0);

    uint8_t b;
    EXPECT_EQ(vStream_Read(s, &b, 1), vErrNotReady);  // nothing yet, and no waiting

    ASSERT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>("\x04\x01\x00"), 3), vErrNone);
    ASSERT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>("Z"), 1), vErrNone);
    EXPECT_EQ(recvAll(peer, 4), std::string("\x04\x01\x00Z", 4));

    std::string big(3000, 'q');
    ASSERT_EQ(send(peer, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    EXPECT_EQ(readFor(s, big.size()), big);
    close(peer);
    vStream_Destroy(&s);
}

TEST(SocketStream, WaitSleepsUntilAByteArrives)
{
    Listener l;
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateSocket(loopback(), l.port, &s), vErrNone);
    int peer = l.accept();
    ASSERT_GE(peer, 0);

    auto t0 = Clock::now();
    EXPECT_EQ(vStream_WaitReadable(s, 100), vErrTimeout);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(90));

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send(peer, "x", 1, 0);
    });
    EXPECT_EQ(vStream_WaitReadable(s, 5000), vErrNone);
    uint8_t b = 0;
    EXPECT_EQ(vStream_Read(s, &b, 1), vErrNone);
    EXPECT_EQ(b, 'x');
    sender.join();
    close(peer);
    vStream_Destroy(&s);
}

TEST(SocketStream, RefusedConnectionLeavesNoStream)
{
    uint16_t port;
    {
        Listener l;
        port = l.port;
    }
    vStream *s = reinterpret_cast<vStream *>(&port);
    EXPECT_EQ(vStream_CreateSocket(loopback(), port, &s), vErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(vStream_CreateSocket(loopback(), port, nullptr), vErrParam);
}

// The device's side ends: an orderly close, or a reset.
enum class End { Orderly, Reset };

void endConnection(int fd, End how)
{
    if (how == End::Reset) {
        linger lg{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close(fd);
}

TEST(SocketStream, PeerEndWithoutListenerDisconnectsForGood)
{
    for (End how : {End::Orderly, End::Reset}) {
        SCOPED_TRACE(how == End::Orderly ? "orderly" : "reset");
        Listener l;
        vStream *s = nullptr;
        ASSERT_EQ(vStream_CreateSocket(loopback(), l.port, &s), vErrNone);
        int peer = l.accept();
        ASSERT_GE(peer, 0);
        send(peer, "ab", 2, 0);
        EXPECT_EQ(readFor(s, 2), "ab");
        l.stop();  // the reconnect will be refused
        endConnection(peer, how);

        vErr err = vErrNone;
        readFor(s, 1, &err);
        EXPECT_EQ(err, vErrConnection);
        uint8_t b;
        EXPECT_EQ(vStream_Read(s, &b, 1), vErrConnection);  // stays disconnected
        EXPECT_EQ(vStream_Write(s, &b, 1), vErrConnection);
        vStream_Destroy(&s);
    }
}

TEST(SocketStream, PeerEndWithListenerReconnects)
{
    for (End how : {End::Orderly, End::Reset}) {
        SCOPED_TRACE(how == End::Orderly ? "orderly" : "reset");
        Listener l;
        vStream *s = nullptr;
        ASSERT_EQ(vStream_CreateSocket(loopback(), l.port, &s), vErrNone);
        int first = l.accept();
        ASSERT_GE(first, 0);
        endConnection(first, how);

        std::atomic<int> second{-1};
        std::thread device([&] {
            int fd = l.accept(3000);
            if (fd >= 0)
                send(fd, "new", 3, 0);
            second = fd;
        });
        EXPECT_EQ(readFor(s, 3), "new");
        device.join();
        ASSERT_GE(second.load(), 0);
        ASSERT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>("ok"), 2), vErrNone);
        EXPECT_EQ(recvAll(second, 2), "ok");
        close(second);
        vStream_Destroy(&s);
    }
}

TEST(SocketStream, OverASocketpair)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateSocketFromDescriptor(sv[0], &s), vErrNone);
    ASSERT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>("hi"), 2), vErrNone);
    EXPECT_EQ(recvAll(sv[1], 2), "hi");
    send(sv[1], "yo", 2, 0);
    EXPECT_EQ(readFor(s, 2), "yo");
    close(sv[1]);
    vErr err = vErrNone;
    readFor(s, 1, &err);
    EXPECT_EQ(err, vErrConnection);  // no address to reconnect to
    vStream_Destroy(&s);
}

TEST(SocketStream, WriteToAPeerThatStoppedReadingGivesUp)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    vStream *s = nullptr;
    ASSERT_EQ(vStream_CreateSocketFromDescriptor(sv[0], &s), vErrNone);
    std::string block(1 << 20, 'x');
    auto t0 = Clock::now();
    EXPECT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>(block.data()),
                            static_cast<uint32_t>(block.size())),
              vErrIO);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));  // hang bound only
    close(sv[1]);
    vStream_Destroy(&s);
}

} // namespace
