// One simulated module: its identity, the system entity (command 3), the
// capability queries (73), the debug echo (23), the upgrade entity (0x5F)
// and heartbeats. Pure logic over packets; transports live elsewhere.
#pragma once

#include "sim/SimConfig.h"
#include "sim/SimEntities.h"
#include "sim/SimPacket.h"
#include "sim/SimUpgrade.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace cvsim {

using Clock = std::chrono::steady_clock;

struct DeviceOut {
    std::vector<Packet> replies;
    // What the device does to its link after the replies went out.
    enum class Link { Keep, Drop, Gone } link = Link::Keep;
};

// JSON text of a status or dump. A host may set any bytes as a device name;
// they are shown with U+FFFD where they are not UTF-8, never refused.
std::string Json_Text(const nlohmann::json &j);

class Device {
public:
    explicit Device(const DeviceConfig &cfg);
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // A packet from the host with this device's module address.
    void Handle(const Packet &req, Clock::time_point now, DeviceOut &out);

    // Not answering: rebooting (until a time) or gone for good.
    bool Away(Clock::time_point now) const { return gone_ || now < away_until_; }
    bool Gone() const { return gone_; }
    Clock::time_point Away_Until() const { return away_until_; }

    // The next heartbeat to send; its answer is due from now on (answers may
    // come late, one per heartbeat).
    Packet Heartbeat();

    const DeviceConfig &Config() const { return cfg_; }
    uint8_t Address() const { return cfg_.address; }
    uint32_t Serial() const { return cfg_.serial; }
    uint32_t Version() const { return version_; }
    uint32_t Build() const { return build_; }
    const std::string &Name() const { return name_; }
    const UpgradeEngine &Upgrade() const { return upgrade_; }
    // Settings, measurements, store slots, streams and factory data.
    Entities &Extras() { return entities_; }

    // Counters shown by the control interface.
    struct Counters {
        uint64_t packets_in = 0, packets_out = 0;
        uint64_t sync_probes = 0, force_route_on = 0, force_route_off = 0;
        uint64_t heartbeats_sent = 0, heartbeats_answered = 0, heartbeats_bad = 0;
        uint64_t uei_errors = 0, unknown = 0;
        uint64_t connections = 0, refused = 0, garbage = 0, restarts = 0;
        uint64_t i2c_writes = 0, i2c_reads = 0;
        // Host writes (a TCP read, a USB OUT transfer) that carried two or
        // more packets, and the packets that came that way.
        uint64_t pooled_writes = 0, pooled_packets = 0;
    };
    // Counts one host write that carried this many whole packets.
    void Count_Write(size_t packets) {
        if (packets > 1) {
            stats_.pooled_writes++;
            stats_.pooled_packets += packets;
        }
    }
    Counters &Stats() { return stats_; }
    uint64_t Replies_Sent() const { return replies_; }
    // Counts a reply on its way out; true when noise must precede it.
    bool Count_Reply();

    nlohmann::json Status(Clock::time_point now) const;
    nlohmann::json Dump() const;

    // I2C register space answering reads and writes through a router.
    uint8_t i2c_mem[256] = {};
    uint8_t i2c_pointer = 0;

private:
    void _system(const Packet &req, Clock::time_point now, DeviceOut &out);
    void _capability(const Packet &req, DeviceOut &out);
    void _go_away(uint32_t ms, Clock::time_point now);
    bool _has_uei(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;

    DeviceConfig cfg_;
    UpgradeEngine upgrade_;
    Entities entities_;
    uint32_t version_, build_;
    std::string name_;
    uint8_t router_address_;
    uint8_t route_to_me_ = 0;
    Clock::time_point started_;
    Clock::time_point away_until_{};
    bool gone_ = false;
    uint64_t hb_due_ = 0;  // heartbeats sent and not yet answered
    uint8_t hb_state_ = 0;
    // Name being set in sequenced packets.
    std::vector<uint8_t> name_in_;
    uint8_t name_seq_ = 0;
    bool name_active_ = false;
    Counters stats_;
    uint64_t replies_ = 0;
};

}  // namespace cvsim
