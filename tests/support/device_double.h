// A small scripted device for link tests: it reads the host's packets from a
// descriptor (raw wire form, or COBS frames on a packetized serial line),
// answers sync probes with its module address, remembers force-route packets
// and everything else it got, and replies to requests through a handler.
#pragma once

#include "common/vCobs.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

class DeviceDouble {
public:
    enum class Framing { Raw, Cobs };
    // Replies to one host packet (wire form) with any number of packets.
    using Handler = std::function<std::vector<Bytes>(const Bytes &packet)>;

    std::atomic<bool> answerSync{true};
    std::atomic<uint8_t> address{4};

    DeviceDouble() = default;
    DeviceDouble(const DeviceDouble &) = delete;
    DeviceDouble &operator=(const DeviceDouble &) = delete;
    ~DeviceDouble() { stop(); }

    // Takes over fd (closed on stop) and starts serving it.
    void start(int fd, Framing framing = Framing::Raw)
    {
        fd_ = fd;
        framing_ = framing;
        if (pipe(wake_) != 0) {
            wake_[0] = wake_[1] = -1;
            return;
        }
        thread_ = std::thread([this] { run(); });
    }
    void stop()
    {
        if (thread_.joinable()) {
            stopping_ = true;
            kick();
            thread_.join();
            std::lock_guard<std::mutex> hold(writeMutex_);
            close(wake_[0]);
            close(wake_[1]);
            wake_[0] = wake_[1] = -1;
        }
        closeLine();
    }
    // Ends the connection from the device's side at once (shutdown); the
    // device thread then closes the descriptor and idles.
    void closeLine()
    {
        {
            std::lock_guard<std::mutex> hold(writeMutex_);
            if (fd_ < 0)
                return;
            shutdown(fd_, SHUT_RDWR);
            if (wake_[1] < 0) {  // no device thread (any more): close here
                close(fd_);
                fd_ = -1;
                return;
            }
            closeRequested_ = true;
            kick();
        }
    }

    void setHandler(Handler h)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        handler_ = std::move(h);
    }
    // Answers every request with the same packet.
    void echo()
    {
        setHandler([](const Bytes &p) { return std::vector<Bytes>{p}; });
    }

    // Sends a packet in the line's framing.
    void sendPacket(const Bytes &wire)
    {
        if (framing_ == Framing::Cobs) {
            uint8_t frame[vCOBS_MAX_FRAME];
            size_t n = vCobs_BuildFrame(wire.data(), wire.size(), frame);
            sendRaw(Bytes(frame, frame + n));
        } else {
            sendRaw(wire);
        }
    }
    // Sends bytes exactly as given. The host may have let go of its end by
    // now (a test tears the link down while the device still answers
    // probes): on a socket that is EPIPE, never a SIGPIPE that kills the run.
    void sendRaw(const Bytes &bytes)
    {
        std::lock_guard<std::mutex> hold(writeMutex_);
        size_t off = 0;
        while (fd_ >= 0 && off < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK)  // a pty master
                n = write(fd_, bytes.data() + off, bytes.size() - off);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
    }

    std::vector<Bytes> requests()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }
    std::vector<uint8_t> forceRoutes()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return forceRoutes_;
    }
    int probes()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return probes_;
    }
    // Waits (hang bound) until the condition on this double holds.
    bool waitFor(const std::function<bool(DeviceDouble &)> &condition, int timeoutMs = 3000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            uint64_t seen;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                seen = version_;
            }
            if (condition(*this))
                return true;
            std::unique_lock<std::mutex> lock(mutex_);
            if (!changed_.wait_until(lock, end, [&] { return version_ != seen; })) {
                lock.unlock();
                return condition(*this);
            }
        }
    }

private:
    // Device thread only: the descriptor is read without the lock.
    void closeOwnLine(bool always)
    {
        std::lock_guard<std::mutex> hold(writeMutex_);
        if (fd_ >= 0 && (always || closeRequested_))
            close(fd_);
        else
            return;
        fd_ = -1;
        closeRequested_ = false;
    }

    void kick()
    {
        if (wake_[1] >= 0) {
            char c = 1;
            ssize_t ignored = write(wake_[1], &c, 1);
            (void)ignored;
        }
    }

    void run()
    {
        vCobsReceiver rx;
        vCobsReceiver_Reset(&rx);
        for (;;) {
            int fd;
            {
                std::lock_guard<std::mutex> hold(writeMutex_);
                fd = fd_;
            }
            pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd, POLLIN, 0}};
            int n = poll(p, fd >= 0 ? 2 : 1, 1000);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return;
            if (p[0].revents) {
                char c;
                ssize_t ignored = read(wake_[0], &c, 1);
                (void)ignored;
                if (stopping_)
                    return;
                closeOwnLine(false);
                continue;
            }
            if (fd < 0 || !(p[1].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            uint8_t buf[512];
            ssize_t got = read(fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                closeOwnLine(true);
                continue;
            }
            for (ssize_t i = 0; i < got; ++i) {
                if (framing_ == Framing::Raw) {
                    feedWire(buf[i]);
                    continue;
                }
                uint8_t wire[vCOBS_MAX_DECODED];
                size_t len = 0;
                if (vCobsReceiver_Feed(&rx, buf[i], wire, &len) == vErrNone)
                    for (size_t k = 0; k < len; ++k)
                        feedWire(wire[k]);
            }
        }
    }

    void feedWire(uint8_t byte)
    {
        partial_.push_back(byte);
        if (partial_.size() < 2 || partial_.size() < static_cast<size_t>(partial_[1]) + 2)
            return;
        Bytes packet;
        packet.swap(partial_);
        onPacket(packet);
    }

    void onPacket(const Bytes &packet)
    {
        std::vector<Bytes> replies;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (packet[0] == 173 && packet[1] == 0) {
                ++probes_;
                if (answerSync)
                    replies.push_back(Bytes{address, 0});
            } else if (packet[0] == 175 && packet[1] == 1) {
                forceRoutes_.push_back(packet[2]);
            } else {
                requests_.push_back(packet);
                if (handler_)
                    replies = handler_(packet);
            }
            ++version_;
        }
        changed_.notify_all();
        for (const Bytes &r : replies)
            sendPacket(r);
    }

    int fd_ = -1;
    std::atomic<bool> stopping_{false};
    bool closeRequested_ = false;  // under writeMutex_
    int wake_[2] = {-1, -1};
    Framing framing_ = Framing::Raw;
    std::thread thread_;
    std::mutex writeMutex_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Handler handler_;
    std::vector<Bytes> requests_;
    std::vector<uint8_t> forceRoutes_;
    int probes_ = 0;
    uint64_t version_ = 0;
    Bytes partial_;  // device thread only
};
