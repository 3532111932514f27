// A TCP listener on 127.0.0.1 with a kernel-chosen port, for the test to
// accept the stream's connection as the device.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct LoopbackListener {
    int fd = -1;
    uint16_t port = 0;

    // port 0: any free port; else that port (to bring a device back).
    explicit LoopbackListener(uint16_t wanted = 0, int backlog = 4)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(wanted);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
            close(fd);
            fd = -1;
            return;
        }
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~LoopbackListener() { stop(); }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    bool ok() const { return fd >= 0; }
    void stop()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // The next connection, or -1 after timeoutMs.
    int accept(int timeoutMs = 3000)
    {
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || poll(&p, 1, timeoutMs) != 1)
            return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

inline uint32_t loopbackAddress()
{
    return htonl(INADDR_LOOPBACK);
}
