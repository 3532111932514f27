#include "sim/SimDevice.h"

#include "common/vError.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace cvsim {

namespace {

constexpr uint8_t kCmdHeartbeat = 0;
constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdDebug = 23;
constexpr uint8_t kCmdCapability = 73;

// Commands that carry no UEI: a device does not answer them with a UEI error.
bool _not_uei(uint8_t cmd) {
    switch (cmd) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24: case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

std::string _hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

// System options a host may read (get) or write (set).
bool _system_get(uint8_t o) {
    switch (o) {
    case 1: case 2: case 7: case 8: case 9: case 20: case 22: case 32: case 39: case 43: case 45:
        return true;
    default:
        return false;
    }
}

bool _system_set(uint8_t o) { return o == 2 || o == 11 || o == 20 || o == 32; }

}  // namespace

std::string Json_Text(const nlohmann::json &j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Device::Device(const DeviceConfig &cfg)
    : cfg_(cfg), upgrade_(cfg_), entities_(cfg.address), version_(cfg.version), build_(cfg.build), name_(cfg.name),
      router_address_(cfg.router_address), started_(Clock::now()) {}

void Device::_go_away(uint32_t ms, Clock::time_point now) {
    away_until_ = now + std::chrono::milliseconds(ms);
    stats_.restarts++;
    hb_due_ = 0;
    name_active_ = false;
    entities_.Restart();
}

bool Device::Count_Reply() {
    replies_++;
    stats_.packets_out++;
    bool noise = cfg_.faults.garbage_every && replies_ % cfg_.faults.garbage_every == 0;
    if (noise)
        stats_.garbage++;
    return noise;
}

Packet Device::Heartbeat() {
    hb_due_++;
    stats_.heartbeats_sent++;
    return Packet(cfg_.address, {kCmdHeartbeat, hb_state_});
}

void Device::Handle(const Packet &req, Clock::time_point now, DeviceOut &out) {
    if (Away(now) || req.length == 0)
        return;
    stats_.packets_in++;
    if (!upgrade_.In_Loader() && entities_.Handle(req, now, out.replies))
        return;
    uint8_t cmd = req.data[0];
    switch (cmd) {
    case kCmdHeartbeat:
        // The host's answer to our heartbeat: [0, state + 2].
        if (req.length == 2 && hb_due_ > 0 && req.data[1] == hb_state_ + 2) {
            stats_.heartbeats_answered++;
            hb_due_--;
        } else {
            stats_.heartbeats_bad++;
        }
        return;
    case kCmdSystem:
        return _system(req, now, out);
    case kCmdCapability:
        return _capability(req, out);
    case kCmdDebug:
        out.replies.push_back(Packet::From(cfg_.address, req.data, req.length));
        return;
    case kCmdUpgrade: {
        UpgradeOut u;
        upgrade_.Handle(req, u);
        out.replies = std::move(u.replies);
        switch (u.event) {
        case UpgradeOut::Event::LoaderStarted:
            if (cfg_.faults.gone_after_load) {
                gone_ = true;
                out.link = DeviceOut::Link::Gone;
            } else if (cfg_.load_drops_link) {
                _go_away(cfg_.reboot_ms, now);
                out.link = DeviceOut::Link::Drop;
            }
            break;
        case UpgradeOut::Event::Rebooted: {
            uint32_t v, b;
            if (upgrade_.Started_Firmware(v, b)) {
                version_ = v;
                build_ = b;
            }
            _go_away(cfg_.reboot_ms, now);
            out.link = DeviceOut::Link::Drop;
            break;
        }
        case UpgradeOut::Event::RebootLost:
            _go_away(cfg_.reboot_ms, now);
            out.link = DeviceOut::Link::Drop;
            break;
        case UpgradeOut::Event::None:
            break;
        }
        return;
    }
    default:
        if (_not_uei(cmd) || req.length < 3) {
            stats_.unknown++;
            return;
        }
        // A UEI of an entity class this device does not have.
        stats_.uei_errors++;
        uint8_t opt = req.data[1];
        uint8_t reply_opt = (opt & 0x80) ? uint8_t((opt & 0x3F) | 0xC0) : uint8_t(opt & 0x3F);
        out.replies.push_back(
            Packet(cfg_.address, {cmd, reply_opt, uint8_t((req.data[2] & 0x1F) | 0x80), uint8_t(vErrInvalidEntity)}));
        return;
    }
}

void Device::_system(const Packet &req, Clock::time_point now, DeviceOut &out) {
    const uint8_t a = cfg_.address;
    if (req.length < 3) {
        stats_.unknown++;
        return;
    }
    uint8_t opt_byte = req.data[1];
    uint8_t option = opt_byte & 0x3F;
    uint8_t index = req.data[2] & 0x1F;
    bool get = (opt_byte & 0xC0) == 0x40;
    bool set = (opt_byte & 0xC0) == 0x80;
    if (!get && !set) {
        stats_.unknown++;
        return;
    }
    uint8_t ack_opt = get ? option : uint8_t(option | 0xC0);
    auto error = [&](vErr code) {
        stats_.uei_errors++;
        out.replies.push_back(Packet(a, {kCmdSystem, ack_opt, uint8_t(index | 0x80), uint8_t(code)}));
    };
    if (index != 0)
        return error(vErrInvalidEntity);
    if ((get && !_system_get(option)) || (set && !_system_set(option)))
        return error(vErrInvalidOption);
    Packet r(a, {kCmdSystem, ack_opt, index});
    if (get) {
        switch (option) {
        case 1: r.Push(cfg_.address); break;
        case 2: r.Push(router_address_); break;
        case 7: r.Push_Be32(version_); break;
        case 8: r.Push(cfg_.model); break;
        case 9: r.Push_Be32(cfg_.serial); break;
        case 20: r.Push(route_to_me_); break;
        case 22:
            r.Push_Be32(uint32_t(std::chrono::duration_cast<std::chrono::seconds>(now - started_).count()));
            break;
        case 39: {
            uint8_t sub = req.length >= 4 ? req.data[3] : 0;
            if (sub > 3)
                return error(vErrIndexRange);
            r.Push_Be32(cfg_.identifier[sub]);
            break;
        }
        case 43: r.Push_Be32(build_); break;
        case 45: r.Push_Be32(cfg_.features); break;
        case 32: {
            // The name travels as a byte array: 24 bytes per packet and a
            // sequence byte whose bit 7 says more follows.
            size_t at = 0;
            uint8_t seq = 0;
            do {
                size_t n = std::min<size_t>(24, name_.size() - at);
                Packet p(a, {kCmdSystem, option, index});
                for (size_t i = 0; i < n; i++)
                    p.Push(uint8_t(name_[at + i]));
                at += n;
                p.Push(uint8_t((seq & 0x7F) | (at < name_.size() ? 0x80 : 0)));
                seq++;
                out.replies.push_back(p);
            } while (at < name_.size());
            return;
        }
        }
        out.replies.push_back(r);
        return;
    }
    switch (option) {
    case 2:
    case 20:
        if (req.length < 4)
            return error(vErrShortCommand);
        (option == 2 ? router_address_ : route_to_me_) = req.data[3];
        break;
    case 11:
        out.replies.push_back(r);
        upgrade_.Restart();
        _go_away(cfg_.reboot_ms, now);
        out.link = DeviceOut::Link::Drop;
        return;
    case 32: {
        if (req.length < 4)
            return error(vErrShortCommand);
        uint8_t trailer = req.data[req.length - 1];
        uint8_t seq = trailer & 0x7F;
        if (seq == 0) {
            name_in_.clear();
            name_active_ = true;
            name_seq_ = 0;
        }
        if (!name_active_ || seq != name_seq_) {
            name_active_ = false;
            return error(vErrPacket);
        }
        name_in_.insert(name_in_.end(), req.data + 3, req.data + req.length - 1);
        name_seq_ = uint8_t((seq + 1) & 0x7F);
        if (name_in_.size() > 64) {
            name_active_ = false;
            return error(vErrSize);
        }
        if (trailer & 0x80)
            return;
        name_active_ = false;
        name_.assign(name_in_.begin(), name_in_.end());
        break;
    }
    }
    out.replies.push_back(r);
}

bool Device::_has_uei(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
    if (index != 0)
        return false;
    bool want_get = flags & 0x40, want_set = flags & 0x80;
    if (command == kCmdSystem) {
        bool g = _system_get(option) || Entities::Has_Get(option), s = _system_set(option) || Entities::Has_Set(option);
        return want_get ? g : want_set ? s : (g || s);
    }
    if (command == kCmdUpgrade)
        return option == kUpDataUei && cfg_.uei_data && !want_get;
    return false;
}

void Device::_capability(const Packet &req, DeviceOut &out) {
    const uint8_t a = cfg_.address;
    if (req.length >= 2 && req.data[1] == 0xFF) {
        Packet r(a, {kCmdCapability, 0xFF});
        r.Push_Be32(build_);
        out.replies.push_back(r);
        return;
    }
    uint8_t sub = req.length >= 2 ? req.data[1] : 0;
    if (sub == 1 && req.length == 6) {
        uint8_t cmd = req.data[2], opt = req.data[3], idx = req.data[4];
        uint8_t result = 0;
        if (cmd != kCmdSystem && cmd != kCmdUpgrade)
            result = vErrInvalidEntity;
        else if (!_has_uei(cmd, opt, idx, req.data[5]))
            result = idx != 0 ? vErrInvalidEntity : vErrInvalidOption;
        out.replies.push_back(Packet(a, {kCmdCapability, 1, cmd, opt, idx, result}));
        return;
    }
    if (sub == 4 && req.length == 3) {
        uint8_t cmd = req.data[2];
        uint8_t count = (cmd == kCmdSystem || cmd == kCmdUpgrade || cmd == kCmdDebug) ? 1
                        : cmd == 8 ? (cfg_.router ? 1 : 0)
                                   : 0;
        out.replies.push_back(Packet(a, {kCmdCapability, 4, cmd, count}));
        return;
    }
    if ((sub == 5 || sub == 6) && req.length == 4) {
        out.replies.push_back(Packet(a, {kCmdCapability, sub, req.data[2], req.data[3], 0}));
        return;
    }
    stats_.unknown++;
}

nlohmann::json Device::Status(Clock::time_point now) const {
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", cfg_.serial);
    const UpgradeEngine &u = upgrade_;
    nlohmann::json up = {
        {"init", u.Requests(kUpInit)},       {"prepare", u.Requests(kUpPrepare)},
        {"data", u.Requests(kUpData)},       {"sum", u.Requests(kUpSum)},
        {"write", u.Requests(kUpWrite)},     {"load", u.Requests(kUpLoad)},
        {"reboot", u.Requests(kUpReboot)},   {"data_uei", u.Requests(kUpDataUei)},
        {"dropped_replies", u.Dropped_Replies()}, {"faults_fired", u.Faults_Fired()},
        {"protocol_errors", u.Protocol_Errors()}, {"last_error", u.Last_Error()},
        {"session", u.Session()},            {"blocks", u.Blocks().size()},
    };
    const Counters &c = stats_;
    return {
        {"serial", serial},
        {"address", cfg_.address},
        {"model", cfg_.model},
        {"router_address", router_address_},
        {"mode", gone_ ? "gone" : Away(now) ? "rebooting" : u.In_Loader() ? "loader" : "firmware"},
        {"version", version_},
        {"version_text", Version_Text(version_)},
        {"build", build_},
        {"name", name_},
        {"route_to_me", route_to_me_},
        {"upgrade", up},
        {"entities", entities_.Status()},
        {"counters",
         {{"packets_in", c.packets_in},
          {"packets_out", c.packets_out},
          {"sync_probes", c.sync_probes},
          {"force_route_on", c.force_route_on},
          {"force_route_off", c.force_route_off},
          {"heartbeats_sent", c.heartbeats_sent},
          {"heartbeats_answered", c.heartbeats_answered},
          {"heartbeats_bad", c.heartbeats_bad},
          {"heartbeats_unanswered", hb_due_},
          {"uei_errors", c.uei_errors},
          {"unknown", c.unknown},
          {"connections", c.connections},
          {"refused", c.refused},
          {"garbage", c.garbage},
          {"restarts", c.restarts},
          {"i2c_writes", c.i2c_writes},
          {"i2c_reads", c.i2c_reads},
          {"pooled_writes", c.pooled_writes},
          {"pooled_packets", c.pooled_packets}}},
    };
}

nlohmann::json Device::Dump() const {
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", cfg_.serial);
    nlohmann::json blocks = nlohmann::json::array();
    for (const Block &b : upgrade_.Blocks()) {
        blocks.push_back({{"stage", b.firmware ? "firmware" : "loader"},
                          {"session", b.session},
                          {"flags", b.flags},
                          {"address", b.address},
                          {"runs", b.runs},
                          {"writes", b.writes},
                          {"received", _hex(b.received)},
                          {"written", _hex(b.written)}});
    }
    return {{"serial", serial}, {"version", version_}, {"build", build_}, {"blocks", blocks}};
}

}  // namespace cvsim
