// I2CClass: the I2C entity (command 8): reads and writes on the bus behind
// a module.
#include "device/Entity.h"

#include <cstring>

namespace Velquire {
namespace Corvantis {

namespace {
constexpr uint8_t kI2CCommand = 8;
} // namespace

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
