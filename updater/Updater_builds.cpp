// Build lists, downloads into the store and device tokens.
#include "updater/Updater.h"

#include "common/Log.h"
#include "common/vVersion.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"
#include "updater/UpdaterDisplayInterface.h"
#include "updater/UpdaterSteps.h"
#include "updateserver/UpdateServerRequest.h"
#include "updateserver/base64.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

// Opens the store for one operation; nothing when the store cannot be made
// (the reason is reported).
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display, const std::string &store_path,
                                                  const char *caller_name)
{
    try {
        return std::make_unique<UpdaterStore>(store_path);
    } catch (const std::runtime_error &e) {
        display.message(UpdaterDisplayInterface::error, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller_name, e.what());
        return nullptr;
    }
}

namespace {

const auto SPINNER_PERIOD = std::chrono::milliseconds(100);
const char *const BIRD_EXTENSION = ".bird";

// A build number typed by the user: decimal digits only, within 32 bits.
bool _parse_build_argument(const std::string &text, uint32_t &build)
{
    uint64_t value = 0;
    if (!vVersion_ParseBuild(text.c_str(), &value, true) || value > UINT32_MAX)
        return false;
    build = uint32_t(value);
    return true;
}

// True when the server lists build for the device.
bool _valid_build(uint32_t serial, uint32_t build, const char *url)
{
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
        return false;
    for (const auto &entry : builds)
        if (_to_build(entry.first) == build)
            return true;
    return false;
}

// Decodes a downloaded image and checks that it loads as an image at all;
// the bytes are handed back only then.
bool _decode_image(const std::string &payload, std::unique_ptr<uint8_t, decltype(&free)> &bytes, size_t &size)
{
    size = 0;
    bytes.reset(base64_decode(payload.data(), payload.size(), &size));
    if (!bytes)
        return false;
    BirdFile check;
    return BirdFile::VerifyHeader(bytes.get(), size) && check.LoadBuffer(bytes.get(), size);
}

} // namespace

uint32_t _to_build(const std::string &text)
{
    uint64_t build = 0;
    if (!vVersion_ParseBuild(text.c_str(), &build))
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return uint32_t(build);
}

BuildList Updater::Get_BuildList(uint32_t serial)
{
    BuildList builds;
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(UpdaterDisplayInterface::error, "Server request failed for %s", server_url.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url))
        display.message(UpdaterDisplayInterface::error, "Failed to retrieve builds for %08X", serial);
    return builds;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial)
{
    BuildList builds;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem &item : items) {
        std::string key = item.name.substr(0, item.name.find(BIRD_EXTENSION));
        std::string version;
        if (item.IsValid()) {
            std::string path = item.base + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                try {
                    BirdFile bird(path);
                    if (!bird.GetVersion().empty()) {
                        Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
                        version = bird.GetVersion();
                    }
                } catch (const std::runtime_error &e) {
                    // A header that passes over content that does not load:
                    // listed without a version.
                    Log::log(DEBUG_Updater, "%s: %s\n", path.c_str(), e.what());
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial)
{
    std::string token;
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(UpdaterDisplayInterface::error, "Server request failed for %s", server_url.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url)) {
        display.message(UpdaterDisplayInterface::error, "Failed to retrieve jwt for %08X", serial);
        token.clear();
    }
    return token;
}

uint32_t Updater::Download_Firmware(uint32_t serial, std::string build_text, bool override, bool no_cal)
{
    uint32_t build = 0;
    if (!build_text.empty() && !_parse_build_argument(build_text, build)) {
        display.message(UpdaterDisplayInterface::error, "Build number '%s' must be an number", build_text.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::error, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(UpdaterDisplayInterface::error, "Server request failed for %s", server_url.c_str());
        return 0;
    }

    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem device;
    if (!store->FindDevice(serial, &device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serial);
        } catch (const std::runtime_error &) {
            display.message(UpdaterDisplayInterface::error, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string server_build, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, server_build, firmware, server_url)) {
        display.message(UpdaterDisplayInterface::error, "No build information for device");
        return 0;
    }
    if (build_text.empty())
        build = _to_build(server_build);

    display.message(UpdaterDisplayInterface::info, "Retrieving build %u", build);
    if (override) {
        display.message(UpdaterDisplayInterface::info, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(UpdaterDisplayInterface::info, "Validating build %u with server", build);
        if (!_valid_build(serial, build, server_url.c_str())) {
            display.message(UpdaterDisplayInterface::error, "No valid build %u", build);
            return 0;
        }
        display.message(UpdaterDisplayInterface::info, "Build %u is valid", build);
    }

    // The transfer runs on a worker while this thread turns the spinner.
    const std::string build_number = std::to_string(build);
    std::string payload;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker;
    try {
        worker = std::thread([&, serial, firmware, build_number, no_cal]() {
            bool ok = false;
            try {
                ok = UpdateServerRequest::GetBuild(serial, firmware, build_number, payload, server_url, no_cal);
            } catch (const std::exception &) {
                ok = false;
            }
            done.set_value(ok);
        });
    } catch (const std::system_error &) {
        done.set_value(false);
    }
    display.update_spinner(true, "Downloading");
    while (result.wait_for(SPINNER_PERIOD) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool downloaded = result.get();
    if (!downloaded)
        display.message(UpdaterDisplayInterface::error, "Download failed");
    if (worker.joinable())
        worker.join();

    if (payload.empty()) {
        display.message(UpdaterDisplayInterface::error, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    // Only an image that decodes and loads is stored.
    const std::string file_name = build_number + BIRD_EXTENSION;
    std::unique_ptr<uint8_t, decltype(&free)> image(nullptr, free);
    size_t size = 0;
    bool valid = _decode_image(payload, image, size);
    std::string().swap(payload);
    if (!valid) {
        display.message(UpdaterDisplayInterface::error, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    vErr written = device.WriteFile(file_name, image.get(), size);
    if (written != vErrNone) {
        display.message(UpdaterDisplayInterface::error, "Failed to write file with %d", (int)written);
        return 0;
    }
    device.attributes.Add("LATEST_DOWNLOAD", file_name);
    device.attributes.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
    device.attributes.Save();
    return build;
}

uint32_t Updater::Download_Firmware(Fingerprint chip, std::string build_text, bool override)
{
    uint32_t build = _to_build(build_text);
    uint32_t serial = 0, recovery_build = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(chip.data(), serial, recovery_build, server_url)) {
        display.message(UpdaterDisplayInterface::error,
                        "Failed to retrieve recovery information from Velquire update server");
        return 0;
    }
    if (build == 0)
        build = recovery_build;
    return Download_Firmware(serial, std::to_string(build), override, false);
}
