// SystemClass: the system entity (command 3): addresses, version, model,
// serial number, name, power and the other options every module has.
#include "device/Entity.h"

#include "common/vUEI.h"

#include <vector>

namespace Velquire {
namespace Corvantis {

namespace {
enum {
    sysModule = 1, sysRouter = 2, sysHBInterval = 3, sysLED = 4, sysBootSlot = 6, sysVersion = 7, sysModel = 8,
    sysSerial = 9, sysSave = 10, sysReset = 11, sysInputVoltage = 12, sysHardwareOffset = 13,
    sysBaseAddress = 14, sysSoftwareOffset = 15, sysRouterSetting = 16, sysRouteToMe = 20,
    sysInputCurrent = 21, sysUptime = 22, sysMaxTemperature = 23, sysLogEvents = 24,
    sysUnregulatedVoltage = 25, sysUnregulatedCurrent = 26, sysTemperature = 27, sysMinTemperature = 28,
    sysPowerSource = 29, sysPowerBehavior = 30, sysPowerBehaviorConfig = 31, sysName = 32,
    sysPowerLimit = 33, sysPowerLimitMax = 34, sysPowerLimitState = 35, sysFactoryDefaults = 37,
    sysLinkInterface = 38, sysHardwareVersion = 40, sysErrors = 41, sysLEDMaxBrightness = 42, sysBuild = 43,
    sysProtocolFeatures = 45,
};
constexpr uint8_t kSystemCommand = 3;
// Most 32-bit values of one power-behaviour configuration.
constexpr uint32_t kMaxConfigValues = 256;
} // namespace

void SystemClass::init(Module *module, uint8_t index)
{
    EntityClass::init(module, kSystemCommand, index);
}

static vErr sSigned(vErr err, uint32_t raw, int32_t *value)
{
    if (err == vErrNone || err == vErrStreamStale)
        *value = int32_t(raw);
    return err;
}

vErr SystemClass::getModule(uint8_t *address) { return getUEI8(sysModule, address); }
vErr SystemClass::setRouter(uint8_t address) { return setUEI8(sysRouter, address); }
vErr SystemClass::getRouter(uint8_t *address) { return getUEI8(sysRouter, address); }
vErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(sysHBInterval, interval); }
vErr SystemClass::getHBInterval(uint8_t *interval) { return getUEI8(sysHBInterval, interval); }
vErr SystemClass::setLED(uint8_t state) { return setUEI8(sysLED, state); }
vErr SystemClass::getLED(uint8_t *state) { return getUEI8(sysLED, state); }
vErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(sysBootSlot, slot); }
vErr SystemClass::getBootSlot(uint8_t *slot) { return getUEI8(sysBootSlot, slot); }
vErr SystemClass::getVersion(uint32_t *version) { return getUEI32(sysVersion, version); }
vErr SystemClass::getModel(uint8_t *model) { return getUEI8(sysModel, model); }
vErr SystemClass::getSerialNumber(uint32_t *serialNumber) { return getUEI32(sysSerial, serialNumber); }
vErr SystemClass::save() { return callUEI(sysSave); }
vErr SystemClass::reset() { return callUEI(sysReset); }
vErr SystemClass::getInputVoltage(uint32_t *value) { return getUEI32(sysInputVoltage, value); }
vErr SystemClass::getModuleHardwareOffset(uint8_t *offset) { return getUEI8(sysHardwareOffset, offset); }
vErr SystemClass::getModuleBaseAddress(uint8_t *address) { return getUEI8(sysBaseAddress, address); }
vErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(sysSoftwareOffset, offset); }
vErr SystemClass::getModuleSoftwareOffset(uint8_t *offset) { return getUEI8(sysSoftwareOffset, offset); }
vErr SystemClass::getRouterAddressSetting(uint8_t *setting) { return getUEI8(sysRouterSetting, setting); }
vErr SystemClass::routeToMe(uint8_t on) { return setUEI8(sysRouteToMe, on); }
vErr SystemClass::getInputCurrent(uint32_t *value) { return getUEI32(sysInputCurrent, value); }
vErr SystemClass::getUptime(uint32_t *seconds) { return getUEI32(sysUptime, seconds); }
vErr SystemClass::logEvents() { return callUEI(sysLogEvents); }
vErr SystemClass::getInputPowerSource(uint8_t *source) { return getUEI8(sysPowerSource, source); }
vErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(sysPowerBehavior, behavior); }
vErr SystemClass::getInputPowerBehavior(uint8_t *behavior) { return getUEI8(sysPowerBehavior, behavior); }
vErr SystemClass::getPowerLimit(uint32_t *value) { return getUEI32(sysPowerLimit, value); }
vErr SystemClass::setPowerLimitMax(uint32_t value) { return setUEI32(sysPowerLimitMax, value); }
vErr SystemClass::getPowerLimitMax(uint32_t *value) { return getUEI32(sysPowerLimitMax, value); }
vErr SystemClass::getPowerLimitState(uint32_t *value) { return getUEI32(sysPowerLimitState, value); }
vErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(sysFactoryDefaults); }
vErr SystemClass::setLinkInterface(uint8_t linkInterface) { return setUEI8(sysLinkInterface, linkInterface); }
vErr SystemClass::getLinkInterface(uint8_t *linkInterface) { return getUEI8(sysLinkInterface, linkInterface); }
vErr SystemClass::getHardwareVersion(uint32_t *version) { return getUEI32(sysHardwareVersion, version); }
vErr SystemClass::getErrors(uint32_t *errors) { return getUEI32(sysErrors, errors); }
vErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(sysLEDMaxBrightness, brightness); }
vErr SystemClass::getLEDMaxBrightness(uint8_t *brightness) { return getUEI8(sysLEDMaxBrightness, brightness); }
vErr SystemClass::getBuild(uint32_t *build) { return getUEI32(sysBuild, build); }
vErr SystemClass::getProtocolFeatures(uint32_t *features) { return getUEI32(sysProtocolFeatures, features); }

#define SIGNED_GETTER(name, option)                                                                              \
    vErr SystemClass::name(int32_t *value)                                                                       \
    {                                                                                                            \
        if (!value)                                                                                              \
            return vErrParam;                                                                                    \
        uint32_t raw = 0;                                                                                        \
        vErr err = getUEI32(option, &raw);                                                                       \
        return sSigned(err, raw, value);                                                                         \
    }
SIGNED_GETTER(getMaximumTemperature, sysMaxTemperature)
SIGNED_GETTER(getUnregulatedVoltage, sysUnregulatedVoltage)
SIGNED_GETTER(getUnregulatedCurrent, sysUnregulatedCurrent)
SIGNED_GETTER(getTemperature, sysTemperature)
SIGNED_GETTER(getMinimumTemperature, sysMinTemperature)
#undef SIGNED_GETTER

vErr SystemClass::setInputPowerBehaviorConfig(const uint32_t *values, uint32_t count)
{
    if ((!values && count) || count > kMaxConfigValues)
        return vErrParam;
    uint8_t bytes[kMaxConfigValues * 4];
    for (uint32_t i = 0; i < count; i++)
        vUEI_StoreInt(&bytes[i * 4], values[i]);
    return setUEIBytes(sysPowerBehaviorConfig, bytes, count * 4);
}

vErr SystemClass::getInputPowerBehaviorConfig(uint32_t *values, uint32_t capacity, uint32_t *count)
{
    if (!values || !count || capacity == 0)
        return vErrParam;
    std::vector<uint8_t> bytes(size_t(capacity) * 4);
    uint32_t n = 0;
    vErr err = getUEIBytes(sysPowerBehaviorConfig, bytes.data(), capacity * 4, &n);
    if (err != vErrNone)
        return err;
    err = getUEIBytesCheck(&n, 4);
    if (err != vErrNone)
        return err;
    for (uint32_t i = 0; i < n; i++)
        values[i] = vUEI_RetrieveInt(&bytes[i * 4]);
    *count = n;
    return vErrNone;
}

vErr SystemClass::setName(const char *name, uint32_t length)
{
    return setUEIBytes(sysName, reinterpret_cast<const uint8_t *>(name), length);
}

vErr SystemClass::getName(char *buffer, uint32_t capacity, uint32_t *length)
{
    vErr err = getUEIBytes(sysName, reinterpret_cast<uint8_t *>(buffer), capacity, length);
    if (err != vErrNone)
        return err;
    return getUEIBytesCheck(length, 1);
}

} // namespace Corvantis
} // namespace Velquire
