// A device network on one link: the module the link reaches and, when it is a
// router, the modules behind it on its I2C bus (at their module addresses).
// The router's link carries every module's packets.
#pragma once

#include "sim/SimDevice.h"

#include <memory>
#include <vector>

namespace cvsim {

struct NetOut {
    struct Reply {
        Packet packet;
        Device *from;
    };
    std::vector<Reply> replies;
    DeviceOut::Link link = DeviceOut::Link::Keep;  // what happens to the link
};

class Network {
public:
    explicit Network(const DeviceConfig &root);

    void Handle(const Inbound &in, Clock::time_point now, NetOut &out);

    Device &Root() { return *devices_.front(); }
    const Device &Root() const { return *devices_.front(); }
    Device *Find(uint8_t address);
    Device *Find_Serial(uint32_t serial);
    const std::vector<std::unique_ptr<Device>> &Devices() const { return devices_; }
    uint64_t Unrouted() const { return unrouted_; }

private:
    void _i2c(Device &dev, const Packet &req, Clock::time_point now, NetOut &out);

    std::vector<std::unique_ptr<Device>> devices_;  // root first
    uint64_t unrouted_ = 0;
};

}  // namespace cvsim
