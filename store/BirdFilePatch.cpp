// BIRD images: the changes made to a loaded image before it is sent: the
// device's serial number patched into a generic image, the vector checksum
// of a firmware that starts at address 0, and the decoding of images
// delivered encoded for one chip.
#include "store/BirdFile.h"

#include "common/Log.h"
#include "common/vDefs.h"

namespace {

uint32_t sGetLittle(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

void sPutLittle(uint8_t *bytes, uint32_t value)
{
    bytes[0] = (uint8_t)value;
    bytes[1] = (uint8_t)(value >> 8);
    bytes[2] = (uint8_t)(value >> 16);
    bytes[3] = (uint8_t)(value >> 24);
}

// True when [start, start + size) lies inside the code of a block loaded at
// address with code_length bytes. 64-bit arithmetic: no wrap-around.
bool sInside(uint32_t address, uint32_t code_length, uint32_t start, uint32_t size)
{
    return start >= address && (uint64_t)start + size <= (uint64_t)address + code_length;
}

} // namespace

bool BirdFile::ReplaceSerialNumber(uint32_t serial)
{
    bool replaced = false;
    for (BirdBlock &block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4)
            continue;
        uint32_t code_length = block.CodeLength();
        if (serial_address_ != 0) {
            if (sInside(block.address, code_length, serial_address_, 4)) {
                uint8_t *word = block.Code() + (serial_address_ - block.address);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", sGetLittle(word),
                         serial);
                sPutLittle(word, serial);
            }
            replaced = true;
        }
        if (descriptor_address_ != 0 && sInside(block.address, code_length, descriptor_address_, 16)) {
            // The character slots of a UTF-16LE string descriptor: every other byte.
            const std::string text = vDefs_SerialText(serial);
            uint8_t *slot = block.Code() + (descriptor_address_ - block.address);
            for (int i = 0; i < 8; ++i)
                slot[2 * i] = (uint8_t)text[i];
            replaced = true;
        }
    }
    return replaced;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (BirdBlock &block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4 || block.address != 0 || block.CodeLength() < 32)
            continue;
        uint8_t *code = block.Code();
        uint32_t sum = 0;
        for (int i = 0; i < 7; ++i)
            if (i != 5)
                sum += sGetLittle(code + 4 * i);
        uint32_t checksum = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", sGetLittle(code + 28),
                 checksum);
        sPutLittle(code + 28, checksum);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4])
{
    uint8_t k[16];
    for (int i = 0; i < 16; ++i)
        k[i] = (uint8_t)(key[i / 4] >> (24 - 8 * (i % 4)));
    for (BirdBlock &block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4)
            continue;
        uint8_t *code = block.Code();
        uint8_t previous = 0;
        for (uint32_t i = 0; i < block.CodeLength(); ++i) {
            code[i] = code[i] ^ k[i % 16] ^ previous;
            previous = code[i];
        }
    }
    return true;
}
