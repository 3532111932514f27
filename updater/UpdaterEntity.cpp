#include "updater/UpdaterEntity.h"

#include "common/Log.h"
#include "common/vError.h"
#include "common/vPacket.h"
#include "common/vTime.h"
#include "common/vUEI.h"
#include "updater/Updater.h"
#include "updater/UpdaterDisplayInterface.h"

#include <algorithm>
#include <cstring>

using namespace UpgradeProtocol;
using Velquire::Corvantis::Link;
using Velquire::Corvantis::Module;
using Velquire::Corvantis::SystemClass;
using Velquire::Corvantis::uei;
using Velquire::Corvantis::ueiTypeBytes;

namespace {

const int RECONNECT_ATTEMPTS = 5;
const uint8_t STATUS_OK = 0;
const uint32_t POOLED_PACKETS_FEATURE = 0x80000000u;

} // namespace

UpdaterEntity::UpdaterEntity() = default;

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module *m, uint8_t index, bool v, bool skip)
{
    module = m;
    validate = v;
    skip_drop_wait = skip;
    uei_data = false;
    EntityClass::init(m, cmdUPGRADE, index);
}

vErr UpdaterEntity::_send(uint8_t sub, const uint8_t *extra, uint8_t extra_length)
{
    uint8_t data[vPACKET_MAX_DATA];
    data[0] = sub;
    if (extra_length)
        std::memcpy(data + 1, extra, extra_length);
    return sendPacket(cmdUPGRADE, uint8_t(extra_length + 1), data);
}

vErr UpdaterEntity::_await(uint8_t sub, uint8_t &length, uint8_t *reply)
{
    const uint8_t match[2] = {cmdUPGRADE, sub};
    length = 2;
    return receivePacket(match, &length, reply);
}

vErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    vErr err = _send(val_UPGRADE_INIT, nullptr, 0);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[vPACKET_MAX_DATA] = {};
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, length, reply);
    if (err != vErrNone)
        return err;
    if (length < 6)
        return vErrPacket;
    uint32_t base = vUEI_RetrieveInt(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return vErrNone;
}

vErr UpdaterEntity::TransferPrepare(const uint8_t *block, uint32_t length, uint8_t flags, uint16_t &block_size)
{
    if (!block || length < 4)
        return vErrParam;
    uint32_t address = vUEI_RetrieveInt(block);
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags, block_size);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(address));
    const uint8_t extra[5] = {flags, block[0], block[1], block[2], block[3]};
    vErr err = _send(val_UPGRADE_PREPARE, extra, sizeof extra);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[vPACKET_MAX_DATA] = {};
    uint8_t reply_length = 0;
    err = _await(val_UPGRADE_STATUS, reply_length, reply);
    if (err != vErrNone)
        return err;
    if (reply_length < 5 || reply[2] != STATUS_OK) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return vErrInvalidOption;
    }
    block_size = vUEI_RetrieveShort(&reply[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", block_size);
    return vErrNone;
}

vErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t *data, uint32_t length, uint32_t &blocks, uint32_t &sum)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", int(length));
    uei value;
    value.type = ueiTypeBytes;
    value.v.bytes.data = const_cast<uint8_t *>(data);
    value.v.bytes.length = length;
    vErr err = setUEI(val_UPGRADE_DATA_UEI, &value);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        return err;
    }
    for (uint32_t i = 0; i < length; i++)
        sum += data[i];
    blocks = 1;
    return vErrNone;
}

vErr UpdaterEntity::_block_transfer(const uint8_t *data, uint32_t length, uint32_t &blocks)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t remaining = length;
    vErr err = vErrNone;
    if (uei_data) {
        err = _block_transfer_uei_helper(data, length, blocks, sum);
        if (err == vErrNone) {
            remaining = 0;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
        }
    } else {
        int resends = 0;
        while (remaining > 0 && err == vErrNone) {
            const uint8_t *cursor = data + (length - remaining);
            uint8_t n = uint8_t(std::min(DATA_PACKET_BYTES, remaining));
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
            err = _send(val_UPGRADE_DATA, cursor, n);
            if (err != vErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
                return err;
            }
            uint8_t reply[vPACKET_MAX_DATA] = {};
            uint8_t reply_length = 0;
            if (_await(val_UPGRADE_DATA, reply_length, reply) != vErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = vErrPacket;
                break;
            }
            uint8_t count = reply_length >= 3 ? reply[2] : 0;
            if (count != n) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count, n);
                // A device that keeps miscounting would hold the run forever.
                if (++resends > DATA_RESENDS) {
                    err = vErrPacket;
                    break;
                }
                continue;
            }
            resends = 0;
            for (uint8_t i = 0; i < n; i++)
                sum += cursor[i];
            remaining -= n;
            blocks++;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
                     int(remaining), int(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(length - remaining), int(length));
    if (err != vErrNone || !validate)
        return err;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    _send(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[vPACKET_MAX_DATA] = {};
    uint8_t reply_length = 0;
    if (_await(val_UPGRADE_STATUS, reply_length, reply) != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return vErrPacket;
    }
    uint8_t status = reply_length >= 3 ? reply[2] : 0xFF;
    uint32_t device_sum = reply_length >= 7 ? vUEI_RetrieveInt(reply + 3) : 0;
    if (reply_length >= 7 && status == STATUS_OK && device_sum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 device_sum, int(blocks));
        return vErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, device_sum);
    return vErrInvalidOption;
}

vErr UpdaterEntity::LoaderTransfer(const uint8_t *block, uint32_t length)
{
    if (!block || length < 4)
        return vErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", vUEI_RetrieveInt(block), int(length));
    uint32_t blocks = 0;
    return _block_transfer(block + 4, length - 4, blocks);
}

vErr UpdaterEntity::FirmwareTransfer(const uint8_t *block, uint32_t length, uint16_t block_size,
                                     UpdaterDisplayInterface &display)
{
    if (!block || length < 4)
        return vErrParam;
    uint32_t remaining = length - 4;
    const uint8_t *cursor = block + 4;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", vUEI_RetrieveInt(block), int(remaining));
    display.display_progress(true);
    vErr err = vErrNone;
    // A device that asks for pieces of 0 bytes would never let the block finish.
    if (block_size == 0 && remaining > 0)
        err = vErrSize;
    while (remaining > 0 && err == vErrNone) {
        uint32_t n = std::min<uint32_t>(block_size, remaining);
        uint32_t blocks = 0;
        err = _block_transfer(cursor, n, blocks);
        if (err != vErrNone)
            break;
        cursor += n;
        remaining -= n;
        display.update_progress(double(length - remaining) / double(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(n),
                 int(remaining), int(length));
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - 4 - remaining),
             int(length - 4));
    if (err != vErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

vErr UpdaterEntity::FirmwareWrite(uint32_t count)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", int(count));
    const uint8_t extra[2] = {uint8_t(count >> 8), uint8_t(count)};
    vErr err = _send(val_UPGRADE_WRITE, extra, sizeof extra);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 vError_GetErrorText(unsigned(err)));
        return err;
    }
    uint8_t reply[vPACKET_MAX_DATA] = {};
    uint8_t length = 0;
    err = _await(val_UPGRADE_STATUS, length, reply);
    if (err != vErrNone || length < 3 || reply[2] != STATUS_OK) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return vErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return vErrNone;
}

vErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    vErr err = _send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[vPACKET_MAX_DATA] = {};
    uint8_t length = 0;
    if (_await(val_UPGRADE_LOAD, length, reply) == vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return vErrNone;
    }
    // The device may already have left the bus to run its loader.
    err = _reconnect(500);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 vError_GetErrorText(unsigned(err)));
        return vErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, length, reply);
    if (err == vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return vErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             vError_GetErrorText(unsigned(err)));
    return vErrTimeout;
}

vErr UpdaterEntity::_reconnect(uint32_t delay_ms)
{
    if (!module)
        return vErrInitialization;
    module->disconnect();
    vErr err = vErrConnection;
    for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; attempt++) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, RECONNECT_ATTEMPTS);
        err = module->reconnect();
        if (err == vErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return vErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delay_ms));
        vTime_MSSleep(delay_ms);
    }
    for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; attempt++) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
                 RECONNECT_ATTEMPTS);
        err = module->connect(linkTypeUSB, UNKNOWN_DEVICE_SERIAL);
        if (err == vErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return vErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", int(delay_ms));
        vTime_MSSleep(delay_ms);
    }
    return err;
}

vErr UpdaterEntity::CheckUEIDataSupport()
{
    if (!module)
        return vErrInitialization;
    vErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == vErrNone)
        uei_data = true;
    return err;
}

vErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (!module)
        return vErrInitialization;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    vErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features), err);
    if (err != vErrNone)
        return err;
    if ((features & POOLED_PACKETS_FEATURE) == 0)
        return vErrNone;
    Link *link = module->getLink();
    if (!link)
        return vErrConnection;
    return link->enablePooledPackets(true);
}

bool UpdaterEntity::_await_drop(uint32_t ms)
{
    // The link engine offers no event for a lost link: look in short slices.
    uint32_t start = vTime_GetMSTicks();
    for (;;) {
        if (!module->isConnected())
            return true;
        uint32_t elapsed = vTime_GetMSTicks() - start;
        if (elapsed >= ms)
            return false;
        vTime_MSSleep(std::min(REBOOT_SLICE_MS, ms - elapsed));
    }
}

vErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface &display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    vErr result = _send(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != vErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    // Bounded: a device that never restarts must not hold the program. Each
    // round ends early once the link is gone, so a quick restart costs no
    // more than it takes.
    uint32_t start = vTime_GetMSTicks();
    bool dropped = !module || !module->isConnected();
    while (!dropped) {
        if (vTime_GetMSTicks() - start >= REBOOT_WAIT_MS) {
            linkSpec spec{};
            module->getLinkSpecifier(&spec);
            display.update_spinner(false, "Verifying Update");
            display.message(UpdaterDisplayInterface::error, "Device [%08X] did not restart after the update",
                            spec.serialNumber);
            return result != vErrNone ? result : vErrTimeout;
        }
        dropped = _await_drop(REBOOT_POLL_MS);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (skip_drop_wait)
            break;
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}
