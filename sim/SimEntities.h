// The entities of a simulated module beyond its identity: the rest of the
// system options (settings, measurements, calls, the power-behaviour array),
// store slots (command 4), the store entity (92), value streams (93) and
// factory data (94). Pure logic over packets, like Device.
#pragma once

#include "sim/SimPacket.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace cvsim {

class Entities {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kStreamIntervalMs = 20;

    explicit Entities(uint8_t address);

    // A request to this module; true when it was one of ours (replies in out).
    bool Handle(const Packet &req, Clock::time_point now, std::vector<Packet> &out);
    // System options answered here, for the capability query.
    static bool Has_Get(uint8_t option);
    static bool Has_Set(uint8_t option);

    // Streams: samples of every enabled option, due every kStreamIntervalMs.
    bool Streaming() const { return !streams_.empty(); }
    void Samples(Clock::time_point now, std::vector<Packet> &out);
    // A restart forgets streams and half-done transfers.
    void Restart();

    nlohmann::json Status() const;

private:
    void _system(const Packet &req, Clock::time_point now, std::vector<Packet> &out);
    void _slot(const Packet &req, std::vector<Packet> &out);
    void _store(const Packet &req, std::vector<Packet> &out);
    void _stream(const Packet &req, std::vector<Packet> &out);
    void _factory(const Packet &req, std::vector<Packet> &out);
    uint32_t _measure(uint8_t option, Clock::time_point now) const;

    uint8_t address_;
    Clock::time_point started_;
    std::map<uint8_t, uint32_t> settings_;      // 8- and 32-bit settable options
    std::vector<uint32_t> power_config_;        // option 31
    std::vector<uint8_t> power_config_in_;      // being set in sequenced packets
    uint8_t power_config_seq_ = 0;
    bool power_config_active_ = false;
    uint64_t calls_[64] = {};                   // per option: calls (save, reset, ...)

    struct Slot {
        std::vector<uint8_t> bytes;
        uint16_t capacity = 512;
    };
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    struct Open_Slot {
        std::pair<uint8_t, uint8_t> slot;
        bool write = false;
        size_t at = 0;
    };
    std::map<uint8_t, Open_Slot> handles_;
    uint8_t next_handle_ = 1;

    uint64_t store_ops_[3] = {};
    uint32_t last_store_entity_ = 0;

    std::set<uint8_t> streams_;                 // streamed system options
    uint32_t samples_ = 0;

    std::vector<uint8_t> factory_[16];
    bool factory_writing_ = false;
    uint8_t factory_index_ = 0;
    size_t factory_read_at_ = 0;
    std::vector<uint8_t> factory_in_;
};

}  // namespace cvsim
