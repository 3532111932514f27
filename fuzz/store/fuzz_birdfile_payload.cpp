// The decompressed payload of a BIRD image from outside: the input is
// compressed behind a valid header, so every input reaches the block parser
// and the operations on the blocks instead of stopping at zlib.
#include "common/vUEI.h"
#include "store/BirdFile.h"

#include <cstdio>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace {

struct Block {
    uint8_t type;
    uint32_t length;
    size_t data; // offset of the data in the payload
};

// The block list as the format describes it, for comparison with the parser.
std::vector<Block> sExpectedBlocks(const uint8_t *p, size_t size)
{
    std::vector<Block> blocks;
    size_t pos = size >= 4 ? 4 : size;
    while (size - pos > 4) {
        uint32_t length = vUEI_RetrieveInt(p + pos + 1);
        if (length > size - pos - 5)
            break;
        blocks.push_back({uint8_t(p[pos] & BirdFile::BIRD_FILE_TYPE_MASK), length, pos + 5});
        pos += 5 + length;
    }
    return blocks;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // DumpBlocks writes to standard output; libFuzzer reports on standard error.
    if (!freopen("/dev/null", "w", stdout))
        perror("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uLongf packed = compressBound(size);
    std::vector<uint8_t> image(BirdFile::HEADER_SIZE + packed);
    memcpy(image.data(), "bird\x01\x01", BirdFile::HEADER_SIZE);
    if (compress2(image.data() + BirdFile::HEADER_SIZE, &packed, data, size, Z_BEST_SPEED) != Z_OK)
        return 0;
    image.resize(BirdFile::HEADER_SIZE + packed);

    BirdFile bird;
    bool loaded = bird.LoadBuffer(image.data(), image.size());
    // The reader refuses only payloads above eight times their stream.
    if (loaded != (size <= 8 * (uint64_t)packed))
        __builtin_trap();
    if (!loaded)
        return 0;
    if (bird.payload_size() != size || (size && memcmp(bird.payload(), data, size) != 0))
        __builtin_trap();

    std::vector<Block> expected = sExpectedBlocks(data, size);
    if (bird.blocks().size() != expected.size() || bird.block_count() != (int)expected.size())
        __builtin_trap();
    for (size_t i = 0; i < expected.size(); ++i) {
        const BirdBlock &b = bird.blocks()[i];
        if (b.type != expected[i].type || b.length != expected[i].length || b.data != bird.payload() + expected[i].data)
            __builtin_trap();
        bool code = b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE;
        if (b.address != (code && b.length >= 4 ? vUEI_RetrieveInt(b.data) : 0))
            __builtin_trap();
    }

    bird.GetBuild();
    bird.GetVersion();
    bird.ValidateModel("HUB");
    bird.ValidateModel("");
    bird.ValidateSerialNumber(bird.GetSerialNumber());
    bird.GetEntryAddress();
    bird.DumpBlocks(size ? data[size - 1] & BirdFile::BIRD_FILE_TYPE_MASK : 0);

    const uint32_t serial = 0x0012ABCD;
    bird.ReplaceSerialNumber(serial);
    // A serial-number word inside a firmware block's code now holds the serial.
    uint32_t s = bird.serial_address();
    for (const BirdBlock &b : bird.blocks()) {
        if (s == 0 || b.type != BirdFile::BLOCK_FIRMWARE || b.length < 4 || s < b.address ||
            (uint64_t)s + 4 > (uint64_t)b.address + b.CodeLength())
            continue;
        const uint8_t *word = b.Code() + (s - b.address);
        if ((uint32_t)(word[0] | word[1] << 8 | word[2] << 16 | (uint32_t)word[3] << 24) != serial &&
            bird.descriptor_address() == 0)
            __builtin_trap();
    }
    bird.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    bird.DecodeFirmwareBlocks(key);
    bird.ValidateData(data, size > 4 ? 4 : size);
    for (const BirdBlock &block : bird.blocks())
        if (block.data < bird.payload() || block.data + block.length > bird.payload() + bird.payload_size())
            __builtin_trap();
    return 0;
}
