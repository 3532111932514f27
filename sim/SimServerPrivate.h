// The records of the simulator's serving loop, shared by SimServer.cpp (the
// loop and its transports) and SimControl.cpp (the control socket and the
// status and dump JSON).
#pragma once

#include "sim/SimServer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace cvsim {

inline std::string _errno_text(const std::string &what) { return what + ": " + std::strerror(errno); }

// The simulator spells serial numbers itself rather than through the device
// library, so that a fault in the library's spelling shows in the tests.
inline std::string _serial_text(uint32_t serial) {
    char b[9];
    std::snprintf(b, sizeof b, "%08X", serial);
    return b;
}

struct Server::Session {
    uint64_t id = 0;
    int fd = -1;
    Endpoint *ep = nullptr;
    bool cobs = false;
    bool pty = false;  // the fd belongs to the endpoint, not the session
    RawReader raw;
    CobsReader framed;
    std::vector<uint8_t> out;
};

struct Server::Endpoint {
    std::unique_ptr<Network> net;
    bool pty = false;
    std::string address;
    uint16_t port = 0;
    int listen_fd = -1;
    bool closed_for_good = false;
    int master = -1, slave = -1;
    std::string pty_path;
    std::vector<uint64_t> sessions;
    uint64_t framing_errors = 0;
    bool stream_tick = false;  // a stream sample tick is scheduled
};

struct Server::Control {
    uint64_t id = 0;
    int fd = -1;
    std::string in;
};

}  // namespace cvsim
