// Any command line gets a status (0 or 1) and messages, never a crash.
// The input is the argument vector with its words separated by NUL bytes,
// as the kernel hands them to the program.
#include "common/Log.h"
#include "app/Parameters.h"
#include "updater/UpdaterDisplayInterface.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Formats every message like the console does, then drops it.
class DiscardingDisplay : public UpdaterDisplayInterface
{
public:
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool, const char *) override {}
    void info_message(const char *text) override { length += strlen(text); }
    void error_message(const char *text) override { length += strlen(text); }
    size_t length = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words = {"updater"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (size > 0)
        words.push_back(word);

    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    Log::DeactivatePackage(0xFFFFFFFFu);
    DiscardingDisplay display;
    Parameters params;
    int result = _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
    if (result != 0 && result != 1)
        __builtin_trap();
    if (params.help_requested && result != 0)
        __builtin_trap();
    // The argument vector keeps every word, only their order may change.
    if (argv.size() != words.size() + 1 || argv.back() != nullptr)
        __builtin_trap();
    _release_params(&params);
    return 0;
}
