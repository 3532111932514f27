// Description of the simulated devices: read from a JSON file or built from
// command-line options.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace cvsim {

// Fires on the occurrences nth .. nth + count - 1 of an event (1-based);
// count 0 means every occurrence from nth on; nth 0 never fires.
struct Trigger {
    uint32_t nth = 0;
    uint32_t count = 1;
    bool Fires(uint64_t occurrence) const {
        if (nth == 0 || occurrence < nth)
            return false;
        return count == 0 || occurrence < uint64_t(nth) + count;
    }
    bool Armed() const { return nth != 0; }
};

struct DropReply {
    uint8_t sub = 0;  // upgrade sub-command (10 for the byte-array option)
    Trigger when;
};

struct Faults {
    std::vector<DropReply> drop_reply;
    Trigger data_wrong_count;   // answer a DATA with one byte fewer and discard it
    Trigger sum_wrong;          // SUM reply off by one
    Trigger prepare_reject;     // PREPARE answered with a non-zero status
    bool load_no_reply = false;        // LOAD starts the loader but is not answered
    bool gone_after_load = false;      // after LOAD the device never answers again
    bool drop_at_reboot = false;       // REBOOT drops the link before the firmware starts
    uint32_t latency_us = 0;           // delay before every reply
    bool refuse_second = false;        // a second connection is closed at once ("in use")
    uint32_t garbage_every = 0;        // noise before every n-th reply
    std::vector<uint8_t> garbage_bytes{0xFF};
};

struct DeviceConfig {
    uint32_t serial = 0;
    uint8_t model = 13;
    uint8_t address = 2;
    uint8_t router_address = 0;
    uint32_t version = 0;  // packed
    uint32_t build = 1;
    std::string name;
    uint32_t features = 0x80000000u;  // bit 31: pooled packets
    uint32_t identifier[4] = {0, 0, 0, 0};
    uint32_t heartbeat_ms = 0;  // 0: no heartbeats
    uint32_t load_base = 0x10000000u;
    uint16_t block_size = 1024;
    uint32_t reboot_ms = 300;
    bool load_drops_link = false;  // the loader start drops the link (device re-enumerates)
    bool uei_data = true;          // the upgrade entity offers the byte-array data option
    Faults faults;
    std::vector<DeviceConfig> children;  // modules behind this router (at their module address)
    bool router = false;                 // offers the I2C entity

    // Transport of a top-level device: "tcp", "pty" or "usb".
    std::string transport = "tcp";
    std::string usb_options;  // the "usb" value (JSON text) of a USB device
    std::string listen_address = "127.0.0.1";
    uint16_t listen_port = 0;
};

struct SimConfig {
    std::vector<DeviceConfig> devices;
    std::string control_path;       // Unix control socket, empty for none
    std::string dump_dir;           // dumps written at exit, empty for none
    std::string discovery_interface;  // IPv4 address; empty: no discovery responder
};

struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint32_t Pack_Version(unsigned major, unsigned minor, unsigned patch);
std::string Version_Text(uint32_t packed);

// Throw ConfigError with a message naming the offending key.
SimConfig Parse_Config_Json(const std::string &text);
// One device from "key=value,key=value" (serial, model, address, router,
// version, build, name, features, heartbeat, tcp, pty).
DeviceConfig Parse_Device_Option(const std::string &text);
// Checks a whole configuration: serials, even distinct addresses, ports.
void Validate_Config(const SimConfig &cfg);

}  // namespace cvsim
