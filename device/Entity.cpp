#include "device/Entity.h"

#include "common/vUEI.h"

#include <cstring>
#include <vector>

namespace Velquire {
namespace Corvantis {

struct EntityClass::impl {
    explicit impl(EntityClass &o) : owner(o) {}
    EntityClass &owner;
    Module *module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link *link() const { return module ? module->getLink() : nullptr; }
};

namespace {

constexpr uint8_t kStoreCommand = 92;
constexpr uint8_t kAnyOption = 255;

// The UEI get of (option) of the entity, answered from the stream cache when
// the option is sampled. *fromStream tells which answered.
vErr sGetUEI(EntityClass::impl *m, uint8_t option, uei *value, bool *fromStream)
{
    *fromStream = false;
    Link *link = m->link();
    if (!link)
        return vErrResource;
    uint8_t address = m->module->getModuleAddress();
    uint8_t subindex = value->type == ueiTypeByte ? value->v.byteVal : 0;
    uint32_t sampled = 0;
    vErr err = link->getStreamValue(address, m->command, option, m->index, subindex, &sampled);
    if (err != vErrNotFound) {
        value->type = ueiTypeInt;
        value->v.intVal = sampled;
        *fromStream = true;
        return err;
    }
    value->module = address;
    value->command = m->command;
    value->option = uint8_t(option | vUEI_OPTION_GET);
    value->specifier = uint8_t(m->index | vUEI_SPEC_REQUEST);
    err = link->sendUEI(*value);
    if (err != vErrNone)
        return err;
    value->option = option;
    value->specifier = m->index;
    err = link->receiveUEI(address, m->command, option, m->index, value);
    if (err == vErrNone && (value->specifier & vUEI_SPEC_ERROR))
        return vError_FromDevice(value->v.byteVal);
    return err;
}

uint32_t sValueOf(const uei &value)
{
    switch (value.type) {
    case ueiTypeByte: return value.v.byteVal;
    case ueiTypeShort: return value.v.shortVal;
    case ueiTypeInt: return value.v.intVal;
    default: return 0;
    }
}

// Receive context of a byte-array get. It starts with the uei that
// Link::receiveUEI hands to the filter (and sizes its wait by).
struct BytesContext {
    uei u;
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t index;
    uint8_t *write;
    uint8_t sequence; // expected next
    bool more;
    uint32_t capacity;
    uint32_t count;
    bool error;
    vErr code;
};

bool sUEIBytesFilter(const vPacket *packet, void *reference)
{
    BytesContext *c = reinterpret_cast<BytesContext *>(static_cast<uei *>(reference));
    if (packet->address != c->module || packet->dataSize < 3)
        return false;
    if (packet->data[0] != c->command || packet->data[1] != c->option || (packet->data[2] & 0x1F) != c->index)
        return false;
    if (packet->data[2] & vUEI_SPEC_ERROR) {
        c->error = true;
        c->code = packet->dataSize > 3 ? vError_FromDevice(packet->data[3]) : vErrUnknown;
        return true;
    }
    // A byte-array packet carries at least its trailer.
    if (packet->dataSize < 4)
        return false;
    uint8_t sequence = vUEI_getBytesSequence(packet);
    if (sequence != c->sequence)
        return false;
    uint32_t payload = packet->dataSize - 4u;
    if (c->count + payload > c->capacity) {
        c->error = true;
        c->code = vErrMemory;
        return true;
    }
    std::memcpy(c->write, &packet->data[3], payload);
    c->write += payload;
    c->count += payload;
    c->sequence = sequence;
    c->more = vUEI_getBytesContinue(packet);
    return true;
}

} // namespace

EntityClass::EntityClass() : m_impl(new impl(*this)) {}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module *module, uint8_t command, uint8_t index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->index;
}

vErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t *data)
{
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

vErr EntityClass::receivePacket(const uint8_t *match, uint8_t *length, uint8_t *out)
{
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, out);
}

vErr EntityClass::getUEI(uint8_t option, uei *value)
{
    if (!value)
        return vErrParam;
    bool fromStream;
    return sGetUEI(m_impl, option, value, &fromStream);
}

vErr EntityClass::_set(uint8_t option, bool withSubindex, uint8_t subindex, uei *value)
{
    if (!value)
        return vErrParam;
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    uint8_t address = m_impl->module->getModuleAddress();
    value->module = address;
    value->command = m_impl->command;
    value->option = uint8_t(option | vUEI_OPTION_SET);
    value->specifier = uint8_t(m_impl->index | vUEI_SPEC_REQUEST);
    vErr err = withSubindex ? link->sendUEI(*value, subindex) : link->sendUEI(*value);
    if (err != vErrNone)
        return err;
    // The acknowledgement goes into its own record: the caller's value stays.
    uei ack;
    ack.module = address;
    ack.command = m_impl->command;
    ack.option = uint8_t(option | vUEI_OPTION_GET | vUEI_OPTION_SET);
    ack.specifier = m_impl->index;
    err = link->receiveUEI(address, ack.command, ack.option, ack.specifier, &ack);
    if (err == vErrNone && (ack.specifier & vUEI_SPEC_ERROR))
        return vError_FromDevice(ack.v.byteVal);
    return err;
}

vErr EntityClass::setUEI(uint8_t option, uei *value)
{
    return _set(option, false, 0, value);
}

vErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei *value)
{
    return _set(option, true, subindex, value);
}

vErr EntityClass::callUEI(uint8_t option)
{
    uei value;
    return _set(option, false, 0, &value);
}

vErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei u;
    u.type = ueiTypeByte;
    u.v.byteVal = value;
    return _set(option, false, 0, &u);
}

vErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei u;
    u.type = ueiTypeByte;
    u.v.byteVal = value;
    return _set(option, true, subindex, &u);
}

vErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei u;
    u.type = ueiTypeShort;
    u.v.shortVal = value;
    return _set(option, false, 0, &u);
}

vErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    uei u;
    u.type = ueiTypeShort;
    u.v.shortVal = value;
    return _set(option, true, subindex, &u);
}

vErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei u;
    u.type = ueiTypeInt;
    u.v.intVal = value;
    return _set(option, false, 0, &u);
}

vErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei u;
    u.type = ueiTypeInt;
    u.v.intVal = value;
    return _set(option, true, subindex, &u);
}

vErr EntityClass::setUEIBytes(uint8_t option, const uint8_t *data, uint32_t length)
{
    if (!data && length)
        return vErrParam;
    uei u;
    u.type = ueiTypeBytes;
    u.v.bytes.data = const_cast<uint8_t *>(data);
    u.v.bytes.length = length;
    return _set(option, false, 0, &u);
}

// A typed get: a device reply of another width than asked for is refused
// with vErrSize rather than handed on as a value it is not.
vErr EntityClass::_getValue(uint8_t option, bool withSubindex, uint8_t subindex, ueiType want, uint32_t *value)
{
    uei u;
    if (withSubindex) {
        u.type = ueiTypeByte;
        u.v.byteVal = subindex;
    }
    bool fromStream = false;
    vErr err = sGetUEI(m_impl, option, &u, &fromStream);
    if (err != vErrNone && err != vErrStreamStale)
        return err;
    if (!fromStream && u.type != want)
        return vErrSize;
    *value = sValueOf(u);
    return err;
}

vErr EntityClass::getUEI8(uint8_t option, uint8_t *value)
{
    if (!value)
        return vErrParam;
    uint32_t v = 0;
    vErr err = _getValue(option, false, 0, ueiTypeByte, &v);
    if (err == vErrNone || err == vErrStreamStale)
        *value = uint8_t(v);
    return err;
}

vErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t *value)
{
    if (!value)
        return vErrParam;
    uint32_t v = 0;
    vErr err = _getValue(option, true, subindex, ueiTypeByte, &v);
    if (err == vErrNone || err == vErrStreamStale)
        *value = uint8_t(v);
    return err;
}

vErr EntityClass::getUEI16(uint8_t option, uint16_t *value)
{
    if (!value)
        return vErrParam;
    uint32_t v = 0;
    vErr err = _getValue(option, false, 0, ueiTypeShort, &v);
    if (err == vErrNone || err == vErrStreamStale)
        *value = uint16_t(v);
    return err;
}

vErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t *value)
{
    if (!value)
        return vErrParam;
    uint32_t v = 0;
    vErr err = _getValue(option, true, subindex, ueiTypeShort, &v);
    if (err == vErrNone || err == vErrStreamStale)
        *value = uint16_t(v);
    return err;
}

vErr EntityClass::getUEI32(uint8_t option, uint32_t *value)
{
    if (!value)
        return vErrParam;
    uint32_t v = 0;
    vErr err = _getValue(option, false, 0, ueiTypeInt, &v);
    if (err == vErrNone || err == vErrStreamStale)
        *value = v;
    return err;
}

vErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t *value)
{
    if (!value)
        return vErrParam;
    uint32_t v = 0;
    vErr err = _getValue(option, true, subindex, ueiTypeInt, &v);
    if (err == vErrNone || err == vErrStreamStale)
        *value = v;
    return err;
}

vErr EntityClass::getUEIBytes(uint8_t option, uint8_t *buffer, uint32_t capacity, uint32_t *count)
{
    if (!buffer || !count || capacity == 0)
        return vErrParam;
    *count = 0;
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    uint8_t address = m_impl->module->getModuleAddress();
    uei request;
    request.module = address;
    request.command = m_impl->command;
    request.option = uint8_t(option | vUEI_OPTION_GET);
    request.specifier = uint8_t(m_impl->index | vUEI_SPEC_REQUEST);
    vErr err = link->sendUEI(request);
    if (err != vErrNone)
        return err;
    BytesContext c;
    c.u.module = address;
    c.u.command = m_impl->command;
    c.u.option = option;
    c.u.specifier = m_impl->index;
    c.u.type = ueiTypeBytes;
    c.u.v.bytes.data = buffer;
    c.u.v.bytes.length = capacity;
    c.module = address;
    c.command = m_impl->command;
    c.option = option;
    c.index = m_impl->index;
    c.write = buffer;
    c.sequence = 0;
    c.more = false;
    c.capacity = capacity;
    c.count = 0;
    c.error = false;
    c.code = vErrNone;
    for (;;) {
        err = link->receiveUEI(address, c.command, option, c.index, &c.u, sUEIBytesFilter);
        if (err != vErrNone)
            return err;
        *count = c.count;
        if (c.error)
            return c.code;
        if (!c.more)
            return vErrNone;
        c.sequence = uint8_t((c.sequence + 1) & vUEI_BYTES_SEQUENCE_MASK);
    }
}

vErr EntityClass::getUEIBytesCheck(uint32_t *count, uint32_t unit)
{
    if (!count || unit == 0)
        return vErrParam;
    if (*count % unit != 0)
        return vErrMemory;
    *count /= unit;
    return vErrNone;
}

vErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t *value, uint32_t)
{
    if (!value)
        return vErrParam;
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    uei u;
    u.module = m_impl->module->getModuleAddress();
    u.command = m_impl->command;
    u.option = option;
    u.specifier = m_impl->index;
    vErr err = link->receiveUEI(u.module, u.command, u.option, u.specifier, &u);
    if (err != vErrNone)
        return err;
    if (u.specifier & vUEI_SPEC_ERROR)
        return vError_FromDevice(u.v.byteVal);
    *value = sValueOf(u);
    return vErrNone;
}

vErr EntityClass::drainUEI(uint8_t option)
{
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option, m_impl->index);
}

vErr EntityClass::setStreamEnabled(bool enable)
{
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    return link->enableStream(m_impl->module->getModuleAddress(), m_impl->command, kAnyOption, m_impl->index,
                              enable);
}

vErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void *context)
{
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    return link->registerStreamCallback(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index, enable, std::move(callback), context);
}

vErr EntityClass::getStreamStatus(Link::StreamStatusEntry *entries, size_t capacity, size_t *count)
{
    Link *link = m_impl->link();
    if (!link)
        return vErrResource;
    return link->getStreamStatus(m_impl->module->getModuleAddress(), m_impl->command, kAnyOption, m_impl->index,
                                 kAnyOption, entries, capacity, count);
}

vErr EntityClass::_storeOperation(uint8_t option)
{
    if (!m_impl->link())
        return vErrResource;
    EntityClass store;
    store.init(m_impl->module, kStoreCommand, 0);
    return store.setUEI32(option, uint32_t(m_impl->command) << 8 | m_impl->index);
}

vErr EntityClass::saveEntityToStore()
{
    return _storeOperation(0);
}

vErr EntityClass::resetEntityToFactoryDefaults()
{
    return _storeOperation(1);
}

vErr EntityClass::loadEntityFromStore()
{
    return _storeOperation(2);
}

// --- SystemClass -------------------------------------------------------------

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
constexpr uint8_t kI2CCommand = 8;
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

// --- I2CClass ----------------------------------------------------------------

void I2CClass::init(Module *module, uint8_t index)
{
    EntityClass::init(module, kI2CCommand, index);
}

vErr I2CClass::_exchange(const uint8_t *request, uint8_t requestLength, const uint8_t *match, uint8_t *reply,
                         uint8_t *replyLength)
{
    vErr err = sendPacket(kI2CCommand, requestLength, request);
    if (err != vErrNone)
        return err;
    err = receivePacket(match, replyLength, reply);
    if (err != vErrNone)
        return err;
    if (*replyLength <= 4)
        return vErrPacket;
    if (reply[4] & 0x80)
        return vError_FromDevice(reply[4] & 0x7F);
    return vErrNone;
}

vErr I2CClass::read(uint8_t busAddress, uint8_t length, uint8_t *buffer)
{
    if (length > 23)
        return vErrSize;
    if (!buffer && length)
        return vErrParam;
    uint8_t bus = uint8_t(busAddress | 1);
    const uint8_t request[4] = {getIndex(), bus, length, m_speed};
    const uint8_t match[3] = {kI2CCommand, getIndex(), bus};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 3;
    vErr err = _exchange(request, 4, match, reply, &replyLength);
    if (err != vErrNone)
        return err;
    // Never more than asked for, nor more than the reply holds.
    uint8_t count = reply[3];
    if (count > length)
        count = length;
    if (count > replyLength - 5)
        count = uint8_t(replyLength - 5);
    if (count)
        std::memcpy(buffer, &reply[5], count);
    return vErrNone;
}

vErr I2CClass::write(uint8_t busAddress, uint8_t length, const uint8_t *data)
{
    if (length > 23)
        return vErrSize;
    if (!data && length)
        return vErrParam;
    uint8_t request[vPACKET_MAX_DATA] = {getIndex(), busAddress, length, m_speed};
    if (length)
        std::memcpy(&request[4], data, length);
    const uint8_t match[4] = {kI2CCommand, getIndex(), busAddress, 0};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 4;
    return _exchange(request, uint8_t(4 + length), match, reply, &replyLength);
}

vErr I2CClass::setPullup(bool on)
{
    const uint8_t request[3] = {getIndex(), 1, uint8_t(on ? 1 : 0)};
    const uint8_t match[3] = {kI2CCommand, getIndex(), 1};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 3;
    return _exchange(request, 3, match, reply, &replyLength);
}

vErr I2CClass::setSpeed(uint8_t speed)
{
    if (speed > 3)
        return vErrParam;
    m_speed = speed;
    return vErrNone;
}

uint8_t I2CClass::getSpeed() const
{
    return m_speed;
}

} // namespace Corvantis
} // namespace Velquire
