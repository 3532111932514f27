#include "sim/SimEntities.h"

#include "common/vError.h"

#include <nlohmann/json.hpp>

namespace cvsim {

namespace {

constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdSlot = 4;
constexpr uint8_t kCmdStore = 92;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kCmdFactory = 94;

enum class Kind { Byte, Int, Call, Bytes };
struct Option {
    uint8_t option;
    Kind kind;
    bool get, set;
    uint32_t initial;
};

// System options answered here; SimDevice answers the identity ones.
const Option kOptions[] = {
    {3, Kind::Byte, true, true, 0},           // heartbeat interval
    {4, Kind::Byte, true, true, 1},           // LED
    {6, Kind::Byte, true, true, 0},           // boot slot
    {10, Kind::Call, false, true, 0},         // save
    {12, Kind::Int, true, false, 0},          // input voltage (uV)
    {13, Kind::Byte, true, false, 0},         // module hardware offset
    {14, Kind::Byte, true, false, 2},         // module base address
    {15, Kind::Byte, true, true, 0},          // module software offset
    {16, Kind::Byte, true, false, 0},         // router address setting
    {21, Kind::Int, true, false, 0},          // input current (uA)
    {23, Kind::Int, true, false, 41250000},   // maximum temperature
    {24, Kind::Call, false, true, 0},         // log events
    {25, Kind::Int, true, false, 0},          // unregulated voltage
    {26, Kind::Int, true, false, 0},          // unregulated current
    {27, Kind::Int, true, false, 0},          // temperature
    {28, Kind::Int, true, false, uint32_t(-2500000)}, // minimum temperature
    {29, Kind::Byte, true, false, 1},         // input power source
    {30, Kind::Byte, true, true, 0},          // input power behaviour
    {31, Kind::Bytes, true, true, 0},         // input power behaviour configuration
    {33, Kind::Int, true, false, 0},          // power limit
    {34, Kind::Int, true, true, 12000000},    // power limit maximum
    {35, Kind::Int, true, false, 0},          // power limit state
    {37, Kind::Call, false, true, 0},         // reset to factory defaults
    {38, Kind::Byte, true, true, 0},          // link interface
    {40, Kind::Int, true, false, 0x00010002}, // hardware version
    {41, Kind::Int, true, false, 0},          // errors
    {42, Kind::Byte, true, true, 255},        // LED maximum brightness
};

const Option *_find(uint8_t option) {
    for (const Option &o : kOptions)
        if (o.option == option)
            return &o;
    return nullptr;
}

// Options a host may stream: measurements that change.
bool _streamable(uint8_t option) { return option == 12 || option == 21 || option == 22 || option == 27; }

// A byte array in sequenced packets: 24 bytes each and a trailer whose bit 7
// says more follows.
void _bytes_reply(uint8_t a, uint8_t cmd, uint8_t option, uint8_t index, const std::vector<uint8_t> &bytes,
                  std::vector<Packet> &out) {
    size_t at = 0;
    uint8_t seq = 0;
    do {
        size_t n = std::min<size_t>(24, bytes.size() - at);
        Packet p(a, {cmd, option, index});
        for (size_t i = 0; i < n; i++)
            p.Push(bytes[at + i]);
        at += n;
        p.Push(uint8_t((seq & 0x7F) | (at < bytes.size() ? 0x80 : 0)));
        seq++;
        out.push_back(p);
    } while (at < bytes.size());
}

}  // namespace

Entities::Entities(uint8_t address) : address_(address), started_(Clock::now()) {
    for (const Option &o : kOptions)
        if (o.kind == Kind::Byte || o.kind == Kind::Int)
            settings_[o.option] = o.initial;
    settings_[14] = address;
    power_config_ = {1000, 2000, 3000};
    // Store 1, slot 0 holds 100 bytes from the factory; the other slots start empty.
    for (uint8_t store = 0; store < 2; store++)
        for (uint8_t slot = 0; slot < 4; slot++)
            slots_[{store, slot}] = Slot();
    for (int i = 0; i < 100; i++)
        slots_[{1, 0}].bytes.push_back(uint8_t(i * 7 + 3));
    const char *serial_text = "CVSIM-FACTORY-CALIBRATION-RECORD-0001";
    factory_[1].assign(serial_text, serial_text + 37);
    for (int i = 0; i < 52; i++)
        factory_[2].push_back(uint8_t(i));
}

bool Entities::Has_Get(uint8_t option) {
    const Option *o = _find(option);
    return o && o->get;
}

bool Entities::Has_Set(uint8_t option) {
    const Option *o = _find(option);
    return o && o->set;
}

void Entities::Restart() {
    streams_.clear();
    handles_.clear();
    power_config_active_ = false;
    factory_writing_ = false;
    factory_in_.clear();
}

bool Entities::Handle(const Packet &req, Clock::time_point now, std::vector<Packet> &out) {
    if (req.length == 0)
        return false;
    switch (req.data[0]) {
    case kCmdSystem:
        if (req.length < 3 || !_find(req.data[1] & 0x3F) || (req.data[2] & 0x1F) != 0)
            return false;
        _system(req, now, out);
        return true;
    case kCmdSlot:
        _slot(req, out);
        return true;
    case kCmdStore:
        _store(req, out);
        return true;
    case kCmdStream:
        _stream(req, out);
        return true;
    case kCmdFactory:
        _factory(req, out);
        return true;
    default:
        return false;
    }
}

uint32_t Entities::_measure(uint8_t option, Clock::time_point now) const {
    auto ms = uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now - started_).count());
    switch (option) {
    case 12: return 5000000 + (samples_ % 16) * 1000;       // input voltage
    case 21: return 250000 + (samples_ % 8) * 100;          // input current
    case 22: return ms / 1000;                              // uptime
    case 25: return 5100000;
    case 26: return 260000;
    case 27: return 31000000 + samples_ * 10;               // temperature, rising
    case 33: return 10000000;
    case 35: return 0;
    default: return 0;
    }
}

void Entities::_system(const Packet &req, Clock::time_point now, std::vector<Packet> &out) {
    uint8_t opt_byte = req.data[1], option = opt_byte & 0x3F;
    bool get = (opt_byte & 0xC0) == 0x40, set = (opt_byte & 0xC0) == 0x80;
    const Option &o = *_find(option);
    uint8_t ack = get ? option : uint8_t(option | 0xC0);
    auto error = [&](vErr code) { out.push_back(Packet(address_, {kCmdSystem, ack, 0x80, uint8_t(code)})); };
    if ((!get && !set) || (get && !o.get) || (set && !o.set))
        return error(vErrInvalidOption);
    Packet r(address_, {kCmdSystem, ack, 0});
    if (get) {
        switch (o.kind) {
        case Kind::Byte: r.Push(uint8_t(settings_[option])); break;
        case Kind::Int: {
            bool measured = o.initial == 0 && !o.set && option != 41;
            r.Push_Be32(measured ? _measure(option, now) : settings_[option]);
            break;
        }
        case Kind::Bytes: {
            std::vector<uint8_t> bytes;
            for (uint32_t v : power_config_)
                for (int s = 24; s >= 0; s -= 8)
                    bytes.push_back(uint8_t(v >> s));
            _bytes_reply(address_, kCmdSystem, option, 0, bytes, out);
            return;
        }
        case Kind::Call: break;
        }
        out.push_back(r);
        return;
    }
    switch (o.kind) {
    case Kind::Call:
        calls_[option]++;
        break;
    case Kind::Byte:
        if (req.length != 4)
            return error(vErrShortCommand);
        settings_[option] = req.data[3];
        break;
    case Kind::Int:
        if (req.length != 7)
            return error(vErrShortCommand);
        settings_[option] = uint32_t(req.data[3]) << 24 | uint32_t(req.data[4]) << 16 | uint32_t(req.data[5]) << 8 |
                            req.data[6];
        break;
    case Kind::Bytes: {
        if (req.length < 4)
            return error(vErrShortCommand);
        uint8_t trailer = req.data[req.length - 1], seq = trailer & 0x7F;
        if (seq == 0) {
            power_config_in_.clear();
            power_config_active_ = true;
            power_config_seq_ = 0;
        }
        if (!power_config_active_ || seq != power_config_seq_) {
            power_config_active_ = false;
            return error(vErrPacket);
        }
        power_config_in_.insert(power_config_in_.end(), req.data + 3, req.data + req.length - 1);
        power_config_seq_ = uint8_t((seq + 1) & 0x7F);
        if (power_config_in_.size() > 256 * 4) {
            power_config_active_ = false;
            return error(vErrSize);
        }
        if (trailer & 0x80)
            return;
        power_config_active_ = false;
        if (power_config_in_.size() % 4 != 0)
            return error(vErrSize);
        power_config_.clear();
        for (size_t i = 0; i < power_config_in_.size(); i += 4)
            power_config_.push_back(uint32_t(power_config_in_[i]) << 24 | uint32_t(power_config_in_[i + 1]) << 16 |
                                    uint32_t(power_config_in_[i + 2]) << 8 | power_config_in_[i + 3]);
        break;
    }
    }
    out.push_back(r);
}

// Store slots: [4, sub, ...]; errors set bit 7 of the sub-operation.
void Entities::_slot(const Packet &req, std::vector<Packet> &out) {
    if (req.length < 3)
        return;
    uint8_t sub = req.data[1];
    auto addressed = [&](uint8_t code, std::initializer_list<uint8_t> tail) {
        Packet p(address_, {kCmdSlot, uint8_t(sub | (code ? 0x80 : 0)), req.data[2], req.length > 3 ? req.data[3] : uint8_t(0)});
        if (code)
            p.Push(code);
        else
            for (uint8_t b : tail)
                p.Push(b);
        out.push_back(p);
    };
    auto by_handle = [&](uint8_t code, std::initializer_list<uint8_t> tail) {
        Packet p(address_, {kCmdSlot, uint8_t(sub | (code ? 0x80 : 0)), req.data[2]});
        if (code)
            p.Push(code);
        else
            for (uint8_t b : tail)
                p.Push(b);
        return p;
    };
    if (sub >= 1 && sub <= 4) {
        if (req.length != 4)
            return addressed(vErrShortCommand, {});
        auto it = slots_.find({req.data[2], req.data[3]});
        if (it == slots_.end())
            return addressed(vErrNotFound, {});
        Slot &s = it->second;
        switch (sub) {
        case 1: return addressed(0, {uint8_t(s.capacity >> 8), uint8_t(s.capacity)});
        case 2: return addressed(0, {uint8_t(s.bytes.size() >> 8), uint8_t(s.bytes.size())});
        default: {
            if (handles_.size() >= 4)
                return addressed(vErrResource, {});
            uint8_t h = next_handle_;
            next_handle_ = uint8_t(next_handle_ % 200 + 1);
            handles_[h] = {it->first, sub == 4, 0};
            if (sub == 4)
                s.bytes.clear();
            return addressed(0, {h});
        }
        }
    }
    auto hit = handles_.find(req.data[2]);
    if (hit == handles_.end()) {
        out.push_back(by_handle(vErrNotFound, {}));
        return;
    }
    Open_Slot &h = hit->second;
    Slot &s = slots_[h.slot];
    switch (sub) {
    case 6: {
        if (h.write)
            return out.push_back(by_handle(vErrMode, {}));
        Packet p = by_handle(0, {});
        size_t n = std::min<size_t>(25, s.bytes.size() - h.at);
        for (size_t i = 0; i < n; i++)
            p.Push(s.bytes[h.at + i]);
        h.at += n;
        return out.push_back(p);
    }
    case 7: {
        if (!h.write)
            return out.push_back(by_handle(vErrMode, {}));
        size_t n = req.length - 3u;
        if (s.bytes.size() + n > s.capacity)
            return out.push_back(by_handle(vErrSize, {}));
        uint8_t sum = 0;
        for (size_t i = 0; i < n; i++) {
            s.bytes.push_back(req.data[3 + i]);
            sum = uint8_t(sum + req.data[3 + i]);
        }
        return out.push_back(by_handle(0, {sum}));
    }
    case 8:
        handles_.erase(hit);
        return out.push_back(by_handle(0, {0}));
    default:
        return out.push_back(by_handle(vErrInvalidOption, {}));
    }
}

// The store entity: save (0), reset to defaults (1) or load (2) of the entity
// (command << 8 | index) given as the set's 32-bit value.
void Entities::_store(const Packet &req, std::vector<Packet> &out) {
    if (req.length < 3)
        return;
    uint8_t option = req.data[1] & 0x3F;
    uint8_t ack = uint8_t(option | 0xC0);
    if ((req.data[1] & 0xC0) != 0x80 || option > 2 || req.length != 7) {
        out.push_back(Packet(address_, {kCmdStore, ack, 0x80, uint8_t(vErrInvalidOption)}));
        return;
    }
    uint32_t entity = uint32_t(req.data[5]) << 8 | req.data[6];
    if ((entity >> 8) != kCmdSystem && (entity >> 8) != 8) {
        out.push_back(Packet(address_, {kCmdStore, ack, 0x80, uint8_t(vErrInvalidEntity)}));
        return;
    }
    store_ops_[option]++;
    last_store_entity_ = entity;
    out.push_back(Packet(address_, {kCmdStore, ack, 0}));
}

// Stream control: set 1 (enable) / 2 (disable) with a 32-bit stream key
// (module, command, option, index); get 1 tells whether anything streams.
void Entities::_stream(const Packet &req, std::vector<Packet> &out) {
    if (req.length < 3)
        return;
    uint8_t opt_byte = req.data[1], option = opt_byte & 0x3F;
    if (opt_byte == 0x41) {
        out.push_back(Packet(address_, {kCmdStream, 1, 0, uint8_t(streams_.empty() ? 0 : 1)}));
        return;
    }
    uint8_t ack = uint8_t(option | 0xC0);
    auto error = [&](vErr code) { out.push_back(Packet(address_, {kCmdStream, ack, 0x80, uint8_t(code)})); };
    if ((opt_byte & 0xC0) != 0x80 || (option != 1 && option != 2))
        return error(vErrInvalidOption);
    if (req.length != 7)
        return error(vErrShortCommand);
    uint8_t module = req.data[3], command = req.data[4], stream_option = req.data[5], index = req.data[6];
    if (module != address_ || command != kCmdSystem || (index != 0 && index != 255))
        return error(vErrInvalidEntity);
    if (stream_option != 255 && !_streamable(stream_option))
        return error(vErrInvalidOption);
    for (uint8_t o = 0; o < 64; o++) {
        if (!_streamable(o) || (stream_option != 255 && stream_option != o))
            continue;
        if (option == 1)
            streams_.insert(o);
        else
            streams_.erase(o);
    }
    out.push_back(Packet(address_, {kCmdStream, ack, 0}));
}

void Entities::Samples(Clock::time_point now, std::vector<Packet> &out) {
    uint64_t us = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now - started_).count());
    for (uint8_t o : streams_) {
        // [3, option, index | stream flag, type 3 (int), timestamp, value, trailer]
        Packet p(address_, {kCmdSystem, o, 0x40, 3});
        p.Push_Be32(uint32_t(us >> 32));
        p.Push_Be32(uint32_t(us));
        p.Push_Be32(_measure(o, now));
        p.Push(0);
        out.push_back(p);
    }
    samples_++;
}

// Factory data: [94, control, bytes]. Control bit 6 starts a transfer, bit 4
// marks a write, the low 4 bits are the record; 0x20 ends a transfer with the
// byte count. Record 15 is read-only.
void Entities::_factory(const Packet &req, std::vector<Packet> &out) {
    if (req.length < 2)
        return;
    uint8_t control = req.data[1];
    uint8_t index = control & 0x0F;
    auto error = [&](uint8_t low, vErr code) {
        out.push_back(Packet(address_, {kCmdFactory, uint8_t(low | 0x80), uint8_t(code)}));
    };
    if (control == 0x20) {
        if (req.length != 4)
            return error(0, vErrShortCommand);
        size_t count = size_t(req.data[2]) << 8 | req.data[3];
        if (factory_writing_) {
            factory_writing_ = false;
            if (count != factory_in_.size())
                return error(0, vErrSize);
            factory_[factory_index_] = factory_in_;
            factory_in_.clear();
        } else if (count != factory_read_at_) {
            return error(0, vErrSize);
        }
        out.push_back(Packet(address_, {kCmdFactory, 0, 0}));
        return;
    }
    if (control & 0x10) {
        if (index == 15)
            return error(index, vErrPermission);
        if (control & 0x40) {
            factory_in_.clear();
            factory_writing_ = true;
            factory_index_ = index;
        }
        if (!factory_writing_ || index != factory_index_)
            return error(index, vErrMode);
        factory_in_.insert(factory_in_.end(), req.data + 2, req.data + req.length);
        if (factory_in_.size() > 256) {
            factory_writing_ = false;
            return error(index, vErrSize);
        }
        out.push_back(Packet(address_, {kCmdFactory, index}));
        return;
    }
    if (control & 0x40) {
        factory_read_at_ = 0;
        factory_writing_ = false;
    }
    const std::vector<uint8_t> &rec = factory_[index];
    Packet p(address_, {kCmdFactory, index});
    size_t n = std::min<size_t>(26, rec.size() - std::min(rec.size(), factory_read_at_));
    for (size_t i = 0; i < n; i++)
        p.Push(rec[factory_read_at_ + i]);
    factory_read_at_ += n;
    out.push_back(p);
}

nlohmann::json Entities::Status() const {
    nlohmann::json slots = nlohmann::json::object();
    for (const auto &s : slots_)
        slots[std::to_string(s.first.first) + "." + std::to_string(s.first.second)] = s.second.bytes.size();
    nlohmann::json streams = nlohmann::json::array();
    for (uint8_t o : streams_)
        streams.push_back(o);
    return {
        {"saves", calls_[10]},
        {"log_events", calls_[24]},
        {"factory_resets", calls_[37]},
        {"store_saves", store_ops_[0]},
        {"store_resets", store_ops_[1]},
        {"store_loads", store_ops_[2]},
        {"store_entity", last_store_entity_},
        {"slot_sizes", slots},
        {"open_handles", handles_.size()},
        {"streams", streams},
        {"stream_samples", samples_},
    };
}

}  // namespace cvsim
