// corvantis-sim's USB transport: simulated devices on the emulated bus, their
// USB-specific options, the bus's control commands, and running a command
// under the bus.
#pragma once

#include "sim/SimConfig.h"
#include "sim/SimServer.h"
#include "sim/usb/UsbBus.h"

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cvsim {

// Bus-level options of one device, from the "usb" value of its description
// (true, or an object with kernel_node, product_id, serial_text,
// interface_class, no_in_endpoint, no_out_endpoint, max_packet,
// rejoin_serial, in_use). Throws ConfigError naming the bad key.
struct UsbSimOptions {
    UsbDeviceOptions device;
    bool in_use = false;
};
UsbSimOptions Parse_Usb_Options(const DeviceConfig &cfg);

// The simulated devices whose transport is "usb", on one bus. Their status
// entries and dumps are those of the other transports' devices; the device
// model stays the same object while it leaves the bus and rejoins, so a dump
// after an update holds both the loader's blocks and the firmware's.
class UsbSim : public DeviceSource {
public:
    // Creates the bus (the process must run under the preload library) and
    // plugs in every USB device of the configuration.
    explicit UsbSim(const SimConfig &cfg);
    ~UsbSim();

    bool Empty() const { return ids_.empty(); }
    UsbBus &Bus() { return *bus_; }
    // " usb:SERIAL=/dev/bus/usb/001/002 ... usbenv=UMOCKDEV_DIR=DIR,LD_PRELOAD=LIB"
    std::string Ready_Part() const;
    // Control commands "usb leave SERIAL", "usb rejoin SERIAL [AS-SERIAL]",
    // "usb hold SERIAL on|off", "usb fail SERIAL stall-in|stall-out|io-in|io-out
    // [COUNT]" (COUNT 0 or absent: until cleared), "usb clear SERIAL",
    // "usb stats SERIAL"; the answer is one JSON line.
    std::string Control(const std::vector<std::string> &words);

    // Endpoint "usb:/dev/bus/usb/001/NNN" ("usb:" while off the bus);
    // "sessions" 1 while a host holds the device; "listening" while on the bus.
    void Status(Clock::time_point now, nlohmann::json &devices) const override;
    bool Dump(uint32_t serial, nlohmann::json &dump) const override;
    std::vector<uint32_t> Serials() const override;

private:
    std::unique_ptr<UsbBus> bus_;
    std::map<uint32_t, int> ids_;  // configured serial -> bus handle
    std::vector<std::pair<uint32_t, int>> order_;  // as configured
};

// True when any device of the configuration goes on the USB bus.
bool Usb_Wanted(const SimConfig &cfg);

// Starts argv (the command after "--") with env added and the signal mask
// cleared; -1 when it cannot be started.
pid_t Usb_Start_Command(const std::vector<std::string> &argv,
                        const std::vector<std::pair<std::string, std::string>> &env);
// Waits for it: its exit status, 128 + signal when killed, 127 when it never ran.
int Usb_Wait_Command(pid_t pid);

}  // namespace cvsim
