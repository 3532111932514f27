// The update orchestration: discovery, firmware updates, build lists and
// downloads, device tokens, recovery and chip fingerprints. One Updater
// serves one run of the program; every device, store and image object is
// scoped to the operation that made it.
#pragma once

#include "common/vLinkSpecifier.h"
#include "updateserver/UpdateServerRequest.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class BirdFile;
class UpdaterDisplayInterface;

// One device found by discovery. Numbers not reached by a failed query stay 0.
struct DeviceInfo {
    linkSpec spec{};            // how to reach it (type, serial, addresses, model, transport part)
    uint16_t module_address = 0; // found by network discovery, 0 otherwise
    uint32_t build = 0;          // firmware build, 0 if unknown
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string model_name;
    std::string device_name; // empty if not read
    int32_t error = 0;       // vErr met while connecting to or querying the device
};

// Four 32-bit words identifying a chip, in the order read and sent to the server.
using Fingerprint = std::array<uint32_t, 4>;

// Build number text -> version text, as the server client lists them.
using BuildList = UpdateServerRequest::BuildList;

// Serial number of a device not known; the server keeps a default recovery
// image under it and a live loader started from that image enumerates with it.
const uint32_t UNKNOWN_DEVICE_SERIAL = 0xDEADDEAD;

class Updater
{
public:
    // The display is held by reference and must outlive the Updater.
    Updater(const std::string &server_url, const std::string &store_path, UpdaterDisplayInterface &display);
    ~Updater();
    Updater(const Updater &) = delete;
    Updater &operator=(const Updater &) = delete;

    // Discovery (one file: Updater_discovery.cpp).
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t router_serial, linkType type);

    // Firmware update (Updater_update.cpp). build 0: choose the build; empty
    // bird_file: the image comes from the store; module_address 0: find it;
    // router_serial 0: direct connection; override skips the image check.
    bool Update_Firmware(uint32_t serial, uint32_t build, std::string bird_file, uint8_t module_address,
                         uint32_t router_serial, bool override);
    // Moves firmware blocks as UEI byte arrays where the device supports it.
    void Set_UEIBytes_Load(bool enable);
    // The image to send: from bird_file when given, else build from the
    // device's store entry (downloaded first when missing and allowed).
    // Throws std::runtime_error when it cannot be read.
    BirdFile load_bird(const char *label, std::string bird_file, uint32_t serial, uint32_t build,
                       bool download_if_missing);

    // Builds, downloads and tokens (Updater_builds.cpp).
    BuildList Get_BuildList(uint32_t serial);
    BuildList Get_BuildListLocal(uint32_t serial);
    std::string Get_JWT(uint32_t serial);
    // Returns the build number stored, 0 on failure; an empty build means the newest.
    uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool no_cal);
    // The same for a device known only by its chip fingerprint.
    uint32_t Download_Firmware(Fingerprint chip, std::string build, bool override);

    // Recovery and fingerprint (Updater_recovery.cpp).
    bool Get_Fingerprint(Fingerprint &out, std::string port, uint32_t serial, std::string bird_file, uint32_t baud,
                         bool reset_after);
    bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial, std::string bird_file,
                          bool override);

    const std::string &Get_ServerURL() const { return server_url; }
    const std::string &Get_StorePath() const { return store_path; }
    UpdaterDisplayInterface &Get_Display() const { return display; }
    bool Get_UEIBytes_Load() const { return use_uei_bytes; }

private:
    // Reports that an operation is not available in this build and fails it.
    void _not_supported(const char *operation) const;

    std::string server_url;
    std::string store_path;
    UpdaterDisplayInterface &display;
    bool use_uei_bytes = false;
    // Set by Get_Fingerprint: 2 after an LPC chip answered, 1 when the i.MX
    // path was taken; Recover_Firmware chooses its path by it.
    uint8_t chip_kind = 0;
};
