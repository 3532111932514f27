#include "sim/SimNetwork.h"

#include "common/vError.h"

namespace cvsim {

namespace {
constexpr uint8_t kCmdI2C = 8;
}

Network::Network(const DeviceConfig &root) {
    devices_.push_back(std::make_unique<Device>(root));
    for (DeviceConfig c : root.children) {
        // A module behind a router reports that router's address unless told otherwise.
        if (c.router_address == 0)
            c.router_address = root.address;
        devices_.push_back(std::make_unique<Device>(c));
    }
}

Device *Network::Find(uint8_t address) {
    for (auto &d : devices_)
        if (d->Address() == address)
            return d.get();
    return nullptr;
}

Device *Network::Find_Serial(uint32_t serial) {
    for (auto &d : devices_)
        if (d->Serial() == serial)
            return d.get();
    return nullptr;
}

void Network::Handle(const Inbound &in, Clock::time_point now, NetOut &out) {
    Device &root = Root();
    const Packet &p = in.packet;
    if (in.link_level) {
        if (root.Away(now))
            return;
        if (p.address == kSyncProbe && p.length == 0) {
            root.Stats().sync_probes++;
            out.replies.push_back({Packet(root.Address(), {}), &root});
        } else if (p.address == kForceRoute && p.length == 1) {
            (p.data[0] ? root.Stats().force_route_on : root.Stats().force_route_off)++;
        } else {
            root.Stats().unknown++;
        }
        return;
    }
    Device *dev = Find(p.address);
    if (!dev || root.Away(now)) {
        unrouted_++;
        return;
    }
    if (p.length >= 1 && p.data[0] == kCmdI2C) {
        if (!dev->Away(now))
            _i2c(*dev, p, now, out);
        return;
    }
    DeviceOut d;
    dev->Handle(p, now, d);
    for (const Packet &r : d.replies)
        out.replies.push_back({r, dev});
    // A module behind the router restarts on its own; only the module the
    // link reaches takes the link with it.
    if (dev == &root)
        out.link = d.link;
}

void Network::_i2c(Device &dev, const Packet &req, Clock::time_point now, NetOut &out) {
    const uint8_t a = dev.Address();
    dev.Stats().packets_in++;
    if (req.length < 3) {
        dev.Stats().unknown++;
        return;
    }
    uint8_t index = req.data[1], bus = req.data[2];
    auto reply = [&](uint8_t count, uint8_t status, const uint8_t *bytes = nullptr) {
        Packet r(a, {kCmdI2C, index, bus, count, status});
        for (uint8_t i = 0; bytes && i < count; i++)
            r.Push(bytes[i]);
        out.replies.push_back({r, &dev});
    };
    auto error = [&](vErr code) { reply(0, uint8_t(0x80 | code)); };
    if (!dev.Config().router || index != 0)
        return error(vErrInvalidEntity);
    if (req.length == 4 && bus == 1)  // pull-up switch
        return reply(0, 0);
    if (req.length < 5)
        return error(vErrShortCommand);
    uint8_t len = req.data[3];
    Device *target = (bus & 0xFE) == a ? nullptr : Find(bus & 0xFE);
    bool present = target && !target->Away(now);
    if (bus & 1) {
        dev.Stats().i2c_reads++;
        if (len > 23)
            return error(vErrSize);
        if (!present)
            return error(vErrNotFound);
        uint8_t bytes[23];
        for (uint8_t i = 0; i < len; i++)
            bytes[i] = target->i2c_mem[uint8_t(target->i2c_pointer + i)];
        target->i2c_pointer = uint8_t(target->i2c_pointer + len);
        return reply(len, 0, bytes);
    }
    dev.Stats().i2c_writes++;
    if (len > req.length - 5)
        return error(vErrSize);
    if (!present)
        return error(vErrNotFound);
    // First byte sets the register pointer, the rest is stored from there.
    const uint8_t *w = req.data + 5;
    if (len > 0) {
        target->i2c_pointer = w[0];
        for (uint8_t i = 1; i < len; i++)
            target->i2c_mem[target->i2c_pointer++] = w[i];
    }
    reply(0, 0);
}

}  // namespace cvsim
