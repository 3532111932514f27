// Bringing one device to a chosen firmware build.
#include "updater/Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool)
{
    _not_supported("Update_Firmware");
    return false;
}

void Updater::Set_UEIBytes_Load(bool enable)
{
    use_uei_bytes = enable;
}
