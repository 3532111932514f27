// Finding devices on USB, on TCP/IP and behind a router, and reading who they are.
#include "updater/Updater.h"

#include "common/Log.h"
#include "common/vDefs.h"
#include "common/vDiscovery.h"
#include "common/vVersion.h"
#include "device/Entity.h"
#include "device/Module.h"
#include "updater/UpdaterDisplayInterface.h"
#include "updater/UpdaterSteps.h"

#include <cstring>

using Velquire::Corvantis::I2CClass;
using Velquire::Corvantis::Module;
using Velquire::Corvantis::SystemClass;
using Velquire::Corvantis::vEtherConfig;

namespace {

const uint8_t DEFAULT_MODULE_ADDRESS = 2;
const uint8_t I2C_SPEED_FAST = 3;
const uint8_t FIRST_NETWORK_ADDRESS = 2;
const uint8_t LAST_NETWORK_ADDRESS = 252;
const size_t DEVICE_NAME_CAPACITY = 32;

struct LinkSearch {
    uint32_t serial;
    uint32_t type;
};

int _discovered_device(const linkSpec *spec, int *found, void *context)
{
    auto *devices = static_cast<std::vector<DeviceInfo> *>(context);
    DeviceInfo info;
    std::memcpy(&info.spec, spec, sizeof(linkSpec));
    devices->push_back(info);
    *found = 1;
    return 1;
}

int _discovered_link(const linkSpec *spec, int *found, void *context)
{
    auto *search = static_cast<LinkSearch *>(context);
    *found = 1;
    if (spec->serialNumber != search->serial)
        return 1;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", search->serial, int(spec->type));
    search->type = spec->type;
    return 0;
}

} // namespace

vErr _disableEther(Module &module, UpdaterDisplayInterface &display)
{
    vEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    config.assignedPort = 0;
    config.networkInterface = DISCOVERY_ALL_INTERFACES;
    vErr err = module.setConfig(config);
    if (err != vErrNone)
        display.message(UpdaterDisplayInterface::error, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module &module)
{
    uint32_t build = 0;
    return module.getBuild(&build) == vErrNone ? build : 0;
}

vErr _get_version(Module &module, DeviceInfo &info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    vErr err = system.getVersion(&version);
    if (err != vErrNone)
        return err;
    info.major = uint8_t(vVersion_ParseMajor(version));
    info.minor = uint8_t(vVersion_ParseMinor(version));
    info.patch = vVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != vErrNone)
        return err;
    info.spec.moduleAddress = address;
    err = system.getRouter(&address);
    if (err != vErrNone)
        return err;
    info.spec.routerAddress = address;
    return vErrNone;
}

vErr _get_device_name(Module &module, DeviceInfo &info)
{
    if (!vVersion_IsAtLeastCompare(info.major, info.minor, uint8_t(info.patch), 2, 10, 4))
        return vErrNone;
    SystemClass system;
    system.init(&module, 0);
    char buffer[DEVICE_NAME_CAPACITY] = {};
    uint32_t length = 0;
    vErr err = system.getName(buffer, sizeof buffer, &length);
    if (err == vErrNone)
        info.device_name.assign(buffer, std::min<size_t>(length, sizeof buffer));
    return err;
}

linkType _discover_link_type(uint32_t serial)
{
    LinkSearch search = {serial, linkTypeNone};
    vDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search, DISCOVERY_ALL_INTERFACES);
    if (search.type == linkTypeNone)
        vDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search, DISCOVERY_ALL_INTERFACES);
    return linkType(search.type);
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> devices;
    std::vector<linkType> types;
    if (type != linkTypeNone)
        types.push_back(type);
    else
        types = {linkTypeUSB, linkTypeTCPIP};
    for (linkType t : types)
        vDiscovery_EnumerateModules(t, _discovered_device, &devices, DISCOVERY_ALL_INTERFACES);

    for (DeviceInfo &info : devices) {
        info.model_name = vDefs_GetModelName(info.spec.modelNumber);
        Module module(DEFAULT_MODULE_ADDRESS, uint8_t(0));
        if (_disableEther(module, display) != vErrNone)
            continue;
        info.error = module.connectFromSpec(info.spec);
        if (info.error == vErrNone) {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            if (info.error == vErrNone)
                info.error = _get_device_name(module, info);
        }
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t router_serial, linkType type)
{
    std::vector<DeviceInfo> devices;
    if (type == linkTypeNone)
        type = _discover_link_type(router_serial);
    linkSpec *found = vDiscovery_FindModule(type, router_serial, DISCOVERY_ALL_INTERFACES);
    if (!found)
        return devices;
    linkSpec router_spec = *found;
    vLinkSpec_Destroy(&found);

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(DEFAULT_MODULE_ADDRESS, uint8_t(0));
    _disableEther(router, display);
    vErr err = router.connectFromSpec(router_spec);
    if (err != vErrNone) {
        display.message(UpdaterDisplayInterface::error, "Error %d on connectFromSpec", err);
        return devices;
    }
    SystemClass router_system;
    router_system.init(&router, 0);
    err = router_system.routeToMe(1);
    if (err != vErrNone) {
        display.message(UpdaterDisplayInterface::error, "Error %d on route to me", err);
        router.disconnect();
        return devices;
    }

    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(I2C_SPEED_FAST);
    const uint8_t router_address = router.getModuleAddress();
    for (unsigned a = FIRST_NETWORK_ADDRESS; a <= LAST_NETWORK_ADDRESS; a += 2) {
        const uint8_t address = uint8_t(a);
        if (address == router_address)
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        const uint8_t probe[2] = {0x00, 0x00};
        if (i2c.write(address, sizeof probe, probe) != vErrNone)
            continue;
        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        Module module(address, false, uint8_t(0));
        _disableEther(module, display);
        if (module.connectThroughLinkModule(&router) != vErrNone)
            continue;
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != vErrNone) {
            module.disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

        DeviceInfo info;
        std::memcpy(info.spec.transport.raw, router_spec.transport.raw, sizeof info.spec.transport.raw);
        info.spec.type = type;
        info.spec.serialNumber = serial;
        info.spec.routerAddress = router_address;
        info.spec.routerSerialNumber = router_serial;
        info.module_address = address;
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        uint8_t model = 0;
        vErr model_err = system.getModel(&model);
        if (model_err != vErrNone) {
            info.error = model_err;
        } else {
            info.spec.modelNumber = model;
            info.model_name = vDefs_GetModelName(model);
        }
        module.disconnect();
        devices.push_back(info);
    }
    router_system.routeToMe(0);
    router.disconnect();
    return devices;
}
