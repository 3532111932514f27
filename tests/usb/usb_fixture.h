// Shared pieces of the tests over the emulated USB bus: the re-exec under the
// preload library, one bus per test process, and a small device that answers
// the sync probe and echoes every other packet.
#pragma once

#include "sim/usb/UsbBus.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace usbtest {

// The bus of this test process, created on first use.
cvsim::UsbBus &Bus();

// Answers the sync probe (173, 0) with (address, 0), ignores force-route
// (175), echoes any other packet. A packet (address, 1, 0xEE) makes the
// device leave the bus and rejoin after 300 ms; (address, 1, 0xDD) makes it
// leave for good.
class EchoDevice : public cvsim::UsbDeviceModel {
public:
    explicit EchoDevice(uint8_t address = 2) : address_(address) {}
    Effect Out(const uint8_t *bytes, size_t count, std::vector<uint8_t> &in) override;
    void Reset() override { have_.clear(); }
    uint64_t Packets() const { return packets_; }

private:
    uint8_t address_;
    std::vector<uint8_t> have_;
    uint64_t packets_ = 0;
};

// Options for a well-formed family device with that serial.
cvsim::UsbDeviceOptions Good(uint32_t serial, uint8_t model = 13);

}  // namespace usbtest
