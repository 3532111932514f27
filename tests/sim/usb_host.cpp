// A host for the simulator's tests on its emulated USB bus: it opens a
// device's kernel node and plays steps against it, each "HEX/N": the bytes
// HEX go out in one write, then N reply bytes are awaited (N 0: none). Each
// step's reply is printed in hexadecimal on a line of its own. As a host's
// driver does, it keeps a read pending all the time, so that a reply the
// device sends just before it leaves the bus still arrives. It must run with
// the environment of the simulator's READY line ("usbenv=").
//   sim-usb-host NODE STEP...
// Exit status 0 when every reply came whole, 1 when one fell short, 2 when
// the node could not be opened or written.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool _parse(const std::string &step, std::vector<uint8_t> &bytes, size_t &reply) {
    size_t slash = step.find('/');
    if (slash == std::string::npos || slash % 2)
        return false;
    for (size_t i = 0; i < slash; i += 2)
        bytes.push_back(uint8_t(std::strtoul(step.substr(i, 2).c_str(), nullptr, 16)));
    reply = std::strtoul(step.c_str() + slash + 1, nullptr, 10);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: sim-usb-host NODE HEX/N...\n");
        return 2;
    }
    // The device may be off the bus for a moment (restarting): wait for it.
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; i++) {
        fd = open(argv[1], O_RDWR | O_CLOEXEC);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) {
        std::fprintf(stderr, "sim-usb-host: %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    // The reader: everything the device sends, until the node goes or the end.
    std::mutex mu;
    std::condition_variable cv;
    std::vector<uint8_t> in;
    std::atomic<bool> done{false};
    bool gone = false;
    std::thread reader([&] {
        while (!done) {
            uint8_t buf[512];
            ssize_t n = read(fd, buf, sizeof buf);  // 0 after a short hold when idle
            std::lock_guard<std::mutex> hold(mu);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                gone = true;
                cv.notify_all();
                return;
            }
            if (n > 0) {
                in.insert(in.end(), buf, buf + n);
                cv.notify_all();
            }
        }
    });
    int rc = 0;
    size_t taken = 0;
    for (int a = 2; a < argc && rc == 0; a++) {
        std::vector<uint8_t> out;
        size_t want = 0;
        if (!_parse(argv[a], out, want)) {
            std::fprintf(stderr, "sim-usb-host: bad step %s\n", argv[a]);
            rc = 2;
            break;
        }
        if (write(fd, out.data(), out.size()) != ssize_t(out.size())) {
            std::fprintf(stderr, "sim-usb-host: write: %s\n", std::strerror(errno));
            rc = 2;
            break;
        }
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, std::chrono::seconds(3), [&] { return gone || in.size() - taken >= want; });
        size_t got = std::min(want, in.size() - taken);
        std::string hex;
        for (size_t i = 0; i < got; i++) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", in[taken + i]);
            hex += h;
        }
        taken += got;
        std::printf("%s\n", hex.c_str());
        if (got < want)
            rc = 1;
    }
    done = true;
    reader.join();
    close(fd);
    return rc;
}
