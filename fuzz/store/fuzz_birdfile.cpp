// A BIRD image from outside: load it, then run every operation on it. The
// image is loaded both from memory and from a file, and the two must agree.
#include "store/BirdFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

std::string sPath()
{
    static std::string path;
    if (path.empty()) {
        char name[64];
        snprintf(name, sizeof name, "%s/fuzz-image.XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        int fd = mkstemp(name);
        if (fd < 0)
            abort();
        close(fd);
        path = name;
        atexit([] { unlink(path.c_str()); });
    }
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = sPath();
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        abort();
    if (size)
        fwrite(data, 1, size, file);
    fclose(file);
    if (BirdFile::VerifyFile(path) != BirdFile::VerifyHeader(data, size))
        __builtin_trap();

    BirdFile bird;
    bool loaded = bird.LoadBuffer(data, size);
    bool fromFile = false;
    try {
        BirdFile other(path);
        fromFile = true;
        if (other.payload_size() != bird.payload_size() || other.blocks().size() != bird.blocks().size() ||
            (bird.payload_size() && memcmp(other.payload(), bird.payload(), bird.payload_size()) != 0) ||
            other.signature() != bird.signature() || other.format_version() != bird.format_version() ||
            other.checksum() != bird.checksum() || other.has_serial_offsets() != bird.has_serial_offsets())
            __builtin_trap();
    } catch (const std::runtime_error &) {
    }
    if (fromFile != loaded)
        __builtin_trap();
    if (!loaded)
        return 0;
    bird.GetSerialNumber();
    bird.GetBuild();
    bird.GetVersion();
    bird.ValidateModel("HUB");
    bird.GetEntryAddress();
    bird.ReplaceSerialNumber(0x0012ABCD);
    bird.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    bird.DecodeFirmwareBlocks(key);
    const uint8_t pattern[] = {0xCD, 0xAB, 0x12, 0x00};
    bird.ValidateData(pattern, sizeof pattern);
    for (const BirdBlock &block : bird.blocks()) {
        // Every block lies inside the payload.
        if (block.data < bird.payload() || block.data + block.length > bird.payload() + bird.payload_size())
            __builtin_trap();
    }
    BirdFile moved(std::move(bird));
    return 0;
}
