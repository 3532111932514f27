// Entities: a device function is an entity class (the command byte) and an
// index within it, with options read, written or called as UEIs over the
// module's link. SystemClass (command 3) and I2CClass (command 8) are the
// concrete classes here.
#pragma once

#include "device/Link.h"
#include "device/Module.h"

#include <cstdint>

namespace Velquire {
namespace Corvantis {

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass &) = delete;
    EntityClass &operator=(const EntityClass &) = delete;

    void init(Module *module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    vErr sendPacket(uint8_t command, uint8_t length, const uint8_t *data);
    vErr receivePacket(const uint8_t *match, uint8_t *length, uint8_t *out);

    vErr getUEI(uint8_t option, uei *value);
    vErr setUEI(uint8_t option, uei *value);
    vErr setUEI(uint8_t option, uint8_t subindex, uei *value);
    vErr callUEI(uint8_t option);

    vErr setUEI8(uint8_t option, uint8_t value);
    vErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    vErr setUEI16(uint8_t option, uint16_t value);
    vErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    vErr setUEI32(uint8_t option, uint32_t value);
    vErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    vErr setUEIBytes(uint8_t option, const uint8_t *data, uint32_t length);

    // A sampled value (vErrStreamStale: read before) is delivered as well.
    vErr getUEI8(uint8_t option, uint8_t *value);
    vErr getUEI8(uint8_t option, uint8_t subindex, uint8_t *value);
    vErr getUEI16(uint8_t option, uint16_t *value);
    vErr getUEI16(uint8_t option, uint8_t subindex, uint16_t *value);
    vErr getUEI32(uint8_t option, uint32_t *value);
    vErr getUEI32(uint8_t option, uint8_t subindex, uint32_t *value);
    vErr getUEIBytes(uint8_t option, uint8_t *buffer, uint32_t capacity, uint32_t *count);
    // Bytes to elements of unit bytes; vErrMemory when count is not a multiple.
    vErr getUEIBytesCheck(uint32_t *count, uint32_t unit);
    // Waits (1 s) for a value the device sends unrequested.
    vErr awaitUEI32Val(uint8_t option, uint32_t *value, uint32_t timeoutMs);
    vErr drainUEI(uint8_t option);

    vErr setStreamEnabled(bool enable);
    vErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void *context);
    vErr getStreamStatus(Link::StreamStatusEntry *entries, size_t capacity, size_t *count);

    vErr saveEntityToStore();
    vErr resetEntityToFactoryDefaults();
    vErr loadEntityFromStore();

    struct impl;

private:
    vErr _getValue(uint8_t option, bool withSubindex, uint8_t subindex, ueiType want, uint32_t *value);
    vErr _set(uint8_t option, bool withSubindex, uint8_t subindex, uei *value);
    vErr _storeOperation(uint8_t option);

    impl *m_impl;
};

class SystemClass : public EntityClass {
public:
    void init(Module *module, uint8_t index);

    vErr getModule(uint8_t *address);
    vErr setRouter(uint8_t address);
    vErr getRouter(uint8_t *address);
    vErr setHBInterval(uint8_t interval);
    vErr getHBInterval(uint8_t *interval);
    vErr setLED(uint8_t state);
    vErr getLED(uint8_t *state);
    vErr setBootSlot(uint8_t slot);
    vErr getBootSlot(uint8_t *slot);
    vErr getVersion(uint32_t *version);
    vErr getModel(uint8_t *model);
    vErr getSerialNumber(uint32_t *serialNumber);
    vErr save();
    vErr reset();
    vErr getInputVoltage(uint32_t *value);
    vErr getModuleHardwareOffset(uint8_t *offset);
    vErr getModuleBaseAddress(uint8_t *address);
    vErr setModuleSoftwareOffset(uint8_t offset);
    vErr getModuleSoftwareOffset(uint8_t *offset);
    vErr getRouterAddressSetting(uint8_t *setting);
    vErr routeToMe(uint8_t on);
    vErr getInputCurrent(uint32_t *value);
    vErr getUptime(uint32_t *seconds);
    vErr getMaximumTemperature(int32_t *value);
    vErr logEvents();
    vErr getUnregulatedVoltage(int32_t *value);
    vErr getUnregulatedCurrent(int32_t *value);
    vErr getTemperature(int32_t *value);
    vErr getMinimumTemperature(int32_t *value);
    vErr getInputPowerSource(uint8_t *source);
    vErr setInputPowerBehavior(uint8_t behavior);
    vErr getInputPowerBehavior(uint8_t *behavior);
    // An array of 32-bit values; count is in values.
    vErr setInputPowerBehaviorConfig(const uint32_t *values, uint32_t count);
    vErr getInputPowerBehaviorConfig(uint32_t *values, uint32_t capacity, uint32_t *count);
    vErr setName(const char *name, uint32_t length);
    vErr getName(char *buffer, uint32_t capacity, uint32_t *length);
    vErr getPowerLimit(uint32_t *value);
    vErr setPowerLimitMax(uint32_t value);
    vErr getPowerLimitMax(uint32_t *value);
    vErr getPowerLimitState(uint32_t *value);
    vErr resetDeviceToFactoryDefaults();
    vErr setLinkInterface(uint8_t linkInterface);
    vErr getLinkInterface(uint8_t *linkInterface);
    vErr getHardwareVersion(uint32_t *version);
    vErr getErrors(uint32_t *errors);
    vErr setLEDMaxBrightness(uint8_t brightness);
    vErr getLEDMaxBrightness(uint8_t *brightness);
    vErr getBuild(uint32_t *build);
    vErr getProtocolFeatures(uint32_t *features);
};

class I2CClass : public EntityClass {
public:
    void init(Module *module, uint8_t index);

    // busAddress is the 8-bit form; read sets bit 0. At most 23 bytes.
    vErr read(uint8_t busAddress, uint8_t length, uint8_t *buffer);
    vErr write(uint8_t busAddress, uint8_t length, const uint8_t *data);
    vErr setPullup(bool on);
    vErr setSpeed(uint8_t speed); // 0 to 3
    uint8_t getSpeed() const;

private:
    vErr _exchange(const uint8_t *request, uint8_t requestLength, const uint8_t *match, uint8_t *reply,
                   uint8_t *replyLength);

    uint8_t m_speed = 0;
};

} // namespace Corvantis
} // namespace Velquire
