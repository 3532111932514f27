// Images are built by tools/make-bird at test time; the builder is written
// apart from the reader, so the two check each other.
#include "common/Log.h"
#include "common/vUEI.h"
#include "store/BirdFile.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <sys/resource.h>
#include <zlib.h>

using fixtures::MakeBird;
using fixtures::TempDir;

namespace {

std::string Header(const char *signature, uint8_t major, uint8_t minor)
{
    return std::string(signature, 4) + (char)major + (char)minor;
}

// Same generator as make-bird's --firmware-size/--loader-size (Python's
// random.Random(seed).getrandbits(8) cannot be reproduced here), so code
// bytes are compared through files written beside the image instead.
std::string Code(size_t size, unsigned seed)
{
    std::string code(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        code[i] = (char)(x >> 24);
    }
    return code;
}

std::string Bytes(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

// Captures the debug log of one package while alive.
class LogCapture {
public:
    explicit LogCapture(unsigned mask) : mask_(mask), file_(tmpfile())
    {
        Log::SetOutput(file_);
        Log::ActivatePackage(mask_);
    }
    ~LogCapture()
    {
        Log::DeactivatePackage(mask_);
        Log::SetOutput(nullptr);
        fclose(file_);
    }
    std::string Text()
    {
        fflush(file_);
        long size = ftell(file_);
        std::string text((size_t)size, '\0');
        rewind(file_);
        size_t n = fread(&text[0], 1, text.size(), file_);
        text.resize(n);
        return text;
    }

private:
    unsigned mask_;
    FILE *file_;
};

class BirdFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string &name, const std::string &bytes)
    {
        fixtures::WriteFile(dir / name, bytes);
        return dir / name;
    }
    TempDir dir;
};

TEST_F(BirdFileTest, VerifyFileChecksOnlyTheSixHeaderBytes)
{
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {Header("bird", 1, 1) + "anything", true},
        {Header("bird", 1, 1), true},
        {Header("bird", 0xFF, 0x7F), true},
        {Header("bird", 1, 0) + "xx", false},
        {Header("bird", 0, 1) + "xx", false},
        {Header("BIRD", 1, 1) + "xx", false},
        {std::string("bird\x01", 5), false},
        {"", false},
    };
    int i = 0;
    for (const Case &c : cases) {
        std::string path = Write("case" + std::to_string(i++), c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path), c.valid) << "case " << i - 1;
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir / "missing.bird"));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.path()));
}

TEST_F(BirdFileTest, LoadsEveryBlockOfABuiltImage)
{
    std::string loader = Code(60, 1), firmware = Code(1000, 2);
    fixtures::WriteFile(dir / "ldr.bin", loader);
    fixtures::WriteFile(dir / "fw.bin", firmware);
    std::string path = MakeBird(dir / "1234.bird",
                                {"--loader", dir / "ldr.bin", "--loader-address", "0x10000100", "--firmware",
                                 dir / "fw.bin", "--firmware-address", "0x4000", "--build", "1234", "--version",
                                 "2.12.4", "--serial", "0012ABCD", "--model", "HUB7-PRO", "--serial-offsets",
                                 "0x40F8", "0x4100", "--entry", "0x20001000", "--flags", "5"});
    BirdFile bird(path);
    EXPECT_EQ(bird.path(), path);
    EXPECT_EQ(bird.signature(), 0x62697264u);
    EXPECT_EQ(bird.format_version(), BirdFile::BIRD_FILE_VERSION);
    ASSERT_EQ(bird.block_count(), 5);

    // make-bird writes info, offsets, entry, loader, firmware in that order.
    const std::vector<BirdBlock> &blocks = bird.blocks();
    uint8_t types[] = {BirdFile::BLOCK_INFO, BirdFile::BLOCK_SERIAL_OFFSETS, BirdFile::BLOCK_ENTRY_ADDRESS,
                       BirdFile::BLOCK_LOADER, BirdFile::BLOCK_FIRMWARE};
    uint32_t lengths[] = {64, 8, 4, 64, 1004};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(blocks[i].type, types[i]) << i;
        EXPECT_EQ(blocks[i].length, lengths[i]) << i;
    }
    EXPECT_EQ(blocks[3].flags, 5);
    EXPECT_EQ(blocks[4].flags, 5);
    EXPECT_EQ(blocks[0].flags, 0);
    EXPECT_EQ(blocks[3].address, 0x10000100u);
    EXPECT_EQ(blocks[4].address, 0x4000u);
    EXPECT_EQ(blocks[0].address, 0u) << "only code blocks carry an address";
    EXPECT_EQ(Bytes(blocks[3].Code(), blocks[3].CodeLength()), loader);
    EXPECT_EQ(Bytes(blocks[4].Code(), blocks[4].CodeLength()), firmware);

    // Blocks point into the payload; the payload ends with the checksum word.
    const uint8_t *payload = bird.payload();
    for (const BirdBlock &b : blocks)
        EXPECT_TRUE(b.data >= payload && b.data + b.length <= payload + bird.payload_size());
    EXPECT_EQ(bird.checksum(), vUEI_RetrieveInt(payload + bird.payload_size() - 4));
    uLong crc = crc32(0, payload + 4, bird.payload_size() - 8);
    EXPECT_EQ(bird.checksum(), (uint32_t)crc);

    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "2.12.4");
    EXPECT_EQ(bird.GetSerialNumber(), 0x0012ABCDu);
    EXPECT_TRUE(bird.ValidateSerialNumber(0x12ABCD));
    EXPECT_FALSE(bird.ValidateSerialNumber(0x12ABCE));
    EXPECT_TRUE(bird.has_serial_offsets());
    EXPECT_EQ(bird.serial_address(), 0x40F8u);
    EXPECT_EQ(bird.descriptor_address(), 0x4100u);
    EXPECT_EQ(bird.GetEntryAddress(), 0x20001000u);
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data, blocks[4].data);
    EXPECT_TRUE(bird.FindBlocks(3).empty());
}

TEST_F(BirdFileTest, ModelMatchesByPrefixOfTheImageModel)
{
    BirdFile bird(MakeBird(dir / "m.bird", {"--model", "HUB7-PRO"}));
    struct {
        const char *model;
        bool match;
    } cases[] = {{"HUB7-PRO", true}, {"HUB7", true}, {"", true}, {"HUB7-PRO-X", false}, {"HUB8", false},
                 {"hub7", false}};
    for (auto &c : cases)
        EXPECT_EQ(bird.ValidateModel(c.model), c.match) << c.model;

    BirdFile bare(MakeBird(dir / "bare.bird", {"--no-info", "--firmware-size", "16"}));
    EXPECT_FALSE(bare.ValidateModel(""));
    EXPECT_EQ(bare.GetBuild(), 0u);
    EXPECT_EQ(bare.GetVersion(), "");
    EXPECT_EQ(bare.GetSerialNumber(), 0u);
    EXPECT_FALSE(bare.has_serial_offsets());
    EXPECT_EQ(bare.GetEntryAddress(), BirdFile::DEFAULT_ENTRY_ADDRESS);
}

TEST_F(BirdFileTest, InformationFieldsStopWhereTheirTextDoes)
{
    struct {
        const char *build, *version, *serial;
        uint32_t want_build;
        const char *want_version;
        uint32_t want_serial;
    } cases[] = {
        {"12345", "2.12.4", "0012ABCD", 12345, "2.12.4", 0x0012ABCD},
        {"7x", "1.0.0 beta", "ABCDEFGZ", 7, "1.0.0", 0xABCDEF},
        {"", "", "", 0, "", 0},
        {"123456789012345", "123456789012345", "FFFFFFFF", 123456789012345ull & 0xFFFFFFFF, "123456789012345",
         0xFFFFFFFF},
    };
    int i = 0;
    for (auto &c : cases) {
        BirdFile bird(MakeBird(dir / ("i" + std::to_string(i++)),
                               {"--build", c.build, "--version", c.version, "--serial", c.serial}));
        EXPECT_EQ(bird.GetBuild(), c.want_build) << c.build;
        EXPECT_EQ(bird.GetVersion(), c.want_version) << c.version;
        EXPECT_EQ(bird.GetSerialNumber(), c.want_serial) << c.serial;
    }
}

TEST_F(BirdFileTest, MalformedImagesFailOrKeepWhatParsed)
{
    // Mismatches are logged and the parsed blocks kept.
    {
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(MakeBird(dir / "count.bird", {"--firmware-size", "32", "--report-count", "2",
                                                     "--serial-offsets", "0", "0"}));
        EXPECT_EQ(bird.block_count(), 3);
        EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in number of blocks. (3 != 2)\n"),
                  std::string::npos);
    }
    {
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(MakeBird(dir / "trail.bird", {"--firmware-size", "32", "--trailing", "3"}));
        EXPECT_EQ(bird.block_count(), 2);
        // The checksum and the three bytes after it do not make a block.
        EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size. (7 bytes remaining)\n"),
                  std::string::npos);
    }
    // A length running past the payload ends the list before that block.
    {
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(MakeBird(dir / "over.bird", {"--firmware-size", "32", "--overrun", "1"}));
        ASSERT_EQ(bird.block_count(), 1);
        EXPECT_EQ(bird.blocks()[0].type, BirdFile::BLOCK_INFO);
        EXPECT_EQ(bird.checksum(), 0u);
        std::string text = log.Text();
        EXPECT_NE(text.find("mismatch in data size"), std::string::npos) << text;
        EXPECT_NE(text.find("mismatch in number of blocks. (1 != 2)"), std::string::npos) << text;
    }
    // A huge reported count is only a number.
    BirdFile counted(MakeBird(dir / "huge.bird", {"--report-count", "0xFFFFFFFF"}));
    EXPECT_EQ(counted.block_count(), 1);

    struct {
        const char *name;
        std::vector<std::string> args;
    } failing[] = {
        {"zlib.bird", {"--firmware-size", "300", "--bad-zlib"}},
        {"cut.bird", {"--firmware-size", "300", "--truncate-zlib", "10"}},
        // 64 KiB of zeros compress far better than eight to one.
        {"bomb.bird", {"--block", "1:" + dir / "zeros.bin"}},
    };
    fixtures::WriteFile(dir / "zeros.bin", std::string(65536, '\0'));
    for (auto &f : failing) {
        std::string path = MakeBird(dir / f.name, f.args);
        LogCapture log(DEBUG_BirdFile);
        EXPECT_THROW(
            {
                try {
                    BirdFile bird(path);
                } catch (const std::runtime_error &e) {
                    EXPECT_STREQ(e.what(), "Failed to load bird data");
                    throw;
                }
            },
            std::runtime_error)
            << f.name;
        EXPECT_NE(log.Text().find("BIRDFILE: Error ("), std::string::npos) << f.name;
    }
    // Missing, too short, a directory.
    Write("short.bird", Header("bird", 1, 1));
    for (std::string path : {dir / "missing.bird", dir / "short.bird", dir.path()})
        EXPECT_THROW(BirdFile{path}, std::runtime_error) << path;
}

TEST_F(BirdFileTest, DecompressionBoundIsEightTimesTheStream)
{
    // 8000 zero bytes compress to a few dozen; bytes after the stream's end
    // are ignored by zlib but count toward the length the bound is taken of.
    std::string data(8000, '\0');
    uLongf size = compressBound(data.size());
    std::vector<Bytef> stream(size);
    ASSERT_EQ(compress(stream.data(), &size, (const Bytef *)data.data(), data.size()), Z_OK);
    ASSERT_LT(size, 999u);
    stream.resize(1000, 0xEE);

    BirdFile bird;
    ASSERT_TRUE(bird.DecompressData(stream.data(), 1000)) << "8 x 1000 holds the payload exactly";
    EXPECT_EQ(Bytes(bird.payload(), bird.payload_size()), data);
    EXPECT_FALSE(bird.DecompressData(stream.data(), 999)) << "8 x 999 is one byte short";
    EXPECT_EQ(bird.payload_size(), 0u);
    EXPECT_EQ(bird.payload(), nullptr);
}

TEST_F(BirdFileTest, SerialNumberIsPatchedOnlyInsideTheCode)
{
    struct Case {
        uint32_t address, serial_at, descriptor_at;
        bool answer;
        int word_offset;       // code offset of the patched word, -1 for none
        int descriptor_offset; // code offset of the descriptor text, -1 for none
    } cases[] = {
        {0x0, 0xF8, 0, true, 0xF8, -1},
        {0x0, 0xFC, 0, true, 0xFC, -1},       // the last word of the code
        {0x0, 0xFE, 0, true, -1, -1},         // would end past the code
        {0x1000, 0xF8, 0, true, -1, -1},      // below the block
        {0x1000, 0x10F8, 0, true, 0xF8, -1},  // block at a non-zero address
        {0x0, 0, 0x20, true, -1, 0x20},       // descriptor only
        {0x0, 0, 0xF0, true, -1, 0xF0},       // descriptor ending at the code's end
        {0x0, 0, 0xF2, false, -1, -1},        // descriptor running past it
        {0x0, 0, 0, false, -1, -1},           // no offsets at all
        {0xFFFFFFF0, 0xFFFFFFFC, 0, true, 0xC, -1}, // no wrap-around at the top of memory
        {0xFFFFFFF0, 0x8, 0x8, true, -1, -1},
    };
    // One image per load address; each case writes its offsets into the
    // image's offsets block and reads them again.
    std::map<uint32_t, std::string> images;
    for (const Case &c : cases) {
        if (!images.count(c.address)) {
            char address[16];
            snprintf(address, sizeof address, "0x%X", c.address);
            images[c.address] = fixtures::ReadFile(MakeBird(
                dir / "s.bird", {"--firmware-size", "0x100", "--firmware-address", address, "--serial-offsets", "0", "0"}));
        }
        const std::string &image = images[c.address];
        BirdFile bird;
        ASSERT_TRUE(bird.LoadBuffer((const uint8_t *)image.data(), image.size()));
        uint8_t *offsets = bird.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).at(0).data;
        for (int i = 0; i < 4; ++i) {
            offsets[i] = (uint8_t)(c.serial_at >> (24 - 8 * i));
            offsets[4 + i] = (uint8_t)(c.descriptor_at >> (24 - 8 * i));
        }
        ASSERT_TRUE(bird.FindSerialNumberOffsets());
        ASSERT_EQ(bird.serial_address(), c.serial_at);
        ASSERT_EQ(bird.descriptor_address(), c.descriptor_at);
        BirdBlock block = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
        ASSERT_EQ(block.length, 0x104u);
        std::string before = Bytes(block.data, block.length + 4);
        std::string expected = before;
        if (c.word_offset >= 0)
            expected.replace(4 + c.word_offset, 4, "\xCD\xAB\x12\x00", 4);
        if (c.descriptor_offset >= 0)
            for (int i = 0; i < 8; ++i)
                expected[4 + c.descriptor_offset + 2 * i] = "0012ABCD"[i];
        EXPECT_EQ(bird.ReplaceSerialNumber(0x0012ABCD), c.answer) << std::hex << c.serial_at << " " << c.descriptor_at;
        // The block and the four bytes after it (the checksum) compared whole.
        EXPECT_EQ(Bytes(block.data, block.length + 4), expected) << std::hex << c.serial_at << " " << c.descriptor_at;
    }
}

TEST_F(BirdFileTest, VectorChecksumCoversTheFirstSevenWordsButTheSixth)
{
    BirdFile bird(MakeBird(dir / "v.bird", {"--firmware-size", "64", "--loader-size", "64"}));
    BirdFile moved(MakeBird(dir / "w.bird", {"--firmware-size", "64", "--firmware-address", "0x100"}));
    auto word = [](const uint8_t *p) { return (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; };

    BirdBlock fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    BirdBlock ldr = bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0);
    std::string loader_before = Bytes(ldr.data, ldr.length);
    std::string code_before = Bytes(fw.Code(), fw.CodeLength());
    EXPECT_TRUE(bird.ReplaceVectorChecksum());
    const uint8_t *code = fw.Code();
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i)
        if (i != 5)
            sum += word(code + 4 * i);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(Bytes(code, 28), code_before.substr(0, 28));
    EXPECT_EQ(Bytes(code + 32, fw.CodeLength() - 32), code_before.substr(32));
    EXPECT_EQ(Bytes(ldr.data, ldr.length), loader_before) << "loader blocks are not touched";

    BirdBlock other = moved.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    std::string other_before = Bytes(other.data, other.length);
    EXPECT_TRUE(moved.ReplaceVectorChecksum());
    EXPECT_EQ(Bytes(other.data, other.length), other_before);

    // Code shorter than the eight words is left alone.
    BirdFile tiny(MakeBird(dir / "t.bird", {"--firmware-size", "20"}));
    BirdBlock small = tiny.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    std::string small_before = Bytes(small.data, small.length + 4);
    EXPECT_TRUE(tiny.ReplaceVectorChecksum());
    EXPECT_EQ(Bytes(small.data, small.length + 4), small_before);
}

TEST_F(BirdFileTest, ChipDecodingUndoesTheBuildersEncoding)
{
    std::string plain = Code(1000, 9);
    fixtures::WriteFile(dir / "plain.bin", plain);
    BirdFile bird(MakeBird(dir / "e.bird", {"--firmware", dir / "plain.bin", "--encode-key",
                                            "0x01020304,0xA0B0C0D0,0xDEADBEEF,0x00FF00FF"}));
    BirdBlock fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
    std::string after = Bytes(fw.Code() + fw.CodeLength(), 4);
    ASSERT_NE(Bytes(fw.Code(), fw.CodeLength()), plain);
    const uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 0xDEADBEEF, 0x00FF00FF};
    EXPECT_TRUE(bird.DecodeFirmwareBlocks(key));
    EXPECT_EQ(Bytes(fw.Code(), fw.CodeLength()), plain);
    EXPECT_EQ(Bytes(fw.Code() + fw.CodeLength(), 4), after) << "bytes after the code stay";
    EXPECT_EQ(fw.address, 0u);
}

TEST_F(BirdFileTest, PatternSearchLooksOnlyInFirmwareBlocks)
{
    std::string firmware = Code(200, 4), loader = "LOADER-ONLY-MARK" + Code(50, 5);
    fixtures::WriteFile(dir / "fw.bin", firmware);
    fixtures::WriteFile(dir / "ldr.bin", loader);
    BirdFile bird(MakeBird(dir / "p.bird", {"--firmware", dir / "fw.bin", "--loader", dir / "ldr.bin"}));
    std::string inside = firmware.substr(100, 12);
    EXPECT_TRUE(bird.ValidateData((const uint8_t *)inside.data(), inside.size()));
    EXPECT_FALSE(bird.ValidateData((const uint8_t *)"LOADER-ONLY-MARK", 16));
    std::string longer(5000, 'x');
    EXPECT_FALSE(bird.ValidateData((const uint8_t *)longer.data(), longer.size()));
    EXPECT_FALSE(bird.ValidateData(nullptr, 0));
}

TEST_F(BirdFileTest, DumpPrintsHexAndTextInRowsOfFifty)
{
    std::string data = "AB\x01" + std::string(50, 'z');
    fixtures::WriteFile(dir / "raw.bin", data);
    BirdFile bird(MakeBird(dir / "d.bird", {"--no-info", "--block", "0x07:" + dir / "raw.bin"}));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(bird.DumpBlocks(7));
    std::string out = testing::internal::GetCapturedStdout();
    std::string row1 = "41 42 01 ";
    for (int i = 0; i < 47; ++i)
        row1 += "7A ";
    std::string expected = "BIRDFILE: BLOCK DUMP [" + dir / "d.bird" + "]\n" + " \r\n000000: " + row1 + " AB " +
                           std::string(47, 'z') + "\r\n000050: 7A 7A 7A  zzz\n\n";
    EXPECT_EQ(out, expected);
}

TEST_F(BirdFileTest, MovingHandsOverThePayloadAndItsBlocks)
{
    BirdFile source(MakeBird(dir / "mv.bird", {"--firmware-size", "100", "--build", "77"}));
    const uint8_t *payload = source.payload();
    BirdFile target(std::move(source));
    EXPECT_EQ(target.payload(), payload);
    EXPECT_EQ(target.GetBuild(), 77u);
    EXPECT_EQ(target.blocks().at(1).data, payload + 4 + 5 + 64 + 5);
    EXPECT_EQ(source.payload(), nullptr);
    EXPECT_TRUE(source.blocks().empty());
    EXPECT_EQ(source.GetBuild(), 0u);

    BirdFile empty;
    EXPECT_EQ(empty.block_count(), 0);
    EXPECT_EQ(empty.payload_size(), 0u);
    EXPECT_TRUE(empty.path().empty());
    empty = std::move(target);
    EXPECT_EQ(empty.GetBuild(), 77u);
}

TEST_F(BirdFileTest, LoadsFromMemoryWithoutReadingPastTheBuffer)
{
    std::string image = fixtures::ReadFile(MakeBird(dir / "mem.bird", {"--firmware-size", "500"}));
    // Every prefix of a valid image either loads or fails; none reads past its end
    // (the sanitizer build checks the reads).
    for (size_t cut = 0; cut <= image.size(); cut += 7) {
        std::vector<uint8_t> prefix(image.begin(), image.begin() + cut);
        BirdFile bird;
        bool loaded = bird.LoadBuffer(prefix.data(), prefix.size());
        if (cut < image.size()) {
            EXPECT_FALSE(loaded) << cut;
        }
    }
    BirdFile bird;
    EXPECT_TRUE(bird.LoadBuffer((const uint8_t *)image.data(), image.size()));
    EXPECT_EQ(bird.block_count(), 2);
}

TEST_F(BirdFileTest, AFiftyMegabyteImageCostsAboutItsPayload)
{
    // Random code does not compress: the file and the payload are both ~50 MB.
    std::string path = MakeBird(dir / "big.bird", {"--firmware-size", "52428800", "--level", "1"});
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    {
        BirdFile bird(path);
        ASSERT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0).CodeLength(), 52428800u);
    }
    getrusage(RUSAGE_SELF, &after);
    // Neither a copy of the file nor the eight-fold bound is held.
    long grown_kb = after.ru_maxrss - before.ru_maxrss;
    EXPECT_LT(grown_kb, 80 * 1024) << "peak grew by " << grown_kb << " KiB";
}

} // namespace
