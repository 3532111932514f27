#include "common/vFile.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = temp_.path();
    }
    void TearDown() override { ASSERT_TRUE(temp_.remove()); }
    std::string Path(const char *name) const { return dir_ + "/" + name; }
    // Writes text through the library and closes the file.
    void Write(const std::string &path, const std::string &text)
    {
        vFile *f = vFile_Open(path.c_str(), vFileModeWrite);
        ASSERT_NE(f, nullptr);
        size_t count = 0;
        ASSERT_EQ(vFile_Write(f, text.data(), text.size(), &count), vErrNone);
        ASSERT_EQ(count, text.size());
        ASSERT_EQ(vFile_Close(&f), vErrNone);
    }
    std::string Slurp(const std::string &path)
    {
        vFile *f = vFile_Open(path.c_str(), vFileModeRead);
        EXPECT_NE(f, nullptr);
        if (!f)
            return "";
        std::string all;
        char buf[7];
        size_t n = 0;
        while (vFile_Read(f, buf, sizeof(buf), &n) == vErrNone)
            all.append(buf, n);
        vFile_Close(&f);
        return all;
    }
    fixtures::TempDir temp_;
    std::string dir_;
};

} // namespace

TEST_F(FileTest, OpenRejectsBadArguments)
{
    std::string longPath(vMAX_PATH_LENGTH + 1, 'a');
    EXPECT_EQ(vFile_Open(nullptr, vFileModeRead), nullptr);
    EXPECT_EQ(vFile_Open("", vFileModeRead), nullptr);
    EXPECT_EQ(vFile_Open(longPath.c_str(), vFileModeWrite), nullptr);
    EXPECT_EQ(vFile_Open(Path("x").c_str(), 3), nullptr);
    EXPECT_EQ(vFile_Open(Path("x").c_str(), -1), nullptr);
    EXPECT_EQ(vFile_Open(Path("missing").c_str(), vFileModeRead), nullptr);
    EXPECT_EQ(vFile_Open(Path("no/such/dir").c_str(), vFileModeWrite), nullptr);
    EXPECT_EQ(vFile_Open(dir_.c_str(), vFileModeWrite), nullptr);
}

TEST_F(FileTest, ModesAllowOnlyTheirOperations)
{
    std::string p = Path("modes");
    Write(p, "abc");
    char buf[4];
    size_t n = 99;

    vFile *w = vFile_Open(p.c_str(), vFileModeWrite);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(vFile_Read(w, buf, 1, &n), vErrMode);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(vFile_ReadLine(w, buf, sizeof(buf), &n), vErrMode);
    EXPECT_EQ(vFile_Close(&w), vErrNone);
    EXPECT_EQ(Slurp(p), ""); // write mode truncates

    Write(p, "abc");
    vFile *r = vFile_Open(p.c_str(), vFileModeRead);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(vFile_Write(r, "x", 1, &n), vErrMode);
    EXPECT_EQ(vFile_Printf(r, "%d", 1), vErrMode);
    EXPECT_EQ(vFile_SetUnbuffered(r), vErrMode);
    EXPECT_EQ(vFile_Close(&r), vErrNone);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(vFile_Close(&r), vErrParam);
    EXPECT_EQ(vFile_Close(nullptr), vErrParam);
    EXPECT_EQ(vFile_Read(nullptr, buf, 1, &n), vErrParam);
    EXPECT_EQ(vFile_Write(nullptr, buf, 1, &n), vErrParam);
}

TEST_F(FileTest, AppendWritesAtEndAndReadsBack)
{
    std::string p = Path("append");
    Write(p, "one\n");
    vFile *a = vFile_Open(p.c_str(), vFileModeAppend);
    ASSERT_NE(a, nullptr);
    uint64_t pos = 99;
    ASSERT_EQ(vFile_GetPosition(a, &pos), vErrNone);
    EXPECT_EQ(pos, 4u); // positioned at the end
    EXPECT_EQ(vFile_Printf(a, "%s-%d\n", "two", 2), vErrNone);
    // Read from the start, then write again: the write still lands at the end.
    ASSERT_EQ(vFile_Seek(a, 0, 0), vErrNone);
    char line[16];
    size_t len = 0;
    ASSERT_EQ(vFile_ReadLine(a, line, sizeof(line), &len), vErrNone);
    EXPECT_STREQ(line, "one\n");
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(vFile_Write(a, "3", 1, nullptr), vErrNone);
    EXPECT_EQ(vFile_Close(&a), vErrNone);
    EXPECT_EQ(Slurp(p), "one\ntwo-2\n3");
}

TEST_F(FileTest, ReadReportsEndOfFile)
{
    std::string p = Path("eof");
    Write(p, "12345");
    vFile *f = vFile_Open(p.c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    char buf[16];
    size_t n = 0;
    EXPECT_EQ(vFile_Read(f, buf, sizeof(buf), &n), vErrNone); // short read is fine
    EXPECT_EQ(n, 5u);
    n = 99;
    EXPECT_EQ(vFile_Read(f, buf, sizeof(buf), &n), vErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(vFile_Read(f, buf, 0, &n), vErrNone); // nothing asked, nothing missing
    EXPECT_EQ(vFile_Read(f, buf, 1, nullptr), vErrEOF);
    vFile_Close(&f);
}

TEST_F(FileTest, SeekStaysWithinFile)
{
    std::string p = Path("seek");
    Write(p, "0123456789");
    vFile *f = vFile_Open(p.c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    struct Case { int64_t offset; int origin; vErr result; uint64_t position; };
    const Case cases[] = {
        {4, 0, vErrNone, 4},
        {2, 1, vErrNone, 6},
        {-6, 1, vErrNone, 0},
        {-1, 1, vErrRange, 0},
        {10, 0, vErrNone, 10},   // exactly the end
        {11, 0, vErrRange, 10},  // one past the end
        {0, 2, vErrNone, 10},
        {-10, 2, vErrNone, 0},
        {1, 2, vErrRange, 0},
        {-11, 2, vErrRange, 0},
        {0, 3, vErrParam, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(vFile_Seek(f, c.offset, c.origin), c.result) << c.offset << " from " << c.origin;
        uint64_t pos = 12345;
        ASSERT_EQ(vFile_GetPosition(f, &pos), vErrNone);
        EXPECT_EQ(pos, c.position) << c.offset << " from " << c.origin;
    }
    ASSERT_EQ(vFile_Seek(f, 3, 0), vErrNone);
    uint64_t size = 0, pos = 0;
    ASSERT_EQ(vFile_GetSize(f, &size), vErrNone);
    EXPECT_EQ(size, 10u);
    ASSERT_EQ(vFile_GetPosition(f, &pos), vErrNone);
    EXPECT_EQ(pos, 3u); // size lookup leaves the position alone
    char c = 0;
    ASSERT_EQ(vFile_Read(f, &c, 1, nullptr), vErrNone);
    EXPECT_EQ(c, '3');
    vFile_Close(&f);
}

TEST_F(FileTest, ReadLineSplitsLines)
{
    std::string p = Path("lines");
    Write(p, "short\nabcdefghij\nlast");
    vFile *f = vFile_Open(p.c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    char buf[8];
    size_t len = 0;
    EXPECT_EQ(vFile_ReadLine(f, buf, sizeof(buf), &len), vErrNone);
    EXPECT_STREQ(buf, "short\n");
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(vFile_ReadLine(f, buf, sizeof(buf), &len), vErrOverrun);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(vFile_ReadLine(f, buf, sizeof(buf), &len), vErrNone); // the rest of that line
    EXPECT_STREQ(buf, "hij\n");
    EXPECT_EQ(vFile_ReadLine(f, buf, sizeof(buf), &len), vErrNone); // last line has no newline
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(vFile_ReadLine(f, buf, sizeof(buf), &len), vErrEOF);
    EXPECT_EQ(len, 0u);
    vFile_Close(&f);
}

TEST_F(FileTest, ExistsAndDelete)
{
    std::string p = Path("victim");
    EXPECT_FALSE(vFile_Exists(p.c_str()));
    EXPECT_EQ(vFile_Delete(p.c_str()), vErrNotFound);
    Write(p, "x");
    EXPECT_TRUE(vFile_Exists(p.c_str()));
    EXPECT_FALSE(vFile_Exists(dir_.c_str())); // a directory is not a file
    EXPECT_FALSE(vFile_Exists(nullptr));
    EXPECT_EQ(vFile_Delete(p.c_str()), vErrNone);
    EXPECT_FALSE(vFile_Exists(p.c_str()));

    std::string longPath(vMAX_PATH_LENGTH + 1, 'a');
    EXPECT_FALSE(vFile_Exists(longPath.c_str()));
    EXPECT_EQ(vFile_Delete(longPath.c_str()), vErrFileNameLength);
    EXPECT_EQ(vFile_Delete(nullptr), vErrParam);
    EXPECT_EQ(vFile_Delete(dir_.c_str()), vErrIO);

    if (geteuid() != 0) { // root ignores directory permissions
        std::string locked = Path("locked");
        ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
        std::string inner = locked + "/f";
        Write(inner, "x");
        ASSERT_EQ(chmod(locked.c_str(), 0500), 0);
        EXPECT_EQ(vFile_Delete(inner.c_str()), vErrPermission);
        EXPECT_EQ(vFile_Open(Path("locked/new").c_str(), vFileModeWrite), nullptr);
        chmod(locked.c_str(), 0700);
    }
}

TEST_F(FileTest, UnbufferedWritesReachTheFileAtOnce)
{
    std::string p = Path("unbuffered");
    vFile *f = vFile_Open(p.c_str(), vFileModeAppend);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(vFile_SetUnbuffered(f), vErrNone);
    ASSERT_EQ(vFile_Printf(f, "%05d", 42), vErrNone);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5); // visible before close
    vFile_Close(&f);
}
