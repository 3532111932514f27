#include "sim/SimPacket.h"

#include <cstring>

namespace cvsim {

Packet::Packet(uint8_t addr, std::initializer_list<uint8_t> bytes) : address(addr) {
    for (uint8_t b : bytes)
        Push(b);
}

Packet Packet::From(uint8_t addr, const uint8_t *bytes, size_t count) {
    Packet p;
    p.address = addr;
    for (size_t i = 0; i < count && p.Push(bytes[i]); i++) {
    }
    return p;
}

bool Packet::Push(uint8_t b) {
    if (length >= kMaxData)
        return false;
    data[length++] = b;
    return true;
}

bool Packet::Push_Be32(uint32_t v) {
    return Push(uint8_t(v >> 24)) && Push(uint8_t(v >> 16)) && Push(uint8_t(v >> 8)) && Push(uint8_t(v));
}

bool Packet::Push_Be16(uint16_t v) { return Push(uint8_t(v >> 8)) && Push(uint8_t(v)); }

std::vector<uint8_t> Packet::Wire() const {
    std::vector<uint8_t> w;
    w.reserve(2 + length);
    w.push_back(address);
    w.push_back(length);
    w.insert(w.end(), data, data + length);
    return w;
}

namespace {

// Dallas/Maxim CRC-8: reflected polynomial 0x8C, initial 0, no final XOR.
struct CrcTable {
    uint8_t t[256];
    CrcTable() {
        for (int i = 0; i < 256; i++) {
            uint8_t c = uint8_t(i);
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? uint8_t((c >> 1) ^ 0x8C) : uint8_t(c >> 1);
            t[i] = c;
        }
    }
};

const CrcTable kCrc;

}  // namespace

uint8_t Crc8(const uint8_t *data, size_t length) {
    uint8_t crc = 0;
    for (size_t i = 0; i < length; i++)
        crc = kCrc.t[crc ^ data[i]];
    return crc;
}

std::vector<uint8_t> Cobs_Frame(const Packet &p) {
    std::vector<uint8_t> raw = p.Wire();
    raw.push_back(Crc8(raw.data(), raw.size()));
    std::vector<uint8_t> out;
    out.reserve(raw.size() + 3);
    size_t code_at = 0;
    out.push_back(0);  // placeholder for the first code byte
    uint8_t code = 1;
    for (uint8_t b : raw) {
        if (b == 0) {
            out[code_at] = code;
            code_at = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(b);
        if (++code == 0xFF) {
            out[code_at] = code;
            code_at = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[code_at] = code;
    out.push_back(0);
    return out;
}

bool Cobs_Decode(const uint8_t *in, size_t length, std::vector<uint8_t> &out) {
    out.clear();
    size_t i = 0;
    while (i < length) {
        uint8_t code = in[i++];
        if (code == 0)
            return false;
        for (int k = 1; k < code; k++) {
            if (i >= length)
                return false;
            out.push_back(in[i++]);
        }
        if (code != 0xFF && i < length)
            out.push_back(0);
    }
    return true;
}

void RawReader::Feed(const uint8_t *bytes, size_t count, std::vector<Inbound> &out) {
    for (size_t i = 0; i < count; i++) {
        uint8_t b = bytes[i];
        if (have_ == 0) {
            if (b == 0) {
                errors_++;
                continue;
            }
            cur_ = Packet();
            cur_.address = b;
            have_ = 1;
            continue;
        }
        if (have_ == 1) {
            if (b > kMaxData) {
                // Not a length: the address byte was noise. Let this byte
                // try to start the next packet instead.
                errors_++;
                have_ = 0;
                i--;
                continue;
            }
            cur_.length = b;
            have_ = 2;
        } else {
            cur_.data[have_ - 2] = b;
            have_++;
        }
        if (have_ == cur_.length + 2) {
            Inbound in;
            in.packet = cur_;
            in.link_level = (cur_.address & 1) != 0;
            out.push_back(in);
            have_ = 0;
        }
    }
}

void CobsReader::Feed(const uint8_t *bytes, size_t count, std::vector<Inbound> &out) {
    std::vector<uint8_t> dec;
    for (size_t i = 0; i < count; i++) {
        uint8_t b = bytes[i];
        if (b != 0) {
            // The largest frame holds 31 bytes of packet and CRC: 32 stuffed.
            if (buf_.size() < 32)
                buf_.push_back(b);
            else
                overlong_ = true;
            continue;
        }
        if (buf_.empty())
            continue;
        bool ok = !overlong_ && Cobs_Decode(buf_.data(), buf_.size(), dec) && dec.size() > 2 &&
                  dec[1] <= kMaxData && dec.size() == size_t(dec[1]) + 3 &&
                  Crc8(dec.data(), dec.size() - 1) == dec.back() && dec[0] != 0;
        buf_.clear();
        overlong_ = false;
        if (!ok) {
            errors_++;
            continue;
        }
        Inbound in;
        in.packet = Packet::From(dec[0], dec.data() + 2, dec[1]);
        in.link_level = (dec[0] & 1) != 0;
        out.push_back(in);
    }
}

}  // namespace cvsim
