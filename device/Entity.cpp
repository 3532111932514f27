// EntityClass: one entity (command byte and index) of a module, and its
// options as UEIs over the module's link.
#include "device/Entity.h"

#include "common/vUEI.h"

#include <cstring>

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

} // namespace Corvantis
} // namespace Velquire
