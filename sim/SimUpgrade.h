// The device side of the upgrade command (0x5F): a loader session opened by
// the running firmware, loader blocks placed in RAM and started, then the
// loader's firmware blocks, written piece by piece and started by a reboot.
#pragma once

#include "sim/SimConfig.h"
#include "sim/SimPacket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cvsim {

constexpr uint8_t kCmdUpgrade = 0x5F;
enum UpgradeSub : uint8_t {
    kUpInit = 0,
    kUpData = 1,
    kUpLoad = 2,
    kUpPrepare = 3,
    kUpSum = 4,
    kUpWrite = 5,
    kUpReboot = 6,
    kUpStatus = 7,
    kUpDataUei = 10,
};

// Status bytes of the 5F 07 replies.
enum UpgradeStatus : uint8_t {
    kStOk = 0,
    kStRejected = 1,     // PREPARE refused (fault switch)
    kStNoSession = 2,    // PREPARE without INIT, or WRITE outside the loader
    kStBadRequest = 3,   // request of the wrong length
    kStOverrun = 4,      // the data run was longer than the block size
    kStCountMismatch = 5,// WRITE count differs from the bytes of the run
    kStNoBlock = 6,      // SUM or WRITE before PREPARE
};

// The 16-byte header that marks simulator firmware: "CVSIMFW1", packed
// version and build, both big-endian.
constexpr char kFirmwareMagic[] = "CVSIMFW1";
bool Parse_Firmware_Header(const std::vector<uint8_t> &code, uint32_t &version, uint32_t &build);

struct Block {
    bool firmware = false;  // false: a loader block sent to the running firmware
    uint32_t session = 0;   // loader session it belongs to
    uint8_t flags = 0;
    uint32_t address = 0;
    std::vector<uint8_t> received;  // every DATA byte accepted, in order
    std::vector<uint8_t> written;   // firmware blocks: the bytes WRITE committed
    uint32_t runs = 0;              // data runs summed
    uint32_t writes = 0;
};

struct UpgradeOut {
    std::vector<Packet> replies;
    enum class Event { None, LoaderStarted, Rebooted, RebootLost } event = Event::None;
};

class UpgradeEngine {
public:
    explicit UpgradeEngine(const DeviceConfig &cfg) : cfg_(cfg) {}

    // One packet of command 0x5F from the host, addressed to this device.
    void Handle(const Packet &req, UpgradeOut &out);
    // A restart that is not a reboot into new firmware (reset, power cycle):
    // the loader and any open session are gone.
    void Restart();

    bool In_Loader() const { return in_loader_; }
    const std::vector<Block> &Blocks() const { return blocks_; }
    // Firmware started by the last reboot: true when it carried the header.
    bool Started_Firmware(uint32_t &version, uint32_t &build) const;
    uint64_t Requests(uint8_t sub) const { return sub < 11 ? requests_[sub] : 0; }
    uint64_t Dropped_Replies() const { return dropped_; }
    uint64_t Faults_Fired() const { return faults_fired_; }
    uint64_t Protocol_Errors() const { return protocol_errors_; }
    const std::string &Last_Error() const { return last_error_; }
    uint32_t Session() const { return session_; }

private:
    void _reply(UpgradeOut &out, uint8_t sub, Packet p);
    void _error(const std::string &what);
    void _append(const uint8_t *bytes, size_t n);
    void _next_run_if_summed();
    Block *_current() { return current_ < 0 ? nullptr : &blocks_[size_t(current_)]; }
    void _data_uei(const Packet &req, UpgradeOut &out);
    void _commit_reboot(UpgradeOut &out);

    const DeviceConfig &cfg_;
    bool in_loader_ = false;
    bool session_open_ = false;
    uint32_t session_ = 0;
    std::vector<Block> blocks_;
    int current_ = -1;
    // The data run in progress inside the current block.
    size_t run_start_ = 0;
    uint32_t run_sum_ = 0;
    bool run_summed_ = false;
    // The byte-array data option.
    uint8_t uei_seq_ = 0;
    bool uei_active_ = false;
    bool uei_failed_ = false;
    // Firmware started by the last reboot.
    bool started_ = false;
    uint32_t started_version_ = 0, started_build_ = 0;

    uint64_t requests_[11] = {};
    uint64_t data_seen_ = 0, sum_seen_ = 0, prepare_seen_ = 0;
    uint64_t dropped_ = 0, faults_fired_ = 0, protocol_errors_ = 0;
    std::string last_error_;
};

}  // namespace cvsim
