// BIRD images: reading the header, inflating the payload, scanning its
// blocks, and the queries on them. Patching an image is BirdFilePatch.cpp.
#include "store/BirdFile.h"

#include "common/Log.h"
#include "common/vFile.h"
#include "common/vUEI.h"
#include "common/vVersion.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <stdexcept>
#include <zlib.h>

namespace {

// Layout of the 64-byte information block.
constexpr size_t kInfoBuild = 0, kInfoBuildLength = 15;
constexpr size_t kInfoVersion = 16, kInfoVersionLength = 15;
constexpr size_t kInfoSerial = 32, kInfoSerialLength = 8;
constexpr size_t kInfoModel = 48, kInfoModelLength = 16;
constexpr size_t kInfoFieldLength = 16;

// The decompressed payload may be at most this many times the stream's size.
constexpr uint64_t kMaxExpansion = 8;
// Bytes read from an image file at a time.
constexpr size_t kReadChunk = 64 * 1024;

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

} // namespace

void BirdFile::FreeBytes::operator()(uint8_t *bytes) const
{
    if (mapped)
        munmap(bytes, mapped);
    else
        free(bytes);
}

namespace {

// Where a payload is inflated. A large one goes to a mapping of the whole
// bound, reserved but not committed and backed by huge pages where the
// system offers them: only the pages the payload fills cost memory, it never
// moves while it grows, and filling it costs a fraction of the page faults.
// A small one, or one whose mapping fails, grows in malloc'd memory.
class PayloadBuffer {
public:
    PayloadBuffer(uint64_t bound, uint64_t length) : bound_(bound)
    {
        if (bound >= kMapThreshold && bound + kHugePage <= SIZE_MAX) {
            void *region = mmap(nullptr, (size_t)bound + kHugePage, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (region != MAP_FAILED) {
                // Align the start to a huge page; give back the slack before it.
                uintptr_t start = ((uintptr_t)region + kHugePage - 1) & ~(uintptr_t)(kHugePage - 1);
                if (start > (uintptr_t)region)
                    munmap(region, start - (uintptr_t)region);
                data_ = reinterpret_cast<uint8_t *>(start);
                mapped_ = (size_t)bound + kHugePage - (start - (uintptr_t)region);
                madvise(data_, mapped_, MADV_HUGEPAGE);
                capacity_ = (size_t)bound;
                return;
            }
        }
        capacity_ = (size_t)std::min<uint64_t>(bound, length * 4 + 4096);
        data_ = static_cast<uint8_t *>(malloc(capacity_ ? capacity_ : 1));
    }
    ~PayloadBuffer()
    {
        if (data_)
            Free(data_, mapped_);
    }
    PayloadBuffer(const PayloadBuffer &) = delete;
    PayloadBuffer &operator=(const PayloadBuffer &) = delete;

    uint8_t *data() const { return data_; }
    size_t capacity() const { return capacity_; }
    // Doubles the room, up to the bound; false when memory ran out.
    bool Grow()
    {
        if (mapped_ || capacity_ >= bound_)
            return false;
        size_t grown = (size_t)std::min<uint64_t>((uint64_t)capacity_ * 2, bound_);
        uint8_t *bigger = static_cast<uint8_t *>(realloc(data_, grown));
        if (!bigger)
            return false;
        data_ = bigger;
        capacity_ = grown;
        return true;
    }
    // Hands the first size bytes over, trimmed to what they need.
    uint8_t *Release(size_t size, size_t *mapped)
    {
        uint8_t *data = data_;
        *mapped = mapped_;
        if (mapped_) {
            size_t keep = (std::max<size_t>(size, 1) + kPage - 1) & ~(kPage - 1);
            if (keep < mapped_) {
                munmap(data + keep, mapped_ - keep);
                *mapped = keep;
            }
        } else if (size < capacity_) {
            // A failed shrink keeps the larger block.
            if (uint8_t *fitted = static_cast<uint8_t *>(realloc(data, size ? size : 1)))
                data = fitted;
        }
        data_ = nullptr;
        return data;
    }

private:
    static void Free(uint8_t *data, size_t mapped)
    {
        if (mapped)
            munmap(data, mapped);
        else
            free(data);
    }

    static constexpr uint64_t kMapThreshold = 4u << 20;
    static constexpr size_t kHugePage = 2u << 20;
    static constexpr size_t kPage = 4096;
    uint64_t bound_;
    uint8_t *data_ = nullptr;
    size_t capacity_ = 0;
    size_t mapped_ = 0;
};

} // namespace

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

    // The file is read in chunks straight into the decompressor: memory goes
    // to the payload, not to a second copy of the file.
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kReadChunk]);
    size_t total = 0;
    vErr read_error = vErrNone;
    auto read = [&](const uint8_t *&data, size_t &length) {
        length = 0;
        data = chunk.get();
        if (read_error != vErrNone || !chunk)
            return;
        size_t count = 0;
        vErr e = vFile_Read(file, chunk.get(), kReadChunk, &count);
        if (e != vErrNone && e != vErrEOF)
            read_error = e;
        total += count;
        length = count;
    };
    bool loaded = false;
    const uint8_t *data = nullptr;
    size_t length = 0;
    // The header first; the rest of the first chunk starts the stream. A
    // regular file fills the chunk unless it ends sooner.
    read(data, length);
    size_t have = length;
    if (!chunk) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", vErrMemory, path);
    } else if (read_error == vErrNone && size > HEADER_SIZE && have > HEADER_SIZE) {
        signature_ = vUEI_RetrieveInt(chunk.get());
        version_ = vUEI_RetrieveShort(chunk.get() + 4);
        const uint8_t *first = chunk.get() + HEADER_SIZE;
        size_t first_length = have - HEADER_SIZE;
        bool first_taken = false;
        auto source = [&](const uint8_t *&next, size_t &next_length) {
            if (!first_taken) {
                first_taken = true;
                next = first;
                next_length = first_length;
                return;
            }
            read(next, next_length);
        };
        loaded = _inflate(source, size - HEADER_SIZE);
        // Whatever the stream left unread still has to be there.
        for (const uint8_t *rest = nullptr; read_error == vErrNone && total < size;) {
            read(rest, length);
            if (length == 0)
                break;
        }
    }
    vFile_Close(&file);
    if (read_error != vErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", read_error, path);
        loaded = false;
    } else if (chunk && total != size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path, total,
                 (size_t)size);
        loaded = false;
    } else if (chunk && size <= HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file [%s] too short (%zu bytes)\n", path, (size_t)size);
    }
    if (loaded) {
        ScanBlocks(payload_.get(), payload_size_);
        FindSerialNumberOffsets();
    } else {
        payload_.reset();
        payload_size_ = 0;
    }
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        has_serial_offsets_ = true;
        FindSerialNumberOffsets();
    }
    return loaded;
}

bool BirdFile::LoadBuffer(const uint8_t *bytes, size_t size)
{
    _reset();
    bool loaded = false;
    if (!bytes || size <= HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file [%s] too short (%zu bytes)\n", path_.c_str(), size);
    } else {
        signature_ = vUEI_RetrieveInt(bytes);
        version_ = vUEI_RetrieveShort(bytes + 4);
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
    bool given = false;
    auto source = [&](const uint8_t *&next, size_t &next_length) {
        next = data;
        next_length = given ? 0 : length;
        given = true;
    };
    return _inflate(source, length);
}

bool BirdFile::_inflate(const std::function<void(const uint8_t *&, size_t &)> &source, uint64_t length)
{
    payload_.reset();
    payload_size_ = 0;

    // The payload may grow to eight times the stream (as far as 32 bits
    // reach); a file costs the memory of its real payload, not of the bound.
    uint64_t bound = length * kMaxExpansion;
    if (bound > UINT32_MAX)
        bound = UINT32_MAX;
    PayloadBuffer buffer(bound, length);

    z_stream stream;
    memset(&stream, 0, sizeof stream);
    int code = buffer.data() ? inflateInit(&stream) : Z_MEM_ERROR;
    stream.next_out = buffer.data();
    stream.avail_out = (uInt)std::min<size_t>(buffer.capacity(), UINT32_MAX);
    // Bytes of the current chunk not yet handed to zlib.
    const uint8_t *pending = nullptr;
    size_t pending_length = 0;
    bool input_done = false;
    while (code == Z_OK) {
        if (stream.avail_out == 0 && stream.total_out < bound) {
            if (stream.total_out >= buffer.capacity() && !buffer.Grow()) {
                code = Z_MEM_ERROR;
                break;
            }
            stream.next_out = buffer.data() + stream.total_out;
            stream.avail_out = (uInt)std::min<size_t>(buffer.capacity() - stream.total_out, UINT32_MAX);
        }
        if (stream.avail_in == 0 && pending_length == 0 && !input_done) {
            source(pending, pending_length);
            input_done = pending_length == 0;
        }
        if (stream.avail_in == 0 && pending_length > 0) {
            size_t take = std::min<size_t>(pending_length, UINT32_MAX);
            stream.next_in = const_cast<Bytef *>(pending);
            stream.avail_in = (uInt)take;
            pending += take;
            pending_length -= take;
        }
        int ret = inflate(&stream, Z_NO_FLUSH);
        if (ret == Z_STREAM_END) {
            break;
        } else if (ret == Z_OK) {
            continue;
        } else if (ret == Z_BUF_ERROR) {
            // No progress: either the bound is reached (zlib's buffer error,
            // as uncompress gives it) or the stream ended early (data error).
            if (stream.avail_out > 0 && stream.avail_in == 0 && pending_length == 0 && !input_done)
                continue;
            bool input_left = stream.avail_in > 0 || pending_length > 0 || !input_done;
            code = stream.avail_out == 0 || input_left ? Z_BUF_ERROR : Z_DATA_ERROR;
        } else {
            code = ret == Z_NEED_DICT ? Z_DATA_ERROR : ret;
        }
    }
    size_t produced = stream.total_out;
    inflateEnd(&stream);
    if (code != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", code);
        return false;
    }
    FreeBytes release;
    uint8_t *bytes = buffer.Release(produced, &release.mapped);
    payload_ = std::unique_ptr<uint8_t, FreeBytes>(bytes, release);
    payload_size_ = (uint32_t)produced;
    return true;
}

void BirdFile::ScanBlocks(uint8_t *payload, uint32_t size)
{
    block_count_ = 0;
    blocks_.clear();
    checksum_ = 0;
    uint32_t reported = payload && size >= 4 ? vUEI_RetrieveInt(payload) : 0;
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
        uint32_t length = vUEI_RetrieveInt(payload + pos + 1);
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
            block.address = vUEI_RetrieveInt(block.data);
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
        checksum_ = vUEI_RetrieveInt(payload + pos);
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
        serial_address_ = block.length >= 8 ? vUEI_RetrieveInt(block.data) : 0;
        descriptor_address_ = block.length >= 8 ? vUEI_RetrieveInt(block.data + 4) : 0;
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
    uint64_t build = 0;
    vVersion_ParseBuild(_info_field(kInfoBuild, kInfoBuildLength).c_str(), &build);
    return uint32_t(build);
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
            return block.length >= 4 ? vUEI_RetrieveInt(block.data) : DEFAULT_ENTRY_ADDRESS;
    return DEFAULT_ENTRY_ADDRESS;
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
