// The updater program: parses the command line, prints the version line
// (and the usage when asked or when there is nothing to do), makes sure the
// store directory exists and runs the requested commands (Commands.cpp).
#include "app/CLI_Display.h"
#include "app/Commands.h"
#include "app/Output.h"
#include "app/Parameters.h"
#include "common/Log.h"
#include "common/vDirectory.h"
#include "store/path.h"
#include "updater/Updater.h"

#include <cstdio>
#include <vector>

namespace {

const size_t HOME_CAPACITY = 2048;

// The root of the store: "-i DIR" or the home directory's ".velquire", then
// "updater" in both cases. False when there is no home directory.
bool _store_root(Parameters &params)
{
    if (params.store_directory.empty()) {
        std::vector<char> home(HOME_CAPACITY, '\0');
        vErr err = vDirectory_GetHomeDirectory(home.data(), home.size());
        if (err != vErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedvDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        params.store_directory = BuildPath(home.data(), ".velquire", nullptr);
    }
    params.store_directory = BuildPath(params.store_directory.c_str(), "updater", nullptr);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        return 1;
    }
    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
        _display_copyright(display);
        _display_usage(params.debug_mask_given, params.help_requested);
        return 0;
    }

    if (!_store_root(params))
        return 1;
    if (vDirectory_Ensure(params.store_directory.c_str(), 0755) != vErrNone) {
        display.message(UpdaterDisplayInterface::error, "Could not find updater directory at %s",
                        params.store_directory.c_str());
        return 1;
    }

    Updater updater(params.server_url, params.store_directory, display);
    return _run_commands(updater, params, display);
}
