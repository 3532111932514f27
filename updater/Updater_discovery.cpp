// Finding devices on USB, on TCP/IP and behind a router.
#include "updater/Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType)
{
    _not_supported("Discover_Devices");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(uint32_t, linkType)
{
    _not_supported("Discover_CVNetwork_Devices");
    return {};
}
