// Client side of the on-device loader protocol: the upgrade command (0x5F)
// that places a loader in the device's RAM, starts it, streams firmware to
// it block by block with checksums and writes, and reboots the device.
#pragma once

#include "common/vPacket.h"
#include "device/Entity.h"
#include "device/Module.h"

#include <cstdint>

class UpdaterDisplayInterface;

namespace UpgradeProtocol {
const uint8_t val_UPGRADE_INIT = 0;
const uint8_t val_UPGRADE_DATA = 1;
const uint8_t val_UPGRADE_LOAD = 2;
const uint8_t val_UPGRADE_PREPARE = 3;
const uint8_t val_UPGRADE_SUM = 4;
const uint8_t val_UPGRADE_WRITE = 5;
const uint8_t val_UPGRADE_REBOOT = 6;
const uint8_t val_UPGRADE_STATUS = 7;
const uint8_t val_UPGRADE_DATA_UEI = 10;
// Data bytes one DATA packet carries (28 minus the two command bytes).
const uint32_t DATA_PACKET_BYTES = 26;
// A DATA packet answered with a wrong count is sent again at most this often.
const int DATA_RESENDS = 10;
// How long LoaderReboot waits for the device to drop its link.
const uint32_t REBOOT_WAIT_MS = 30000;
// One spinner round of that wait; a round ends early when the link drops.
const uint32_t REBOOT_POLL_MS = 250;
// How often a round looks at the link.
const uint32_t REBOOT_SLICE_MS = 10;
} // namespace UpgradeProtocol

class UpdaterEntity : public Velquire::Corvantis::EntityClass
{
public:
    UpdaterEntity();
    ~UpdaterEntity() override;

    void init(Velquire::Corvantis::Module *module, uint8_t index, bool validate, bool skip_drop_wait);

    vErr LoaderInit();
    vErr TransferPrepare(const uint8_t *block, uint32_t length, uint8_t flags, uint16_t &block_size);
    vErr LoaderStart();
    vErr CheckUEIDataSupport();
    vErr CheckPooledPacketsSupport();
    vErr LoaderTransfer(const uint8_t *block, uint32_t length);
    vErr FirmwareTransfer(const uint8_t *block, uint32_t length, uint16_t block_size,
                          UpdaterDisplayInterface &display);
    vErr FirmwareWrite(uint32_t count);
    vErr LoaderReboot(UpdaterDisplayInterface &display);

    bool Uses_UEI_Data() const { return uei_data; }

private:
    vErr _reconnect(uint32_t delay_ms);
    vErr _block_transfer(const uint8_t *data, uint32_t length, uint32_t &blocks);
    vErr _block_transfer_uei_helper(const uint8_t *data, uint32_t length, uint32_t &blocks, uint32_t &sum);
    // Waits up to ms for the module's link to drop; true when it has.
    bool _await_drop(uint32_t ms);
    // Sends cmdUPGRADE, sub and the extra bytes.
    vErr _send(uint8_t sub, const uint8_t *extra, uint8_t extra_length);
    // Awaits the first reply that starts with cmdUPGRADE, sub.
    vErr _await(uint8_t sub, uint8_t &length, uint8_t *reply);

    Velquire::Corvantis::Module *module = nullptr;
    bool validate = true;
    bool skip_drop_wait = false;
    bool uei_data = false;
};
