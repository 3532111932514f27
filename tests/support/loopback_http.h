// A one-thread HTTP/1.0-style server on 127.0.0.1 for client tests: records
// every request line and answers each with the reply the test chose.
#pragma once

#include "tests/support/loopback_listener.h"

#include <arpa/inet.h>
#include <atomic>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fixtures {

struct Reply {
    int status = 200;
    std::string body;
    // Bytes generated on the fly after body (byte i is i % 251), so a huge
    // reply costs the server no memory.
    size_t generated = 0;
    // Seconds to wait after the headers, then close without sending the body.
    int stall_seconds = 0;
};

class LoopbackHTTP {
public:
    // Answers every request with the reply last given to set_reply.
    LoopbackHTTP() : LoopbackHTTP(nullptr) {}
    explicit LoopbackHTTP(std::function<Reply(const std::string &request_line)> handler)
        : handler_(std::move(handler))
    {
        if (pipe2(wake_, O_CLOEXEC) != 0)
            wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackHTTP()
    {
        stop_ = true;
        if (write(wake_[1], "x", 1) < 0) {
        }
        thread_.join();
        close(wake_[0]);
        close(wake_[1]);
    }

    int port() const { return listener_.port; }
    std::string url(const std::string &path = "/cgi/u") const
    {
        return "http://127.0.0.1:" + std::to_string(listener_.port) + path;
    }
    void set_reply(const Reply &reply)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = reply;
    }
    std::vector<std::string> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    // Waits for fd to become readable, or the server to stop.
    bool Wait(int fd, int timeout_ms)
    {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        return poll(fds, 2, timeout_ms) > 0 && !(fds[1].revents & POLLIN) && (fds[0].revents & (POLLIN | POLLHUP));
    }

    void SendAll(int fd, const char *data, size_t size)
    {
        while (size > 0) {
            ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            data += n;
            size -= (size_t)n;
        }
    }

    void Serve()
    {
        while (!stop_) {
            if (!Wait(listener_.fd, -1))
                continue;
            int fd = accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos && Wait(fd, 5000)) {
                ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                head.append(buffer, (size_t)n);
            }
            std::string line = head.substr(0, head.find("\r\n"));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(line);
            }
            Reply reply;
            if (handler_) {
                reply = handler_(line);
            } else {
                std::lock_guard<std::mutex> lock(mutex_);
                reply = reply_;
            }
            size_t total = reply.body.size() + reply.generated;
            std::string headers = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Length: " +
                                  std::to_string(total) + "\r\nConnection: close\r\n\r\n";
            SendAll(fd, headers.data(), headers.size());
            if (reply.stall_seconds) {
                struct pollfd none = {wake_[0], POLLIN, 0};
                poll(&none, 1, reply.stall_seconds * 1000);
            } else {
                SendAll(fd, reply.body.data(), reply.body.size());
                std::vector<char> chunk(1 << 16);
                for (size_t sent = 0; sent < reply.generated && !stop_;) {
                    size_t n = std::min(chunk.size(), reply.generated - sent);
                    for (size_t i = 0; i < n; ++i)
                        chunk[i] = (char)((sent + i) % 251);
                    SendAll(fd, chunk.data(), n);
                    sent += n;
                }
            }
            close(fd);
        }
    }

    std::function<Reply(const std::string &)> handler_;
    LoopbackListener listener_{0, 16};
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    Reply reply_;
    std::thread thread_;
};

} // namespace fixtures
