#include "sim/SimPacket.h"

#include "common/vCobs.h"

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

uint8_t Crc8(const uint8_t *data, size_t length) { return vCRC8_Compute(data, length); }

std::vector<uint8_t> Cobs_Frame(const Packet &p) {
    std::vector<uint8_t> wire = p.Wire();
    uint8_t frame[vCOBS_MAX_FRAME];
    size_t n = vCobs_BuildFrame(wire.data(), wire.size(), frame);
    return std::vector<uint8_t>(frame, frame + n);
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

CobsReader::CobsReader() { vCobsReceiver_Reset(&rx_); }

void CobsReader::Feed(const uint8_t *bytes, size_t count, std::vector<Inbound> &out) {
    uint8_t wire[vCOBS_MAX_DECODED];
    for (size_t i = 0; i < count; i++) {
        size_t n = 0;
        vErr e = vCobsReceiver_Feed(&rx_, bytes[i], wire, &n);
        if (e == vErrNotReady)
            continue;
        if (e != vErrNone || n < 2 || wire[0] == 0) {
            errors_++;
            continue;
        }
        Inbound in;
        in.packet = Packet::From(wire[0], wire + 2, wire[1]);
        in.link_level = (wire[0] & 1) != 0;
        out.push_back(in);
    }
}

}  // namespace cvsim
