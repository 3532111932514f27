#include "sim/SimUpgrade.h"

#include "common/vError.h"

#include <algorithm>
#include <cstring>

namespace cvsim {

bool Parse_Firmware_Header(const std::vector<uint8_t> &code, uint32_t &version, uint32_t &build) {
    if (code.size() < 16 || std::memcmp(code.data(), kFirmwareMagic, 8) != 0)
        return false;
    auto be32 = [&](size_t at) {
        return uint32_t(code[at]) << 24 | uint32_t(code[at + 1]) << 16 | uint32_t(code[at + 2]) << 8 |
               uint32_t(code[at + 3]);
    };
    version = be32(8);
    build = be32(12);
    return true;
}

void UpgradeEngine::_error(const std::string &what) {
    protocol_errors_++;
    last_error_ = what;
}

void UpgradeEngine::_reply(UpgradeOut &out, uint8_t sub, Packet p) {
    for (const DropReply &d : cfg_.faults.drop_reply) {
        if (d.sub == sub && d.when.Fires(requests_[sub])) {
            dropped_++;
            faults_fired_++;
            return;
        }
    }
    out.replies.push_back(p);
}

void UpgradeEngine::Restart() {
    in_loader_ = false;
    session_open_ = false;
    current_ = -1;
    uei_active_ = false;
}

bool UpgradeEngine::Started_Firmware(uint32_t &version, uint32_t &build) const {
    version = started_version_;
    build = started_build_;
    return started_;
}

void UpgradeEngine::_next_run_if_summed() {
    // A SUM closes its run for new data; WRITE still commits that run.
    if (run_summed_) {
        run_start_ = _current()->received.size();
        run_sum_ = 0;
        run_summed_ = false;
    }
}

void UpgradeEngine::_append(const uint8_t *bytes, size_t n) {
    Block *b = _current();
    _next_run_if_summed();
    b->received.insert(b->received.end(), bytes, bytes + n);
    for (size_t i = 0; i < n; i++)
        run_sum_ += bytes[i];
}

void UpgradeEngine::Handle(const Packet &req, UpgradeOut &out) {
    if (req.length < 2)
        return _error("upgrade request without sub-command");
    uint8_t sub = req.data[1];
    if (sub & 0xC0)
        return _data_uei(req, out);
    if (sub < 11)
        requests_[sub]++;
    const uint8_t addr = cfg_.address;
    Block *cur = _current();
    switch (sub) {
    case kUpInit: {
        if (!in_loader_) {
            session_open_ = true;
            session_++;
            current_ = -1;
        }
        Packet p(addr, {kCmdUpgrade, kUpInit});
        p.Push_Be32(cfg_.load_base);
        return _reply(out, sub, p);
    }
    case kUpPrepare: {
        prepare_seen_++;
        uint8_t status = kStOk;
        if (req.length != 7) {
            status = kStBadRequest;
            _error("PREPARE of wrong length");
        } else if (cfg_.faults.prepare_reject.Fires(prepare_seen_)) {
            status = kStRejected;
            faults_fired_++;
        } else if (!in_loader_ && !session_open_) {
            status = kStNoSession;
            _error("PREPARE without INIT");
        }
        if (status == kStOk) {
            Block b;
            b.firmware = in_loader_;
            b.session = session_;
            b.flags = req.data[2];
            b.address = uint32_t(req.data[3]) << 24 | uint32_t(req.data[4]) << 16 | uint32_t(req.data[5]) << 8 |
                        req.data[6];
            blocks_.push_back(std::move(b));
            current_ = int(blocks_.size()) - 1;
            run_start_ = 0;
            run_sum_ = 0;
            run_summed_ = false;
        } else {
            current_ = -1;
        }
        Packet p(addr, {kCmdUpgrade, kUpStatus, status});
        p.Push_Be16(cfg_.block_size);
        return _reply(out, sub, p);
    }
    case kUpData: {
        data_seen_++;
        uint8_t n = uint8_t(req.length - 2);
        if (!cur) {
            _error("DATA before PREPARE");
            return _reply(out, sub, Packet(addr, {kCmdUpgrade, kUpData, 0}));
        }
        if (n > 0 && cfg_.faults.data_wrong_count.Fires(data_seen_)) {
            faults_fired_++;
            return _reply(out, sub, Packet(addr, {kCmdUpgrade, kUpData, uint8_t(n - 1)}));
        }
        _append(req.data + 2, n);
        return _reply(out, sub, Packet(addr, {kCmdUpgrade, kUpData, n}));
    }
    case kUpSum: {
        sum_seen_++;
        uint8_t status = kStOk;
        uint32_t sum = 0;
        if (!cur) {
            status = kStNoBlock;
            _error("SUM before PREPARE");
        } else {
            _next_run_if_summed();
            sum = run_sum_;
            run_summed_ = true;
            cur->runs++;
            if (cfg_.faults.sum_wrong.Fires(sum_seen_)) {
                faults_fired_++;
                sum += 1;
            }
        }
        Packet p(addr, {kCmdUpgrade, kUpStatus, status});
        p.Push_Be32(sum);
        return _reply(out, sub, p);
    }
    case kUpWrite: {
        uint8_t status = kStOk;
        size_t run_len = cur ? cur->received.size() - run_start_ : 0;
        if (req.length != 4) {
            status = kStBadRequest;
            _error("WRITE of wrong length");
        } else if (!cur) {
            status = kStNoBlock;
            _error("WRITE before PREPARE");
        } else if (!cur->firmware) {
            status = kStNoSession;
            _error("WRITE to a loader block");
        } else if (run_len != (size_t(req.data[2]) << 8 | req.data[3])) {
            status = kStCountMismatch;
            _error("WRITE count " + std::to_string(size_t(req.data[2]) << 8 | req.data[3]) + " but the run holds " +
                   std::to_string(run_len) + " bytes");
        } else if (run_len > cfg_.block_size) {
            status = kStOverrun;
            _error("data run of " + std::to_string(run_len) + " bytes exceeds the block size " +
                   std::to_string(cfg_.block_size));
        }
        if (status == kStOk) {
            cur->written.insert(cur->written.end(), cur->received.begin() + long(run_start_), cur->received.end());
            cur->writes++;
        }
        if (cur) {
            // The run is over whatever the outcome; the host starts the next one.
            run_start_ = cur->received.size();
            run_sum_ = 0;
            run_summed_ = false;
        }
        return _reply(out, sub, Packet(addr, {kCmdUpgrade, kUpStatus, status}));
    }
    case kUpLoad: {
        if (in_loader_)
            return _reply(out, sub, Packet(addr, {kCmdUpgrade, kUpLoad}));
        bool have_loader = false;
        for (const Block &b : blocks_)
            have_loader |= !b.firmware && b.session == session_ && !b.received.empty();
        if (!session_open_ || !have_loader)
            return _error("LOAD without a loader");
        in_loader_ = true;
        session_open_ = false;
        current_ = -1;
        out.event = UpgradeOut::Event::LoaderStarted;
        if (cfg_.faults.load_no_reply) {
            faults_fired_++;
            return;
        }
        return _reply(out, sub, Packet(addr, {kCmdUpgrade, kUpLoad}));
    }
    case kUpReboot:
        if (in_loader_ && cfg_.faults.drop_at_reboot) {
            faults_fired_++;
            out.event = UpgradeOut::Event::RebootLost;
            return;
        }
        return _commit_reboot(out);
    default:
        return _error("unknown upgrade sub-command " + std::to_string(sub));
    }
}

void UpgradeEngine::_commit_reboot(UpgradeOut &out) {
    out.event = UpgradeOut::Event::Rebooted;
    if (!in_loader_) {
        Restart();
        return;
    }
    // The new firmware's code starts at the lowest address written in this session.
    const Block *first = nullptr;
    for (const Block &b : blocks_) {
        if (b.firmware && b.session == session_ && !b.written.empty() && (!first || b.address < first->address))
            first = &b;
    }
    uint32_t v = 0, bld = 0;
    if (first && Parse_Firmware_Header(first->written, v, bld)) {
        started_ = true;
        started_version_ = v;
        started_build_ = bld;
    } else {
        started_ = false;
    }
    Restart();
}

void UpgradeEngine::_data_uei(const Packet &req, UpgradeOut &out) {
    const uint8_t addr = cfg_.address;
    uint8_t option = req.data[1] & 0x3F;
    uint8_t index = req.length > 2 ? (req.data[2] & 0x1F) : 0;
    auto error = [&](uint8_t opt_byte, uint8_t code) {
        _reply(out, kUpDataUei, Packet(addr, {kCmdUpgrade, opt_byte, uint8_t(index | 0x80), code}));
    };
    if (req.length < 3)
        return _error("upgrade UEI without specifier");
    bool set = (req.data[1] & 0x80) != 0;
    if (option != kUpDataUei || !cfg_.uei_data || !set || (req.data[1] & 0x40))
        return error(set ? uint8_t(option | 0xC0) : option, vErrInvalidOption);
    if (index != 0)
        return error(uint8_t(option | 0xC0), vErrInvalidEntity);
    if (req.length < 4) {
        _error("byte-array chunk without sequence byte");
        return error(uint8_t(option | 0xC0), vErrPacket);
    }
    uint8_t trailer = req.data[req.length - 1];
    uint8_t seq = trailer & 0x7F;
    bool more = (trailer & 0x80) != 0;
    if (seq == 0) {
        // A new array starts; whatever came before is abandoned.
        uei_active_ = true;
        uei_failed_ = false;
        requests_[kUpDataUei]++;
    } else if (!uei_active_ || seq != uei_seq_) {
        if (!uei_failed_ && uei_active_) {
            _error("byte-array chunk " + std::to_string(seq) + " where " + std::to_string(uei_seq_) +
                   " was due");
            uei_failed_ = true;
            error(uint8_t(option | 0xC0), vErrPacket);
        }
        return;
    }
    if (uei_failed_)
        return;
    if (!_current()) {
        uei_failed_ = true;
        _error("byte-array data before PREPARE");
        return error(uint8_t(option | 0xC0), vErrMode);
    }
    _append(req.data + 3, size_t(req.length - 4));
    uei_seq_ = uint8_t((seq + 1) & 0x7F);
    if (more)
        return;
    uei_active_ = false;
    _reply(out, kUpDataUei, Packet(addr, {kCmdUpgrade, uint8_t(option | 0xC0), index}));
}

}  // namespace cvsim
