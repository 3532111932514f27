// Bringing one device to a chosen firmware build.
#include "updater/Updater.h"

#include "common/Log.h"
#include "common/vDefs.h"
#include "common/vTime.h"
#include "device/Entity.h"
#include "device/Module.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "updater/UpdaterDisplayInterface.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterSteps.h"
#include "updateserver/UpdateServerRequest.h"

#include <memory>
#include <optional>
#include <stdexcept>

using Velquire::Corvantis::Link;
using Velquire::Corvantis::Module;
using Velquire::Corvantis::SystemClass;

namespace {

const int RECONNECT_ROUNDS = 15;
const uint32_t RECONNECT_ROUND_MS = 1000;

std::string _bird_name(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

// The build the server names as the device's newest, 0 when none or not a number.
uint32_t _server_build(uint32_t serial, const std::string &url)
{
    std::string build;
    std::string firmware;
    UpdateServerRequest::QueryBuild(serial, build, firmware, url);
    return build.empty() ? 0 : _to_build(build);
}

// Connects by USB, else by TCP/IP.
vErr _connect_usb_or_tcp(Module &module, uint32_t serial)
{
    vErr err = module.connect(linkTypeUSB, serial);
    if (err == vErrNotFound)
        err = module.connect(linkTypeTCPIP, serial);
    return err;
}

// Whether the device still answers on its link: a device that starts its
// loader may drop the link only just after answering the LOAD, so a link
// that looks up is asked for the module address once.
bool _still_connected(Module &module)
{
    if (!module.isConnected() || !module.getLink())
        return false;
    uint8_t address = 0;
    return module.getLink()->getModuleAddress(&address) == vErrNone && module.isConnected();
}

// The update's phases, in the order Update_Firmware runs them.

// Choosing the build when neither a build nor an image file was given: the
// server's newest when the store already holds it, else the store's latest
// download, else its latest transfer. 0 (reported) when there is none.
uint32_t _choose_build(UpdaterDisplayInterface &display, const std::string &server_url, uint32_t serial,
                       UpdaterStoreItem &entry)
{
    uint32_t build = _server_build(serial, server_url);
    if (build != 0) {
        try {
            entry.ReadBirdFile(_bird_name(build));
        } catch (const std::exception &) {
            build = 0;
            display.message(UpdaterDisplayInterface::info,
                            "New firmware is available.  Updater will proceed if valid firmware is found "
                            "locally.");
        }
    }
    if (build == 0) {
        build = uint32_t(entry.attributes.GetInt("LATEST_DOWNLOAD", 0));
        if (build != 0)
            display.message(UpdaterDisplayInterface::info, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = uint32_t(entry.attributes.GetInt("LATEST_TRANSFER", 0));
        if (build != 0)
            display.message(UpdaterDisplayInterface::info, "Updating with the Latest Transfer");
    }
    if (build == 0) {
        entry.attributes.GetString("LAST_TRANSFER_VERSION");
        display.message(UpdaterDisplayInterface::error, "Could not find valid build for this device.");
    }
    return build;
}

// Loading the image (from bird_file, else the store's image of build) and
// patching the device's serial number into a generic one. false, with the
// reason reported, when either fails.
bool _load_image(Updater &updater, BirdFile &image, const std::string &bird_file, uint32_t serial, uint32_t build)
{
    UpdaterDisplayInterface &display = updater.Get_Display();
    try {
        image = updater.load_bird("Updating", bird_file, serial, build, false);
    } catch (const std::runtime_error &) {
        display.message(UpdaterDisplayInterface::error, "Failed to load bird file");
        return false;
    }
    if (!image.has_serial_offsets())
        return true;
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!image.ReplaceSerialNumber(serial)) {
        Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        display.message(UpdaterDisplayInterface::error, "Unable to set serial number [%08X] into the firmware image",
                        serial);
        return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return true;
}

// Connecting directly: by USB, else by TCP/IP.
vErr _connect_direct(UpdaterDisplayInterface &display, Module &device, uint32_t serial)
{
    vErr err = _connect_usb_or_tcp(device, serial);
    if (err != vErrNone)
        display.message(UpdaterDisplayInterface::error, "Failed to connect to module [%08X]", serial);
    return err;
}

// Connecting through the router with router_serial, the device's module
// address found on the router's network when the device has none yet.
// Nothing when the update cannot go on (reported); else the connection's
// outcome, whose failure is reported too.
std::optional<vErr> _connect_through_router(Updater &updater, Module &device, uint32_t serial,
                                            uint32_t router_serial)
{
    UpdaterDisplayInterface &display = updater.Get_Display();
    if (device.getModuleAddress() == 0) {
        std::vector<DeviceInfo> network = updater.Discover_CVNetwork_Devices(router_serial, linkTypeNone);
        if (network.empty()) {
            display.message(UpdaterDisplayInterface::error, "Unable to find modules on Network");
            return std::nullopt;
        }
        uint8_t module_address = 0;
        for (const DeviceInfo &info : network)
            if (info.spec.serialNumber == serial)
                module_address = uint8_t(info.module_address);
        if (module_address == 0) {
            display.message(UpdaterDisplayInterface::error,
                            "Module address required for indirect firmware update, could not find serial "
                            "number [0x%08X] on network",
                            serial);
            return std::nullopt;
        }
        device.setModuleAddress(module_address);
    }
    Module router(0, uint8_t(0));
    vErr err = _disableEther(router, display);
    if (err == vErrNone)
        err = _connect_usb_or_tcp(router, router_serial);
    if (err != vErrNone) {
        display.message(UpdaterDisplayInterface::error, "Failed to connect to link module [%08X]", router_serial);
        return std::nullopt;
    }
    err = device.connectThroughLinkModule(&router);
    if (err != vErrNone)
        display.message(UpdaterDisplayInterface::error, "Failed to connect to module [%08X]", serial);
    return err;
}

// The loader stage: the loader is sent and started (err gets its outcome),
// and a device that restarted into it is found again where it was, by
// serial number, in up to 15 one-second rounds. false (reported) when it
// does not come back.
bool _loader_stage(UpdaterDisplayInterface &display, Module &device, BirdFile &image, uint32_t serial,
                   bool through_router, vErr &err)
{
    linkSpec connected{};
    device.getLinkSpecifier(&connected);
    err = _transfer_loader(display, device, image);
    if (err != vErrNone || (through_router ? device.isConnected() : _still_connected(device)))
        return true;
    const uint32_t type = connected.type == linkTypeTCPIP ? uint32_t(linkTypeTCPIP) : uint32_t(linkTypeUSB);
    device.disconnect();
    for (int round = 0; round < RECONNECT_ROUNDS; round++) {
        if (type == linkTypeUSB && round % 3 == 2) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Link::releaseUSBContext();
        }
        if (device.discoverAndConnect(type, serial) == vErrNone && device.isConnected())
            break;
        vTime_MSSleep(RECONNECT_ROUND_MS);
    }
    if (!device.isConnected()) {
        display.message(UpdaterDisplayInterface::error, "Device [%08X] did not reconnect after loading", serial);
        return false;
    }
    return true;
}

// Recording the transfer in the device's settings file, when the device has
// a store entry.
void _record_transfer(UpdaterStoreItem &entry, const std::string &bird_file)
{
    if (!entry.IsValid())
        return;
    entry.attributes.Add("LATEST_TRANSFER", bird_file);
    entry.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp());
    entry.attributes.Save();
}

} // namespace

bool _validate_birdfile(UpdaterDisplayInterface &display, BirdFile &image, Module &module, uint32_t serial)
{
    if (image.blocks().empty())
        return false;
    if (!image.has_serial_offsets() && !image.ValidateSerialNumber(serial))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t device_serial = 0;
    vErr err = system.getSerialNumber(&device_serial);
    if (err != vErrNone || device_serial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char *name = vDefs_GetModelName(model);
    if (err != vErrNone || !image.ValidateModel(name ? name : "")) {
        display.message(UpdaterDisplayInterface::error,
                        "Connected device model and Bird file model do not match [%s] (%d)", name ? name : "", err);
        return false;
    }
    return true;
}

vErr _transfer_loader(UpdaterDisplayInterface &display, Module &module, BirdFile &image)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    vErr err = entity.LoaderInit();
    if (err != vErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, vError_GetErrorText(unsigned(err)));
        return err;
    }
    display.message(UpdaterDisplayInterface::info, "Transferring loader to device");
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int sent = 0;
    int total = 0;
    for (const BirdBlock &block : blocks) {
        display.message(UpdaterDisplayInterface::info, "Transferring loader block %d of %d, %d bytes", sent + 1,
                        int(blocks.size()), int(block.length));
        uint16_t block_size = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
        if (err != vErrNone && err != vErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, vError_GetErrorText(unsigned(err)));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != vErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, vError_GetErrorText(unsigned(err)));
            continue;
        }
        total += int(block.length);
        sent++;
    }
    display.message(UpdaterDisplayInterface::info, "Transferred %d blocks, %d total bytes", sent, total);
    display.display_progress(false);
    if (err == vErrNone) {
        display.message(UpdaterDisplayInterface::info, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == vErrTimeout) {
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = vErrNone;
        } else if (err != vErrNone) {
            display.message(UpdaterDisplayInterface::error, "Error starting loader [%d, %s]", err,
                            vError_GetErrorText(unsigned(err)));
        }
    }
    return err;
}

vErr _transfer_firmware(UpdaterDisplayInterface &display, Module &module, BirdFile &image, bool through_router,
                        bool use_uei_bytes)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, through_router);
    if (use_uei_bytes && entity.CheckUEIDataSupport() == vErrNone)
        entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.path().c_str());
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    vErr err = vErrNone;
    int sent = 0;
    int total = 0;
    for (size_t i = 0; i < blocks.size(); i++) {
        const BirdBlock &block = blocks[i];
        for (int attempt = 0; attempt < 5; attempt++) {
            display.message(UpdaterDisplayInterface::info, "Transferring firmware block %u of %u, %d bytes",
                            unsigned(i + 1), unsigned(blocks.size()), int(block.length));
            if (attempt > 0)
                display.message(UpdaterDisplayInterface::info, "  Retry %d", attempt);
            uint16_t block_size = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
            if (err != vErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err,
                         vError_GetErrorText(unsigned(err)));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, block_size, display);
            if (err == vErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, vError_GetErrorText(unsigned(err)));
        }
        if (err != vErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        sent++;
        total += int(block.length);
    }
    display.message(UpdaterDisplayInterface::info, "Transferred %d blocks, %d total bytes", sent, total);
    if (err != vErrNone)
        return err;
    return entity.LoaderReboot(display);
}

BirdFile Updater::load_bird(const char *label, std::string bird_file, uint32_t serial, uint32_t build,
                            bool download_if_missing)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "load_bird");
    if (!store)
        return BirdFile();
    if (!bird_file.empty()) {
        display.message(UpdaterDisplayInterface::info, "%s from Birdfile: %s", label, bird_file.c_str());
        return BirdFile(bird_file);
    }
    UpdaterStoreItem entry = store->AddDevice(serial);
    display.message(UpdaterDisplayInterface::info, "%s firmware with build: %u", label, build);
    const std::string name = _bird_name(build);
    try {
        return entry.ReadBirdFile(name);
    } catch (const std::runtime_error &) {
        if (!download_if_missing)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(UpdaterDisplayInterface::info, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return entry.ReadBirdFile(name);
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, std::string bird_file, uint8_t module_address,
                              uint32_t router_serial, bool override)
{
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::error, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem entry;
    store->FindDevice(serial, &entry);
    const uint32_t start_ms = vTime_GetMSTicks();

    if (bird_file.empty() && build == 0) {
        build = _choose_build(display, server_url, serial, entry);
        if (build == 0)
            return false;
    }
    BirdFile image;
    if (!_load_image(*this, image, bird_file, serial, build))
        return false;

    Module device(module_address, uint8_t(0));
    vErr err = _disableEther(device, display);
    if (err == vErrNone) {
        if (router_serial == 0) {
            err = _connect_direct(display, device, serial);
        } else {
            const std::optional<vErr> through = _connect_through_router(*this, device, serial, router_serial);
            if (!through)
                return false;
            err = *through;
        }
    }
    if (err == vErrNone && !override && !_validate_birdfile(display, image, device, serial)) {
        display.message(UpdaterDisplayInterface::error, "Birdfile failed validation");
        return false;
    }

    if (err == vErrNone && !_loader_stage(display, device, image, serial, router_serial != 0, err))
        return false;
    if (err == vErrNone)
        err = _transfer_firmware(display, device, image, router_serial != 0, use_uei_bytes);
    if (err != vErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
        return false;
    }

    _record_transfer(entry, bird_file.empty() ? _bird_name(build) : bird_file);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(UpdaterDisplayInterface::info, "Update time: %.4f sec",
                    double(vTime_GetMSTicks() - start_ms) / 1000.0);
    return true;
}

void Updater::Set_UEIBytes_Load(bool enable)
{
    use_uei_bytes = enable;
}
