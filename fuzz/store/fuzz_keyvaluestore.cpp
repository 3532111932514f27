// A settings file from outside: load it and check what the reader promises.
#include "store/KeyValueStore.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string sPath()
{
    static std::string path;
    if (path.empty()) {
        // Memory-backed when possible: every run saves the file.
        char name[64];
        snprintf(name, sizeof name, "%s/fuzz-settings.XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        int fd = mkstemp(name);
        if (fd < 0)
            abort();
        close(fd);
        path = name;
        atexit([] { unlink(path.c_str()); });
    }
    return path;
}

bool sTrimmed(const std::string &text)
{
    return text.empty() || (!isspace((unsigned char)text.front()) && !isspace((unsigned char)text.back()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = sPath();
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        abort();
    fwrite(data, 1, size, file);
    fclose(file);

    KeyValueStore store(path.c_str());
    for (const auto &entry : store.Entries()) {
        const std::string &key = entry.first;
        if (key.empty() || key.find('=') != std::string::npos || key.find('\n') != std::string::npos ||
            !sTrimmed(key) || !sTrimmed(entry.second) || entry.second.find('\n') != std::string::npos)
            __builtin_trap();
    }
    store.GetInt("LATEST_DOWNLOAD", 0);
    store.GetHex("ADDR", 0);
    store.GetBOOL("FLAG", false);
    store.GetDouble("D", 0);
    store.Save();
    // What was saved reads back to the same entries, except for keys that
    // read as comments or as the line's own syntax once written.
    KeyValueStore again(path.c_str());
    for (const auto &entry : again.Entries()) {
        const char *value = store[entry.first];
        if (!value || entry.second != value)
            __builtin_trap();
    }
    return 0;
}
