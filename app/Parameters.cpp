#include "app/Parameters.h"

#include "app/OptionParser.h"
#include "common/Log.h"
#include "common/vDirectory.h"
#include "updater/UpdaterDisplayInterface.h"
#include "updateserver/UpdateServerRequest.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

enum {
    OPT_HELP = 0,
    OPT_COMMAND = 1,
    OPT_PARAMETER = 2,
    OPT_HTTPS = 3,
    OPT_HTTP = 4,
};

const OptionSpec OPTIONS[] = {
    {OPT_COMMAND, "-B", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-L", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-D", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-G", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-I", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-U", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-OVERRIDE", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-N", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-Y", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-C", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-J", OPTION_NO_ARGUMENT},
    {OPT_HELP, "-h", OPTION_NO_ARGUMENT},
    {OPT_HELP, "-H", OPTION_NO_ARGUMENT},
    {OPT_PARAMETER, "-n", OPTION_NO_ARGUMENT},
    {OPT_PARAMETER, "-X", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-Z", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-m", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-i", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-b", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-d", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-t", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-f", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-r", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-s", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-o", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-e", OPTION_NO_ARGUMENT},
    {OPT_PARAMETER, "-l", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-k", OPTION_REQUIRED_ARGUMENT},
    {OPT_PARAMETER, "-u", OPTION_REQUIRED_ARGUMENT},
    {OPT_HELP, "--help", OPTION_NO_ARGUMENT},
    {OPT_HTTP, "--http", OPTION_NO_ARGUMENT},
    {OPT_HTTPS, "--https", OPTION_NO_ARGUMENT},
    {-1, nullptr, OPTION_NO_ARGUMENT},
};

const size_t HOME_CAPACITY = 2048;

bool _all_of(const char *text, const char *allowed)
{
    return strspn(text, allowed) == strlen(text);
}

// strtoul limited to 32 bits on every host: a value that does not fit is
// not a number at all, rather than being cut to its low bits.
uint32_t _to_u32(const char *text, char **end, int base)
{
    errno = 0;
    unsigned long value = strtoul(text, end, base);
    if (errno == ERANGE || value > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(value);
}

bool _has_hex_prefix(const char *text)
{
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// "-d" and "-r": an optional "0x" prefix, then hexadecimal digits, never 0.
bool _parse_serial(const char *argument, const char *prefix_note, const char *error_text,
                   uint32_t &serial, UpdaterDisplayInterface &display)
{
    if (_has_hex_prefix(argument)) {
        Log::log(DEBUG_Updater, "%s", prefix_note);
        argument += 2;
    }
    char *end = nullptr;
    serial = _get_hex_arg(argument, &end);
    if (serial != 0)
        return true;
    display.message(UpdaterDisplayInterface::error, error_text, argument);
    return false;
}

void _parse_debug_mask(const char *option, const char *argument, Parameters *params,
                       UpdaterDisplayInterface &display)
{
    params->debug_mask_given = true;
    char *end = nullptr;
    unsigned long value = strtoul(argument, &end, _has_hex_prefix(argument) ? 16 : 10);
    // Masks are 32 bits: anything larger keeps every bit set.
    params->debug_mask = value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
    if (end && *end) {
        display.message(UpdaterDisplayInterface::error,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option, end);
        return;
    }
    Log::ActivatePackage(params->debug_mask);
}

// Returns false when the option makes the command line invalid.
bool _apply_parameter(const char *option, const char *argument, Parameters *params,
                      int &server_choices, UpdaterDisplayInterface &display)
{
    char *end = nullptr;
    switch (option[1]) {
    case 'X':
        _parse_debug_mask(option, argument, params, display);
        return true;
    case 'Z':
        params->commands.Set(CMD_Z);
        return true;
    case 'm':
        params->use_uei_bytes = argument[0] == '1' || strncmp(argument, "true", 4) == 0;
        return true;
    case 'i':
        params->store_directory = argument;
        return true;
    case 'f':
        params->bird_file = argument;
        return true;
    case 'l':
        params->log_message = argument;
        return true;
    case 'k':
        params->log_file = argument;
        return true;
    case 's':
        params->serial_port = argument;
        return true;
    case 'u':
        params->server_url = argument;
        ++server_choices;
        return true;
    case 'b':
        params->build = std::to_string(_get_int_arg(argument, &end));
        return true;
    case 'd':
        return _parse_serial(argument, "Discarding '0x' serial number prefix\n",
                             "Invalid serial number obtained from argument [%s]", params->serial_number, display);
    case 'r':
        return _parse_serial(argument, "Discarding '0x' router serial number prefix\n",
                             "Invalid router serial number obtained from argument [%s]", params->router_serial,
                             display);
    case 'o':
        params->baud_rate = _get_int_arg(argument, &end);
        return true;
    case 't':
        params->transport_given = true;
        if (strncmp(argument, "USB", 3) == 0) {
            params->transport = 1;
        } else if (strncmp(argument, "TCP", 3) == 0) {
            params->transport = 2;
        } else if (strncmp(argument, "RECOVER", 7) == 0) {
            params->transport = TRANSPORT_RECOVER;
        } else {
            display.message(UpdaterDisplayInterface::error,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                            argument);
            params->transport = 0;
            return false;
        }
        return true;
    case 'e':
        params->echo_bytes = true;
        return true;
    case 'n':
        params->flag_n = true;
        return true;
    }
    return true;
}

// Returns false for a command letter the program does not handle.
bool _apply_command(const char *option, Parameters *params, UpdaterDisplayInterface &display)
{
    switch (option[1]) {
    case 'B':
        params->commands.Set(CMD_BUILD_LIST);
        return true;
    case 'C':
        params->commands.Set(CMD_CHECK_BIRD);
        return true;
    case 'D':
        params->commands.Set(CMD_DISCOVER);
        return true;
    case 'G':
        params->commands.Set(CMD_GET_BUILD);
        return true;
    case 'I':
        params->commands.Set(CMD_INFO);
        return true;
    case 'J':
        params->commands.Set(CMD_GET_JWT);
        return true;
    case 'L':
        params->commands.Set(CMD_LOCAL_BUILD_LIST);
        return true;
    case 'N':
        params->commands.Set(CMD_FINGERPRINT);
        return true;
    case 'U':
        params->commands.Set(CMD_UPDATE);
        return true;
    case 'O':
        params->override_model_check = true;
        return true;
    }
    display.message(UpdaterDisplayInterface::error, "Unhandled command: [%s]", option);
    return false;
}

std::string _app_name(const char *argv0)
{
    if (!argv0)
        return std::string();
    const char *name = argv0;
    for (const char *p = argv0; *p; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

} // namespace

uint32_t _get_hex_arg(const char *text, char **end)
{
    if (!end || !text || !_all_of(text, "0123456789ABCDEFabcdef"))
        return 0;
    return _to_u32(text, end, 16);
}

uint32_t _get_int_arg(const char *text, char **end)
{
    if (!end || !text || !_all_of(text, "0123456789"))
        return 0;
    return _to_u32(text, end, 10);
}

int _get_params(UpdaterDisplayInterface &display, int argc, char **argv, Parameters *params)
{
    *params = Parameters();
    params->server_url = UpdateServerRequest::DEFAULT_URL;
    params->app_name = _app_name(argc > 0 ? argv[0] : nullptr);

    std::vector<char> home(HOME_CAPACITY, '\0');
    params->home_directory.reserve(HOME_CAPACITY);
    if (vDirectory_GetHomeDirectory(home.data(), home.size()) == vErrNone)
        params->home_directory = home.data();
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params->home_directory.c_str());

    bool invalid = false;
    int server_choices = 0;
    OptionParser parser(argc, argv, OPTIONS);
    ParsedOption option;
    while (parser.Next(option)) {
        if (option.status != OPTION_OK)
            continue;
        switch (option.id) {
        case OPT_HELP:
            params->commands.Set(CMD_HELP);
            params->help_requested = true;
            return 0;
        case OPT_HTTPS:
            params->server_url = UpdateServerRequest::DEFAULT_URL_HTTPS;
            ++server_choices;
            break;
        case OPT_HTTP:
            params->server_url = UpdateServerRequest::DEFAULT_URL;
            ++server_choices;
            break;
        case OPT_COMMAND:
            if (!_apply_command(option.text, params, display))
                invalid = true;
            break;
        case OPT_PARAMETER:
            if (!_apply_parameter(option.text, option.argument ? option.argument : "", params, server_choices,
                                  display))
                invalid = true;
            break;
        }
    }
    if (server_choices > 1) {
        display.message(UpdaterDisplayInterface::error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
        invalid = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");

    if (invalid)
        return 1;
    return _validate_params(params);
}

int _validate_params(Parameters *)
{
    return 0;
}

int _release_params(Parameters *params)
{
    if (params && params->owned_buffer) {
        free(params->owned_buffer);
        params->owned_buffer = nullptr;
    }
    return 0;
}
