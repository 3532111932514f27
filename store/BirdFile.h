// BIRD firmware images: a "bird" header with a format version, then one zlib
// stream holding typed blocks (loader, firmware, information, serial-number
// offsets, entry address). Multi-byte numbers of the format are big-endian,
// as on the device link, and are read with vUEI_RetrieveInt/Short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One parsed block. data points into the owning BirdFile's payload; for
// loader and firmware blocks it points at the address word, so the code
// starts four bytes further on.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0;
    uint8_t *data = nullptr;

    // Bytes of code after the address word of a loader or firmware block.
    uint32_t CodeLength() const { return length >= 4 ? length - 4 : 0; }
    uint8_t *Code() const { return data + 4; }
};

class BirdFile {
public:
    static constexpr const char *BIRD_FILE_SIGNATURE = "bird";
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    // Bytes of the header before the zlib stream.
    static constexpr size_t HEADER_SIZE = 6;
    // Start address of a recovery loader when the image names none.
    static constexpr uint32_t DEFAULT_ENTRY_ADDRESS = 0x20000400;

    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_ENTRY_ADDRESS = 5,
    };

    BirdFile();
    // Loads path; throws std::runtime_error("Failed to load bird data") on failure.
    explicit BirdFile(const std::string &path);
    BirdFile(BirdFile &&other) noexcept;
    BirdFile &operator=(BirdFile &&other) noexcept;
    BirdFile(const BirdFile &) = delete;
    BirdFile &operator=(const BirdFile &) = delete;
    ~BirdFile();

    // Header check only: six bytes read, "bird", both version bytes non-zero.
    static bool VerifyFile(const std::string &path);
    // The same check on bytes held in memory.
    static bool VerifyHeader(const uint8_t *bytes, size_t size);

    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool ValidateModel(const std::string &model) const;
    // Entry address of a recovery loader: the entry block's word, else DEFAULT_ENTRY_ADDRESS.
    uint32_t GetEntryAddress() const;

    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    bool ValidateData(const uint8_t *pattern, size_t length) const;
    bool DumpBlocks(uint8_t type) const;

    // Loading steps. Load reads the remembered path; LoadBuffer parses an
    // image already in memory (the whole file, header included).
    bool Load();
    bool LoadBuffer(const uint8_t *bytes, size_t size);
    void ScanBlocks(uint8_t *payload, uint32_t size);
    bool DecompressData(const uint8_t *data, size_t length);
    bool FindSerialNumberOffsets();

    const std::string &path() const { return path_; }
    uint32_t signature() const { return signature_; }
    uint16_t format_version() const { return version_; }
    uint32_t checksum() const { return checksum_; }
    int block_count() const { return block_count_; }
    const std::vector<BirdBlock> &blocks() const { return blocks_; }
    bool has_serial_offsets() const { return has_serial_offsets_; }
    uint32_t serial_address() const { return serial_address_; }
    uint32_t descriptor_address() const { return descriptor_address_; }
    const uint8_t *payload() const { return payload_.get(); }
    uint32_t payload_size() const { return payload_size_; }

private:
    // Inflates the zlib stream that source hands out in pieces (an empty
    // piece ends it); length is the stream's size, of which the payload may
    // be at most eight times.
    bool _inflate(const std::function<void(const uint8_t *&, size_t &)> &source, uint64_t length);
    const BirdBlock *_info_block() const;
    std::string _info_field(size_t offset, size_t size) const;
    void _reset();

    std::string path_;
    uint32_t signature_ = 0;
    uint16_t version_ = 0;
    uint32_t checksum_ = 0;
    int block_count_ = 0;
    std::vector<BirdBlock> blocks_;
    bool has_serial_offsets_ = false;
    uint32_t serial_address_ = 0;
    uint32_t descriptor_address_ = 0;
    // The payload is either malloc'd (mapped == 0) or a private mapping of
    // mapped bytes.
    struct FreeBytes {
        FreeBytes() noexcept : mapped(0) {}
        size_t mapped;
        void operator()(uint8_t *bytes) const;
    };
    std::unique_ptr<uint8_t, FreeBytes> payload_;
    uint32_t payload_size_ = 0;
};
