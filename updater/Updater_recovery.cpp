// Chip fingerprints and recovery of devices whose firmware no longer runs.
#include "updater/Updater.h"

bool Updater::Get_Fingerprint(Fingerprint &, std::string, uint32_t, std::string, uint32_t, bool)
{
    chip_kind = 0; // no chip answered
    _not_supported("Get_Fingerprint");
    return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool)
{
    _not_supported("Recover_Firmware");
    return false;
}
