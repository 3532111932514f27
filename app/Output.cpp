#include "app/Output.h"

#include "common/vDefs.h"
#include "updater/UpdaterDisplayInterface.h"
#include "updateserver/UpdateServerRequest.h"

#include <cstdio>

namespace {

const char *const APP_NAME = "Updater";
const char *const APP_VERSION = "Version: 2.12.4 ";

const char USAGE_SHORT[] = "\n"
                           "Application Usage:\n"
                           "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
                           "    [-d serial_num]\n"
                           "    [-t transport] [-r router_serial]\n"
                           "    [-s serial_port] [-o baud_rate]\n"
                           "\n"
                           "  Corvantis Update and Maintenance Application\n"
                           "    -H -h or --help for full usage information.\n"
                           "\n";

const char USAGE_PARAMETERS[] =
    "  Parameters to commands:\n"
    "     -i <velquire_directory>  - The Velquire directory used for storage of \n"
    "                                firmware files. [Default: ~/.velquire ].\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -L                       - list the local Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Velquire server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -J                       - Get a JWT containing the devices software features\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n"
    "     --http                   - Use HTTP for the update server (http://update.velquire.com/cgi/u).\n"
    "     --https                  - Use HTTPS for the update server (https://update.velquire.com/cgi/u).\n"
    "                                Recommended; HTTPS will be the default in the next major version.\n";

const char USAGE_EXTENDED[] = "  Extended Parameters:\n"
                              "     -e                       - echoing of bytes enabled during recovery.\n"
                              "\n"
                              "     -m                       - Attemps to use UEIBytes for faster loading\n"
                              "     -l 'log message'         - message to place in device history log\n"
                              "     -k <filename>            - log messages written into given filename\n"
                              "                                Default:[APP.log]\n"
                              "     -u <host:port>           - The hostname and port of the update server\n"
                              "                                Default: update.velquire.com:port\n"
                              "  Extended Commands:\n"
                              "     -I                       - View stored device information.\n"
                              "                                Must either use DISCOVER command [\"-D\"] or\n"
                              "                                specify a specific device [\"-d\" option].\n"
                              "\n"
                              "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
                              "                                This option should only be used when authorized by\n"
                              "                                Velquire development engineers.\n"
                              "\n"
                              "     -N                       - Get fingerprint from a device, requires -s\n"
                              "\n"
                              "     -X <BIT_MASK>            - Bitmask for Logging\n"
                              "                                DEBUG_Updater       0x00000001\n"
                              "                                DEBUG_History       0x00000002\n"
                              "                                DEBUG_Attributes    0x00000004\n"
                              "                                DEBUG_BirdFile      0x00000008\n"
                              "                                DEBUG_Network       0x00000010\n"
                              "                                DEBUG_ServerComm    0x00000020\n"
                              "\n"
                              "                                DEBUG_Network       0x00000100\n"
                              "                                DEBUG_Network_SR    0x00000200\n"
                              "                                DEBUG_Network_FIRM  0x00000400\n"
                              "\n"
                              "                                DEBUG_NXPSerial     0x00001000\n"
                              "                                DEBUG_NXPSerial_E   0x00002000\n"
                              "                                DEBUG_NXPSerial_SR  0x00004000\n"
                              "\n"
                              "                                DEBUG_APP           0x00010000\n"
                              "\n"
                              "                                DEBUG_iMXSerial     0x10000000\n"
                              "\n"
                              "     -C                       - Check the given BIRDFILE\n"
                              "\n";

const char USAGE_SAMPLES[] =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n"
    "                               Downloads the firmware file into the updater's specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface\n"
    "                               in communicating with the device to install the latest firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Corvantis network\n"
    "                               of the given routing device D272031D.\n"
    "\n"
    "-G -U -d 2181F0EE -r D272031D\n"
    "                               Get and Update to the latest firmware for device 2181F0EE\n"
    "                               indirectly through routing device D272031D.\n"
    "\n";

const char *_type_name(uint32_t type)
{
    switch (type) {
    case linkTypeUSB:
        return "USB";
    case linkTypeTCPIP:
        return "TCPIP";
    }
    return "Unknown";
}

} // namespace

std::string _format_compiler_date(const char *date)
{
    std::string text = date ? date : "";
    // The compiler pads a one-digit day with a space: "May  6 2026".
    if (text.size() > 4 && text[4] == ' ')
        text[4] = '0';
    return text;
}

const char *_build_date()
{
#ifdef UPDATER_BUILD_DATE
    return UPDATER_BUILD_DATE;
#else
    static const std::string date = _format_compiler_date(__DATE__);
    return date.c_str();
#endif
}

void _display_app_version(UpdaterDisplayInterface &display)
{
    std::string version = std::string(APP_VERSION) + _build_date();
    display.message(UpdaterDisplayInterface::info, "%s (%s)", APP_NAME, version.c_str());
}

void _display_copyright(UpdaterDisplayInterface &display)
{
    display.message(UpdaterDisplayInterface::info, "Copyright (c) 2026 Velquire. All rights reserved.");
}

void _display_usage(bool extended, bool full)
{
    fprintf(stderr, USAGE_SHORT, APP_NAME);
    if (!full)
        return;
    fputs(USAGE_PARAMETERS, stderr);
    if (extended)
        fputs(USAGE_EXTENDED, stderr);
    fputs(USAGE_SAMPLES, stderr);
}

void _display_device_list(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &devices, uint32_t type)
{
    display.message(UpdaterDisplayInterface::info, "Discovered Devices: (%s)", _type_name(type));
    if (devices.empty()) {
        display.message(UpdaterDisplayInterface::info, "    No devices found.");
        return;
    }
    if (type == linkTypeUSB)
        display.message(UpdaterDisplayInterface::info,
                        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(UpdaterDisplayInterface::info, "    Device    Module   Router  Model          Firmware "
                                                       "Version (Build)   [IP address]       Device Name");
    for (const DeviceInfo &device : devices) {
        const linkSpec &spec = device.spec;
        const char *model = vDefs_GetModelName(spec.modelNumber);
        if (spec.type == linkTypeTCPIP) {
            char address[24];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", spec.transport.raw[0], spec.transport.raw[1],
                     spec.transport.raw[2], spec.transport.raw[3]);
            display.message(UpdaterDisplayInterface::info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            spec.serialNumber, spec.moduleAddress, spec.routerAddress, model, device.major,
                            device.minor, static_cast<int>(device.patch), device.build, address,
                            device.device_name.c_str());
        } else if (device.error != 0) {
            display.message(UpdaterDisplayInterface::info,
                            "    %08X  [Error (%d): Device in use. Close all other Velquire associated applications.]",
                            spec.serialNumber, device.error);
        } else {
            display.message(UpdaterDisplayInterface::info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serialNumber, spec.moduleAddress, spec.routerAddress, model, device.major,
                            device.minor, static_cast<int>(device.patch), device.build, device.device_name.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface &display, const BuildList &builds, uint32_t serial)
{
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::info, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::info, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto &build : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(UpdaterDisplayInterface::info, "%-15.15s\t%-15.15s", build.first.c_str(),
                        build.second.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface &display, const Fingerprint &fingerprint)
{
    display.message(UpdaterDisplayInterface::info, "[ %08X %08X %08X %08X ]", fingerprint[0], fingerprint[1],
                    fingerprint[2], fingerprint[3]);
}

void _display_jwt(UpdaterDisplayInterface &display, const std::string &token)
{
    display.message(UpdaterDisplayInterface::info, "%s", token.c_str());
}
