#include "app/Commands.h"

#include "app/CLI_Display.h"
#include "app/Output.h"
#include "updater/Updater.h"

#include <optional>
#include <string>
#include <vector>

namespace {

// A command either ends the run with an exit status or lets it go on.
using Outcome = std::optional<int>;

// A build text as a number; empty or non-numeric text gives 0 (the latest).
uint32_t _build_number(const std::string &build)
{
    char *end = nullptr;
    return _get_int_arg(build.c_str(), &end);
}

int _list_command(CLI_Display &display, const char *command_name)
{
    display.message(UpdaterDisplayInterface::error, "Error must supply a serial number for the %s command",
                    command_name);
    _display_usage(false, false);
    return 1;
}

// -N: a failed read sets the status and the run goes on.
Outcome _fingerprint(Updater &updater, const Parameters &params, CLI_Display &display, int &status)
{
    if (params.serial_port.empty()) {
        display.message(UpdaterDisplayInterface::error, "Must specify the serial port used for connecting");
        return 1;
    }
    Fingerprint fingerprint = {0, 0, 0, 0};
    if (updater.Get_Fingerprint(fingerprint, params.serial_port, UNKNOWN_DEVICE_SERIAL, params.bird_file,
                                params.baud_rate, true)) {
        _display_fingerprint(display, fingerprint);
    } else {
        display.message(UpdaterDisplayInterface::error, "Got no response from chip");
        status = 1;
    }
    return std::nullopt;
}

// -G: the build stored becomes the build an update in the same run sends.
Outcome _download(Updater &updater, Parameters &params, CLI_Display &display, int &status)
{
    if (params.serial_number == 0) {
        display.message(UpdaterDisplayInterface::error, "-G must specify a specific device via -d");
        display.message(UpdaterDisplayInterface::error, "--help for usage information");
        return 1;
    }
    display.message(UpdaterDisplayInterface::info, "Retrieving firmware for device with serial number %08X",
                    params.serial_number);
    if (params.build.empty()) {
        display.message(UpdaterDisplayInterface::info, "No build specified");
        display.message(UpdaterDisplayInterface::info, "Using Latest build");
    } else {
        display.message(UpdaterDisplayInterface::info, "Retrieving firmware build %s", params.build.c_str());
    }
    uint32_t build = updater.Download_Firmware(params.serial_number, params.build, params.override_model_check, false);
    if (build != 0) {
        params.build = std::to_string(build);
        status = 0;
    } else {
        status = 1;
    }
    return std::nullopt;
}

int _discover(Updater &updater, const Parameters &params, CLI_Display &display)
{
    uint32_t type =
        params.transport_given && params.transport != TRANSPORT_RECOVER ? params.transport : uint32_t(linkTypeNone);
    std::vector<DeviceInfo> devices;
    if (params.router_serial != 0) {
        display.message(UpdaterDisplayInterface::info, "Searching for Corvantis Network devices connected to %08X",
                        params.router_serial);
        devices = updater.Discover_CVNetwork_Devices(params.router_serial, static_cast<linkType>(type));
    } else {
        display.message(UpdaterDisplayInterface::info, "Searching for Corvantis devices");
        if (type == linkTypeNone)
            type = linkTypeUSB;
        devices = updater.Discover_Devices(static_cast<linkType>(type));
    }
    _display_device_list(display, devices, type);
    return 0;
}

// -U: an update, or a recovery with -t RECOVER.
int _update(Updater &updater, const Parameters &params, CLI_Display &display)
{
    uint32_t build = _build_number(params.build);
    updater.Set_UEIBytes_Load(params.use_uei_bytes);
    bool updated;
    if (params.transport == TRANSPORT_RECOVER) {
        updated = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                           params.bird_file, params.override_model_check);
    } else {
        if (params.serial_number == 0) {
            display.message(UpdaterDisplayInterface::error, "Must specify the specific device to be updated");
            return 1;
        }
        updated = updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                          params.router_serial, params.override_model_check);
    }
    return updated ? 0 : 1;
}

} // namespace

int _run_commands(Updater &updater, Parameters &params, CLI_Display &display)
{
    int status = 0;
    if (params.commands.IsSet(CMD_FINGERPRINT))
        if (Outcome end = _fingerprint(updater, params, display, status))
            return *end;
    if (params.commands.IsSet(CMD_GET_BUILD))
        if (Outcome end = _download(updater, params, display, status))
            return *end;

    if (params.commands.IsSet(CMD_DISCOVER))
        return _discover(updater, params, display);
    if (params.commands.IsSet(CMD_UPDATE))
        return _update(updater, params, display);
    if (params.commands.IsSet(CMD_BUILD_LIST)) {
        if (params.serial_number == 0)
            return _list_command(display, "List Builds");
        _display_builds(display, updater.Get_BuildList(params.serial_number), params.serial_number);
        return 0;
    }
    if (params.commands.IsSet(CMD_LOCAL_BUILD_LIST)) {
        if (params.serial_number == 0)
            return _list_command(display, "List Local Builds");
        _display_builds(display, updater.Get_BuildListLocal(params.serial_number), params.serial_number);
        return 0;
    }
    if (params.commands.IsSet(CMD_GET_JWT)) {
        if (params.serial_number == 0)
            return _list_command(display, "Get JWT");
        _display_jwt(display, updater.Get_JWT(params.serial_number));
        return 0;
    }
    _release_params(&params);
    return status;
}
