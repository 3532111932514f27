// Shared pieces of the object-layer tests: a corvantis-sim process to talk
// to, link specifiers for its endpoints, and a scripted device on a loopback
// TCP connection for the replies no well-behaved device would send.
#pragma once

#include "common/vLink.h"
#include "device/Entity.h"
#include "device/Link.h"
#include "device/Module.h"
#include "tests/support/device_double.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/sim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>

namespace devtest {

using namespace Velquire::Corvantis;

// Direct links only: the link server is not part of these tests.
inline vEtherConfig directConfig()
{
    vEtherConfig c;
    c.enabled = 0;
    c.fallback = 0;
    return c;
}

inline linkSpec tcpSpec(uint32_t serial, uint16_t port, const char *address = "127.0.0.1")
{
    linkSpec s;
    std::memset(&s, 0, sizeof s);
    s.type = linkTypeTCPIP;
    s.serialNumber = serial;
    inet_pton(AF_INET, address, &s.transport.ip.address);
    s.transport.ip.port = port;
    return s;
}

inline linkSpec serialSpec(uint32_t serial, const std::string &path, uint32_t baud = 115200)
{
    linkSpec s;
    std::memset(&s, 0, sizeof s);
    s.type = linkTypeSerial;
    s.serialNumber = serial;
    s.transport.serial.baudRate = baud;
    std::strncpy(s.transport.serial.portName, path.c_str(), sizeof s.transport.serial.portName - 1);
    return s;
}

inline std::string hex8(uint32_t v)
{
    char b[9];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

// One simulated device on TCP loopback with a control socket.
struct SimOverTcp {
    fixtures::TempDir dir;
    std::unique_ptr<simtest::Sim> sim;
    uint32_t serial;

    explicit SimOverTcp(uint32_t serialNumber, const std::string &extra = "")
        : serial(serialNumber)
    {
        std::string device = "serial=0x" + hex8(serialNumber) + extra;
        sim.reset(new simtest::Sim({"--device", device, "--control", dir / "ctl"}));
    }
    uint16_t port() const { return sim->Port("tcp:" + hex8(serial)); }
    linkSpec spec() const { return tcpSpec(serial, port()); }
    nlohmann::json status() const { return sim->Device(hex8(serial)); }
};

// A connected Module on a simulated device (direct TCP link).
inline ::testing::AssertionResult connectModule(Module &module, const linkSpec &spec)
{
    if (module.setConfig(directConfig()) != vErrNone)
        return ::testing::AssertionFailure() << "setConfig";
    vErr err = module.connectFromSpec(spec);
    if (err != vErrNone)
        return ::testing::AssertionFailure() << "connectFromSpec: " << vError_GetErrorText(err);
    return ::testing::AssertionSuccess();
}

// A scripted device behind a loopback TCP listener, and a Link to it.
struct ScriptedDevice {
    LoopbackListener listener;
    DeviceDouble device;
    Link link{"scripted"};
    static constexpr uint32_t kSerial = 0x5C0000D1;

    ::testing::AssertionResult connect()
    {
        if (!listener.ok())
            return ::testing::AssertionFailure() << "no listener";
        link.setConfig(directConfig());
        link.setLinkSpecifier(tcpSpec(kSerial, listener.port));
        std::thread accepter([this] {
            int fd = listener.accept();
            if (fd >= 0) {
                // Each reply leaves at once, as from a device.
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                device.start(fd);
            }
        });
        vErr err = link.connect();
        accepter.join();
        if (err != vErrNone)
            return ::testing::AssertionFailure() << "connect: " << vError_GetErrorText(err);
        return ::testing::AssertionSuccess();
    }
};

} // namespace devtest
