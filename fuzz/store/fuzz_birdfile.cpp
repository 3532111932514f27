// A BIRD image from outside: load it, then run every operation on it.
#include "store/BirdFile.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BirdFile::VerifyHeader(data, size);
    BirdFile bird;
    if (!bird.LoadBuffer(data, size))
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
