// The command line of the program: the requested commands, the parameter
// record, and the parser that fills it.
#pragma once

#include <cstdint>
#include <string>

class UpdaterDisplayInterface;

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_BUILD_LIST = 0x00000004,
    CMD_GET_BUILD = 0x00000008,
    CMD_INFO = 0x00000010,
    CMD_CHECK_BIRD = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_Z = 0x00000080,
    CMD_GET_JWT = 0x00000100,
    CMD_LOCAL_BUILD_LIST = 0x00000200,
    CMD_HELP = 0x80000000,
};

// Every bit that counts as a command; 0x400, 0x10000 and 0x20000 are
// reserved and set by no option.
const uint32_t CMD_ANY_COMMAND = 0x000307FF;

class CommandsClass
{
public:
    void Set(uint32_t command) { bits |= command; }
    // True when any bit of the argument is set.
    bool IsSet(uint32_t commands) const { return (bits & commands) != 0; }

private:
    uint32_t bits = 0;
};

// Transport value of "-t RECOVER"; the others are link types (1 USB, 2 TCPIP).
const uint32_t TRANSPORT_RECOVER = 255;

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial = 0;
    uint32_t transport = 1;
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0;
    std::string bird_file;
    std::string log_message;
    std::string build;
    bool echo_bytes = false;
    std::string server_url;
    bool flag_n = false;
    std::string store_directory;
    std::string app_name;
    std::string home_directory;
    std::string log_mode = "a+";
    std::string log_file = "Updater.log";
    // Reserved; owned_buffer is released by _release_params when set.
    uint32_t reserved[5] = {0, 0, 0, 0, 0};
    char *owned_buffer = nullptr;
    bool override_model_check = false;
    bool use_uei_bytes = true;
    uint32_t debug_mask = 0;
    bool debug_mask_given = false;
    bool help_requested = false;
};

// The default update server host and the two URLs built from it.
extern const char *const UPDATE_HOST;
extern const char *const UPDATE_URL_HTTP;
extern const char *const UPDATE_URL_HTTPS;

// Fills params from the command line (argv words may be reordered: words that
// are not options end up behind the options). Messages go to the display at
// level error. Returns 0 when the command line is acceptable, 1 otherwise;
// it never ends the process.
int _get_params(UpdaterDisplayInterface &display, int argc, char **argv, Parameters *params);
// Cross-checks of the parsed parameters; none in this version.
int _validate_params(Parameters *params);
// Frees what the record owns; returns 0.
int _release_params(Parameters *params);

// Base-16 / base-10 conversion of text made only of digits of that base;
// any other text gives 0 and leaves *end untouched, and a null end gives 0.
// An empty text gives 0. A value that does not fit 32 bits gives 0 too.
uint32_t _get_hex_arg(const char *text, char **end);
uint32_t _get_int_arg(const char *text, char **end);
