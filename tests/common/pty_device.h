// A pseudo-terminal pair for serial tests: the stream opens the slave path,
// the test plays the device on the master side.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

struct PtyDevice {
    int master = -1;
    std::string slavePath;

    PtyDevice()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        const char *name = ptsname(master);
        if (name != nullptr)
            slavePath = name;
    }
    ~PtyDevice() { closeMaster(); }
    bool ok() const { return master >= 0 && !slavePath.empty(); }
    void closeMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }

    void send(const std::string &bytes) const
    {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = write(master, bytes.data() + off, bytes.size() - off);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }
    // Reads until n bytes came or timeoutMs passed without a byte.
    std::string receive(size_t n, int timeoutMs = 2000) const
    {
        std::string got;
        while (got.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1)
                break;
            char buf[256];
            ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
};
