// Generic stream layer (push-back ring, records, texts, flush) and file streams.
#include "common/vStream.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A scripted variant: get hands out the script (a byte, or an error code as a
// negative entry); put and write record what reaches the variant.
struct Script {
    std::deque<int> in;  // >= 0 byte, < 0 -vErr
    std::vector<std::string> writes;  // one entry per write call
    std::string puts;
    int deletes = 0;
    vErr putError = vErrNone;
    size_t putsBeforeError = 0;

    void bytes(const std::string &text)
    {
        for (unsigned char c : text)
            in.push_back(c);
    }
    void error(vErr e) { in.push_back(-static_cast<int>(e)); }

    static vErr get(uint8_t *byte, void *ref)
    {
        Script *s = static_cast<Script *>(ref);
        if (s->in.empty())
            return vErrNotReady;
        int v = s->in.front();
        s->in.pop_front();
        if (v < 0)
            return static_cast<vErr>(-v);
        *byte = static_cast<uint8_t>(v);
        return vErrNone;
    }
    static vErr put(uint8_t byte, void *ref)
    {
        Script *s = static_cast<Script *>(ref);
        if (s->putError != vErrNone && s->puts.size() >= s->putsBeforeError)
            return s->putError;
        s->puts.push_back(static_cast<char>(byte));
        return vErrNone;
    }
    static vErr write(const uint8_t *data, uint32_t length, void *ref)
    {
        static_cast<Script *>(ref)->writes.emplace_back(reinterpret_cast<const char *>(data), length);
        return vErrNone;
    }
    static vErr del(void *ref)
    {
        ++static_cast<Script *>(ref)->deletes;
        return vErrBusy;  // distinctive, so the test sees it passed through
    }
};

struct ScriptedStream : ::testing::Test {
    Script script;
    vStream *stream = nullptr;
    void SetUp() override
    {
        stream = vStream_Create(Script::get, Script::put, Script::write, nullptr, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override { vStream_Destroy(&stream); }

    std::string read(uint32_t n, vErr expected = vErrNone)
    {
        std::vector<uint8_t> buf(n + 1, 0xEE);
        EXPECT_EQ(vStream_Read(stream, buf.data(), n), expected);
        return std::string(buf.begin(), buf.begin() + n);
    }
};

TEST_F(ScriptedStream, DryReadKeepsItsBytesForTheNextRead)
{
    script.bytes("ab");
    read(4, vErrNotReady);
    script.bytes("cdef");
    EXPECT_EQ(read(4), "abcd");
    EXPECT_EQ(read(2), "ef");
    read(1, vErrNotReady);
}

TEST_F(ScriptedStream, FailedReadKeepsItsBytesToo)
{
    script.bytes("xy");
    script.error(vErrIO);
    read(3, vErrIO);
    script.bytes("z");
    EXPECT_EQ(read(3), "xyz");
}

TEST_F(ScriptedStream, PushBackRingGrowsInOrderWhileWrapped)
{
    // First leave the ring's head in the middle, then hand back more than its
    // first 512 bytes so it has to grow while the contents wrap around.
    std::string first(400, '\0'), second(700, '\0');
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<char>('A' + i % 26);
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<char>(i * 7 % 251 + 1);

    script.bytes(first);
    read(401, vErrNotReady);
    EXPECT_EQ(read(400), first);

    script.bytes(second.substr(0, 600));
    read(700, vErrNotReady);
    script.bytes(second.substr(600));
    EXPECT_EQ(read(700), second);
}

TEST_F(ScriptedStream, EndOfFileHandsOverWhatWasRead)
{
    script.bytes("ab");
    script.error(vErrEOF);
    EXPECT_EQ(read(3, vErrEOF).substr(0, 2), "ab");
    read(1, vErrNotReady);  // nothing was kept back
}

TEST(Stream, WriteChoosesBetweenWriteAndPut)
{
    struct Case {
        const char *name;
        bool withPut, withWrite;
        std::string data;
        vErr result;
        std::vector<std::string> writes;
        std::string puts;
    };
    const Case cases[] = {
        {"one byte goes through put", true, true, "a", vErrNone, {}, "a"},
        {"a block is one write call", true, true, "abc", vErrNone, {"abc"}, ""},
        {"no write: put per byte", true, false, "abc", vErrNone, {}, "abc"},
        {"no put: one byte by write", false, true, "a", vErrNone, {"a"}, ""},
        {"neither", false, false, "ab", vErrMode, {}, ""},
    };
    for (const Case &c : cases) {
        Script script;
        vStream *s = vStream_Create(Script::get, c.withPut ? Script::put : nullptr,
                                    c.withWrite ? Script::write : nullptr, nullptr, &script);
        EXPECT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>(c.data.data()),
                                static_cast<uint32_t>(c.data.size())),
                  c.result)
            << c.name;
        EXPECT_EQ(script.writes, c.writes) << c.name;
        EXPECT_EQ(script.puts, c.puts) << c.name;
        vStream_Destroy(&s);
    }
}

TEST(Stream, PutPerByteStopsAtFirstError)
{
    Script script;
    script.putError = vErrIO;
    script.putsBeforeError = 2;
    vStream *s = vStream_Create(nullptr, Script::put, nullptr, nullptr, &script);
    EXPECT_EQ(vStream_Write(s, reinterpret_cast<const uint8_t *>("abcd"), 4), vErrIO);
    EXPECT_EQ(script.puts, "ab");
    vStream_Destroy(&s);
}

TEST(Stream, DestroyRunsDeleteOnceAndClearsTheHandle)
{
    Script script;
    vStream *s = vStream_Create(Script::get, nullptr, nullptr, Script::del, &script);
    vStream *copy = s;
    EXPECT_EQ(vStream_Destroy(&s), vErrBusy);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(vStream_Destroy(&s), vErrParam);
    EXPECT_EQ(vStream_Destroy(nullptr), vErrParam);
    (void)copy;
    uint8_t b;
    EXPECT_EQ(vStream_Read(nullptr, &b, 1), vErrParam);
    EXPECT_EQ(vStream_Write(nullptr, &b, 1), vErrParam);
}

TEST(Stream, ReadWithoutGetIsAModeError)
{
    Script script;
    vStream *s = vStream_Create(nullptr, Script::put, nullptr, nullptr, &script);
    uint8_t b;
    EXPECT_EQ(vStream_Read(s, &b, 1), vErrMode);
    vStream_Destroy(&s);
}

TEST_F(ScriptedStream, RecordsEndAtTheTerminatorOrTheSize)
{
    const uint8_t crlf[] = {'\r', '\n'};
    struct Case {
        const char *input;
        uint32_t size;
        const char *record;
        const char *left;  // what the next read sees
    };
    const Case cases[] = {
        {"ab\r\ncd", 16, "ab", "cd"},
        {"\r\nxy", 16, "", "xy"},
        {"abcdef\r\n", 3, "abc", "def\r\n"},
        {"abc", 0, "", "abc"},
    };
    for (const Case &c : cases) {
        script.in.clear();
        script.bytes(c.input);
        uint8_t buf[32];
        std::memset(buf, 0xEE, sizeof buf);
        uint32_t count = 99;
        ASSERT_EQ(vStream_ReadRecord(stream, buf, &count, c.size, crlf, 2), vErrNone) << c.input;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), count), c.record) << c.input;
        EXPECT_EQ(buf[c.size], 0xEE) << "stored past the size: " << c.input;
        std::string left = c.left;
        EXPECT_EQ(read(static_cast<uint32_t>(left.size())), left) << c.input;
    }
}

TEST_F(ScriptedStream, RecordInterruptedInsideTheTerminatorLosesNothing)
{
    const uint8_t crlf[] = {'\r', '\n'};
    uint8_t buf[16];
    uint32_t count = 0;
    script.bytes("ab\r");
    EXPECT_EQ(vStream_ReadRecord(stream, buf, &count, sizeof buf, crlf, 2), vErrNotReady);
    script.bytes("\nz");
    ASSERT_EQ(vStream_ReadRecord(stream, buf, &count, sizeof buf, crlf, 2), vErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), count), "ab");
    EXPECT_EQ(read(1), "z");
}

TEST_F(ScriptedStream, RecordAtEndOfFile)
{
    const uint8_t nl = '\n';
    uint8_t buf[16];
    uint32_t count = 0;
    script.bytes("tail");
    script.error(vErrEOF);
    ASSERT_EQ(vStream_ReadRecord(stream, buf, &count, sizeof buf, &nl, 1), vErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), count), "tail");
    script.error(vErrEOF);
    EXPECT_EQ(vStream_ReadRecord(stream, buf, &count, sizeof buf, &nl, 1), vErrEOF);
}

// A stream whose put feeds its own get: what is written can be read back.
struct Loop {
    std::deque<uint8_t> bytes;
    static vErr get(uint8_t *b, void *ref)
    {
        Loop *l = static_cast<Loop *>(ref);
        if (l->bytes.empty())
            return vErrNotReady;
        *b = l->bytes.front();
        l->bytes.pop_front();
        return vErrNone;
    }
    static vErr put(uint8_t b, void *ref)
    {
        static_cast<Loop *>(ref)->bytes.push_back(b);
        return vErrNone;
    }
};

TEST(Stream, TextsRoundTrip)
{
    Loop loop;
    vStream *s = vStream_Create(Loop::get, Loop::put, nullptr, nullptr, &loop);
    ASSERT_EQ(vStream_WriteCString(s, "hello"), vErrNone);
    ASSERT_EQ(vStream_WriteCStringRecord(s, "one", "END"), vErrNone);
    ASSERT_EQ(vStream_WriteCStringRecord(s, "two", "END"), vErrNone);
    ASSERT_EQ(vStream_WriteCString(s, "truncated text"), vErrNone);
    EXPECT_EQ(loop.bytes.size(), 6u + 7u + 7u + 15u);

    char buf[32];
    ASSERT_EQ(vStream_ReadCString(s, buf, sizeof buf), vErrNone);
    EXPECT_STREQ(buf, "hello");
    ASSERT_EQ(vStream_ReadCStringRecord(s, buf, sizeof buf, "END"), vErrNone);
    EXPECT_STREQ(buf, "one");
    ASSERT_EQ(vStream_ReadCStringRecord(s, buf, sizeof buf, "END"), vErrNone);
    EXPECT_STREQ(buf, "two");
    char small[6];
    ASSERT_EQ(vStream_ReadCString(s, small, sizeof small), vErrNone);
    EXPECT_STREQ(small, "trunc");
    vStream_Destroy(&s);
}

struct TempDir : ::testing::Test {
    fixtures::TempDir temp;
    std::string dir = temp.path();
};

TEST_F(TempDir, FileStreamsAndFlushCopyAFile)
{
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data.push_back(static_cast<char>(i * 13));
    std::string src = dir + "/src", dst = dir + "/dst";

    vStream *out = nullptr;
    ASSERT_EQ(vStream_CreateFileOutput(src.c_str(), &out), vErrNone);
    ASSERT_EQ(vStream_Write(out, reinterpret_cast<const uint8_t *>(data.data()),
                            static_cast<uint32_t>(data.size())),
              vErrNone);
    uint8_t b;
    EXPECT_EQ(vStream_Read(out, &b, 1), vErrMode);
    vStream_Destroy(&out);

    vStream *in = nullptr, *copy = nullptr;
    ASSERT_EQ(vStream_CreateFileInput(src.c_str(), &in), vErrNone);
    ASSERT_EQ(vStream_CreateFileOutput(dst.c_str(), &copy), vErrNone);
    EXPECT_EQ(vStream_Flush(copy, in), vErrMode);  // wrong way round: no get / no put
    EXPECT_EQ(vStream_Flush(in, copy), vErrNone);
    EXPECT_EQ(vStream_Read(in, &b, 1), vErrEOF);
    vStream_Destroy(&in);
    vStream_Destroy(&copy);

    FILE *f = std::fopen(dst.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string back(data.size() + 1, '\0');
    back.resize(std::fread(&back[0], 1, back.size(), f));
    std::fclose(f);
    EXPECT_EQ(back, data);
}

TEST_F(TempDir, FileStreamsThatCannotOpen)
{
    vStream *s = reinterpret_cast<vStream *>(&s);
    EXPECT_EQ(vStream_CreateFileInput((dir + "/missing").c_str(), &s), vErrResource);
    EXPECT_EQ(s, nullptr);
    s = reinterpret_cast<vStream *>(&s);
    EXPECT_EQ(vStream_CreateFileOutput((dir + "/no/such/dir/f").c_str(), &s), vErrResource);
    EXPECT_EQ(s, nullptr);
}

} // namespace
