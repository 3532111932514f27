#include "store/BirdFile.h"

#include "common/vFile.h"
#include "app/Log.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <zlib.h>

uint32_t GetInt(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

uint16_t GetShort(const uint8_t *bytes)
{
    return (uint16_t)(bytes[0] << 8 | bytes[1]);
}

namespace {

// Layout of the 64-byte information block.
constexpr size_t kInfoBuild = 0, kInfoBuildLength = 15;
constexpr size_t kInfoVersion = 16, kInfoVersionLength = 15;
constexpr size_t kInfoSerial = 32, kInfoSerialLength = 8;
constexpr size_t kInfoModel = 48, kInfoModelLength = 16;
constexpr size_t kInfoFieldLength = 16;

// The decompressed payload may be at most this many times the stream's size.
constexpr uint64_t kMaxExpansion = 8;

// Up to size bytes of a block's data from offset, never past the block and
// cut at a zero byte, as the fields are text.
std::string sBlockText(const BirdBlock &block, size_t offset, size_t size)
{
    if (offset >= block.length)
        return std::string();
    size_t n = block.length - offset < size ? block.length - offset : size;
    const char *start = reinterpret_cast<const char *>(block.data + offset);
    return std::string(start, strnlen(start, n));
}

bool sIsCode(const BirdBlock &block)
{
    return block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
}

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

void BirdFile::FreeBytes::operator()(uint8_t *bytes) const
{
    free(bytes);
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string &path) : path_(path)
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile &&other) noexcept
{
    *this = std::move(other);
}

BirdFile &BirdFile::operator=(BirdFile &&other) noexcept
{
    if (this != &other) {
        path_ = std::move(other.path_);
        signature_ = other.signature_;
        version_ = other.version_;
        checksum_ = other.checksum_;
        block_count_ = other.block_count_;
        blocks_ = std::move(other.blocks_);
        has_serial_offsets_ = other.has_serial_offsets_;
        serial_address_ = other.serial_address_;
        descriptor_address_ = other.descriptor_address_;
        payload_ = std::move(other.payload_);
        payload_size_ = other.payload_size_;
        other.path_.clear();
        other._reset();
    }
    return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::_reset()
{
    signature_ = 0;
    version_ = 0;
    checksum_ = 0;
    block_count_ = 0;
    blocks_.clear();
    has_serial_offsets_ = false;
    serial_address_ = 0;
    descriptor_address_ = 0;
    payload_.reset();
    payload_size_ = 0;
}

bool BirdFile::VerifyHeader(const uint8_t *bytes, size_t size)
{
    return bytes && size >= HEADER_SIZE && memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 && bytes[4] != 0 &&
           bytes[5] != 0;
}

bool BirdFile::VerifyFile(const std::string &path)
{
    vFile *file = vFile_Open(path.c_str(), vFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t count = 0;
    vErr err = vFile_Read(file, header, sizeof header, &count);
    vFile_Close(&file);
    return err == vErrNone && count == sizeof header && VerifyHeader(header, count);
}

bool BirdFile::Load()
{
    _reset();
    const char *path = path_.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!vFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    vFile *file = vFile_Open(path, vFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }
    uint64_t size = 0;
    vErr err = vFile_GetSize(file, &size);
    if (err != vErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path);
        vFile_Close(&file);
        return false;
    }
    std::unique_ptr<uint8_t[]> bytes(size > 0 ? new (std::nothrow) uint8_t[size] : nullptr);
    if (size > 0 && !bytes) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", vErrMemory, path);
        vFile_Close(&file);
        return false;
    }
    size_t count = 0;
    err = size > 0 ? vFile_Read(file, bytes.get(), size, &count) : vErrNone;
    vFile_Close(&file);
    if (err != vErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path);
        return false;
    }
    if (count != size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path, count,
                 (size_t)size);
        return false;
    }
    return LoadBuffer(bytes.get(), count);
}

bool BirdFile::LoadBuffer(const uint8_t *bytes, size_t size)
{
    _reset();
    bool loaded = false;
    if (!bytes || size <= HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file [%s] too short (%zu bytes)\n", path_.c_str(), size);
    } else {
        signature_ = GetInt(bytes);
        version_ = GetShort(bytes + 4);
        if (DecompressData(bytes + HEADER_SIZE, size - HEADER_SIZE)) {
            ScanBlocks(payload_.get(), payload_size_);
            FindSerialNumberOffsets();
            loaded = true;
        }
    }
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        has_serial_offsets_ = true;
        FindSerialNumberOffsets();
    }
    return loaded;
}

bool BirdFile::DecompressData(const uint8_t *data, size_t length)
{
    payload_.reset();
    payload_size_ = 0;

    // The payload may grow to eight times the stream (as far as 32 bits
    // reach). The buffer grows toward that bound as the data arrive, so a
    // file costs the memory of its real payload, not of the bound.
    uint64_t bound = (uint64_t)length * kMaxExpansion;
    if (bound > UINT32_MAX)
        bound = UINT32_MAX;
    size_t capacity = (size_t)(bound < (uint64_t)length * 4 + 4096 ? bound : (uint64_t)length * 4 + 4096);

    z_stream stream;
    memset(&stream, 0, sizeof stream);
    int code = inflateInit(&stream);
    uint8_t *out = nullptr;
    if (code == Z_OK) {
        out = static_cast<uint8_t *>(malloc(capacity ? capacity : 1));
        if (!out)
            code = Z_MEM_ERROR;
    }
    size_t consumed = 0;
    stream.next_out = out;
    stream.avail_out = (uInt)capacity;
    while (code == Z_OK) {
        if (stream.avail_out == 0 && stream.total_out < bound) {
            size_t grown = capacity * 2 < bound ? capacity * 2 : (size_t)bound;
            uint8_t *bigger = static_cast<uint8_t *>(realloc(out, grown));
            if (!bigger) {
                code = Z_MEM_ERROR;
                break;
            }
            out = bigger;
            stream.next_out = out + stream.total_out;
            stream.avail_out = (uInt)(grown - stream.total_out);
            capacity = grown;
        }
        if (stream.avail_in == 0 && consumed < length) {
            size_t chunk = length - consumed < UINT32_MAX ? length - consumed : UINT32_MAX;
            stream.next_in = const_cast<Bytef *>(data + consumed);
            stream.avail_in = (uInt)chunk;
            consumed += chunk;
        }
        int ret = inflate(&stream, Z_NO_FLUSH);
        if (ret == Z_STREAM_END) {
            break;
        } else if (ret == Z_OK) {
            continue;
        } else if (ret == Z_BUF_ERROR) {
            // No progress: either the bound is reached (zlib's buffer error,
            // as uncompress gives it) or the stream ended early (data error).
            bool input_left = stream.avail_in > 0 || consumed < length;
            code = stream.avail_out == 0 || input_left ? Z_BUF_ERROR : Z_DATA_ERROR;
        } else {
            code = ret == Z_NEED_DICT ? Z_DATA_ERROR : ret;
        }
    }
    uLong produced = stream.total_out;
    inflateEnd(&stream);
    if (code != Z_OK) {
        free(out);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", code);
        return false;
    }
    if (produced < capacity) {
        // Give back the unused tail; a failed shrink keeps the larger block.
        if (uint8_t *fitted = static_cast<uint8_t *>(realloc(out, produced ? produced : 1)))
            out = fitted;
    }
    payload_.reset(out);
    payload_size_ = (uint32_t)produced;
    return true;
}

void BirdFile::ScanBlocks(uint8_t *payload, uint32_t size)
{
    block_count_ = 0;
    blocks_.clear();
    checksum_ = 0;
    uint32_t reported = payload && size >= 4 ? GetInt(payload) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", (int)reported);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    if (!payload)
        size = 0;

    uint32_t pos = size >= 4 ? 4 : size;
    bool overrun = false;
    // A block needs at least its five header bytes.
    while (size - pos > 4) {
        uint8_t kind = payload[pos];
        uint32_t length = GetInt(payload + pos + 1);
        if (length > size - pos - 5) {
            // The length claims bytes the payload does not hold: the block
            // list ends here, and the rest counts as unparsed.
            Log::log(DEBUG_BirdFile, "BIRDFILE: Block %d claims %u bytes, %u left in the payload\n", block_count_,
                     length, size - pos - 5);
            overrun = true;
            break;
        }
        BirdBlock block;
        block.type = kind & BIRD_FILE_TYPE_MASK;
        block.flags = (uint8_t)((kind & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = length;
        block.data = payload + pos + 5;
        if (sIsCode(block) && length >= 4)
            block.address = GetInt(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, (int)length);
        if (block.type == BLOCK_INFO) {
            for (size_t field = 0; field < 4; ++field)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         sBlockText(block, field * kInfoFieldLength, kInfoFieldLength).c_str());
        }
        blocks_.push_back(block);
        ++block_count_;
        pos += 5 + length;
    }
    if (!overrun && size - pos >= 4) {
        checksum_ = GetInt(payload + pos);
        pos += 4;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);
    }
    if (pos < size)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 (int)(size - pos));
    if ((uint32_t)block_count_ != reported)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", block_count_,
                 (int)reported);
}

bool BirdFile::FindSerialNumberOffsets()
{
    for (const BirdBlock &block : blocks_) {
        if (block.type != BLOCK_SERIAL_OFFSETS)
            continue;
        // A block too short for both words names no offsets.
        serial_address_ = block.length >= 8 ? GetInt(block.data) : 0;
        descriptor_address_ = block.length >= 8 ? GetInt(block.data + 4) : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", (int)serial_address_,
                 (int)descriptor_address_);
        return block.length >= 8;
    }
    return false;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock &block : blocks_)
        if (block.type == type)
            found.push_back(block);
    return found;
}

const BirdBlock *BirdFile::_info_block() const
{
    for (const BirdBlock &block : blocks_)
        if (block.type == BLOCK_INFO)
            return &block;
    return nullptr;
}

std::string BirdFile::_info_field(size_t offset, size_t size) const
{
    const BirdBlock *info = _info_block();
    return info ? sBlockText(*info, offset, size) : std::string();
}

uint32_t BirdFile::GetSerialNumber() const
{
    if (!_info_block())
        return 0;
    return (uint32_t)strtoul(_info_field(kInfoSerial, kInfoSerialLength).c_str(), nullptr, 16);
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const
{
    return serial == GetSerialNumber();
}

uint32_t BirdFile::GetBuild() const
{
    if (!_info_block())
        return 0;
    return (uint32_t)strtoul(_info_field(kInfoBuild, kInfoBuildLength).c_str(), nullptr, 10);
}

std::string BirdFile::GetVersion() const
{
    std::string version = _info_field(kInfoVersion, kInfoVersionLength);
    size_t space = version.find(' ');
    return space == std::string::npos ? version : version.substr(0, space);
}

bool BirdFile::ValidateModel(const std::string &model) const
{
    if (!_info_block())
        return false;
    std::string text = _info_field(kInfoModel, kInfoModelLength);
    size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    if (text.compare(0, model.size(), model) != 0 || text.size() < model.size())
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", text.c_str(), model.c_str());
    return true;
}

uint32_t BirdFile::GetEntryAddress() const
{
    for (const BirdBlock &block : blocks_)
        if (block.type == BLOCK_ENTRY_ADDRESS)
            return block.length >= 4 ? GetInt(block.data) : DEFAULT_ENTRY_ADDRESS;
    return DEFAULT_ENTRY_ADDRESS;
}

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
            char text[9];
            snprintf(text, sizeof text, "%08X", serial);
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

bool BirdFile::ValidateData(const uint8_t *pattern, size_t length) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path_.c_str());
    bool found = false;
    for (const BirdBlock &block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || !pattern || length == 0 || length >= block.length)
            continue;
        for (size_t start = 0; start + length < block.length; ++start) {
            if (memcmp(block.data + start, pattern, length) == 0) {
                Log::log(DEBUG_BirdFile, "Found data at %d\n", (int)start);
                found = true;
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path_.c_str());
    for (const BirdBlock &block : blocks_) {
        if (block.type != type)
            continue;
        std::string text;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), (int)i);
                text.clear();
            }
            uint8_t byte = block.data[i];
            printf("%02X ", byte);
            text += isprint(byte) ? (char)byte : ' ';
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}
