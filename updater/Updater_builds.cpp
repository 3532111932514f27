// Build lists, downloads into the store and device tokens.
#include "updater/Updater.h"

BuildList Updater::Get_BuildList(uint32_t)
{
    _not_supported("Get_BuildList");
    return {};
}

BuildList Updater::Get_BuildListLocal(uint32_t)
{
    _not_supported("Get_BuildListLocal");
    return {};
}

std::string Updater::Get_JWT(uint32_t)
{
    _not_supported("Get_JWT");
    return {};
}

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool)
{
    _not_supported("Download_Firmware");
    return 0;
}

uint32_t Updater::Download_Firmware(Fingerprint, std::string, bool)
{
    _not_supported("Download_Firmware");
    return 0;
}
