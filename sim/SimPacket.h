// Device packets as the simulator sees them on the wire, and the two framings
// a host uses: plain counted packets (TCP) and COBS frames with CRC-8 (serial).
#pragma once

#include "common/vCobs.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cvsim {

constexpr int kMaxData = 28;
constexpr uint8_t kSyncProbe = 173;
constexpr uint8_t kForceRoute = 175;

struct Packet {
    uint8_t address = 0;
    uint8_t length = 0;
    uint8_t data[kMaxData] = {};

    Packet() = default;
    Packet(uint8_t addr, std::initializer_list<uint8_t> bytes);
    static Packet From(uint8_t addr, const uint8_t *bytes, size_t count);
    // Appends one byte; false when the packet is full.
    bool Push(uint8_t b);
    bool Push_Be32(uint32_t v);
    bool Push_Be16(uint16_t v);
    std::vector<uint8_t> Wire() const;
};

uint8_t Crc8(const uint8_t *data, size_t length);

// COBS frame of one packet: wire bytes, CRC, stuffed, then the zero delimiter.
std::vector<uint8_t> Cobs_Frame(const Packet &p);

// What a reader hands on: a device packet or a link-level packet (odd address).
struct Inbound {
    Packet packet;
    bool link_level = false;
};

// Reads the host's byte stream of counted packets. Bytes that cannot start or
// continue a packet are dropped and counted, so the reader finds the next
// packet boundary by itself.
class RawReader {
public:
    // Feeds bytes; complete packets are appended to out.
    void Feed(const uint8_t *bytes, size_t count, std::vector<Inbound> &out);
    uint64_t Framing_Errors() const { return errors_; }

private:
    Packet cur_;
    int have_ = 0;  // wire bytes of cur_ received so far
    uint64_t errors_ = 0;
};

// Reads COBS frames; a frame whose length or CRC is wrong is dropped and counted.
class CobsReader {
public:
    CobsReader();
    void Feed(const uint8_t *bytes, size_t count, std::vector<Inbound> &out);
    uint64_t Framing_Errors() const { return errors_; }

private:
    vCobsReceiver rx_;
    uint64_t errors_ = 0;
};

}  // namespace cvsim
