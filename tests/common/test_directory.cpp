#include "common/vDirectory.h"
#include "common/vFile.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = temp_.path();
    }
    void TearDown() override { ASSERT_TRUE(temp_.remove()); }
    std::string Path(const std::string &rel) const { return dir_ + "/" + rel; }
    void Touch(const std::string &rel, const std::string &text = "data")
    {
        vFile *f = vFile_Open(Path(rel).c_str(), vFileModeWrite);
        ASSERT_NE(f, nullptr) << rel;
        ASSERT_EQ(vFile_Write(f, text.data(), text.size(), nullptr), vErrNone);
        vFile_Close(&f);
    }
    fixtures::TempDir temp_;
    std::string dir_;
};

struct Listing {
    std::map<std::string, std::pair<uint32_t, bool>> entries;
    int calls = 0;
    int stopAfter = -1;
};

bool Collect(const vDirectoryListData *entry, void *user)
{
    Listing *l = static_cast<Listing *>(user);
    l->entries[entry->path] = {entry->size, entry->isDirectory};
    ++l->calls;
    return l->stopAfter < 0 || l->calls < l->stopAfter;
}

} // namespace

TEST(BuildPath, SeparatorRule)
{
    struct Case { const char *first, *second, *third; const char *expected; };
    const Case cases[] = {
        {"a/", "b", nullptr, "a/b"},
        {"a", "/b", nullptr, "a/b"},
        {"a", "b", nullptr, "a/b"},
        {"a/", "/b", nullptr, "a//b"},       // both sides: left as given
        {"/root", "sub", "file.bird", "/root/sub/file.bird"},
        {"a", nullptr, nullptr, "a"},
        {"", "b", nullptr, "b"},             // stays relative
        {"a", "", "c", "a/c"},
        {"/", "etc", nullptr, "/etc"},
    };
    for (const Case &c : cases) {
        char out[64];
        EXPECT_EQ(vDirectory_BuildPath(out, sizeof(out), c.first, c.second, c.third, static_cast<const char *>(nullptr)), vErrNone);
        EXPECT_STREQ(out, c.expected) << c.first << " + " << (c.second ? c.second : "(end)");
    }
    char out[16];
    EXPECT_EQ(vDirectory_JoinPath(out, sizeof(out), "dir", "x"), vErrNone);
    EXPECT_STREQ(out, "dir/x");
}

TEST(BuildPath, Limits)
{
    char out[8];
    // "abc/def" needs 8 bytes with the terminator: fits exactly.
    EXPECT_EQ(vDirectory_JoinPath(out, sizeof(out), "abc", "def"), vErrNone);
    EXPECT_STREQ(out, "abc/def");
    EXPECT_EQ(vDirectory_JoinPath(out, sizeof(out), "abc", "defg"), vErrOverrun);
    EXPECT_EQ(vDirectory_JoinPath(out, sizeof(out), "abcdefgh", "x"), vErrOverrun);
    EXPECT_EQ(vDirectory_JoinPath(out, 0, "a", "b"), vErrParam);
    EXPECT_EQ(vDirectory_JoinPath(nullptr, 8, "a", "b"), vErrParam);
    EXPECT_EQ(vDirectory_JoinPath(out, sizeof(out), nullptr, "b"), vErrParam);

    char self[32] = "a";
    EXPECT_EQ(vDirectory_JoinPath(self, sizeof(self), self, "b"), vErrParam);
    EXPECT_EQ(vDirectory_JoinPath(out, sizeof(out), "b", out), vErrParam);

    char big[64];
    const char *p = "p";
    EXPECT_EQ(vDirectory_BuildPath(big, sizeof(big), "r", p, p, p, p, p, p, p, p, p, p, static_cast<const char *>(nullptr)), vErrNone);
    EXPECT_STREQ(big, "r/p/p/p/p/p/p/p/p/p/p");
    EXPECT_EQ(vDirectory_BuildPath(big, sizeof(big), "r", p, p, p, p, p, p, p, p, p, p, p, static_cast<const char *>(nullptr)), vErrParam);
}

TEST_F(DirectoryTest, EnsureCreatesMissingParents)
{
    std::string deep = Path("a/b/c");
    EXPECT_FALSE(vDirectory_Exists(Path("a").c_str()));
    ASSERT_EQ(vDirectory_Ensure(deep.c_str(), 0755), vErrNone);
    for (const char *rel : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(stat(Path(rel).c_str(), &st), 0) << rel;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u) << rel;
    }
    EXPECT_EQ(vDirectory_Ensure(deep.c_str(), 0755), vErrNone); // again: no change
    EXPECT_EQ(vDirectory_Ensure((deep + "/").c_str(), 0755), vErrNone);
    EXPECT_EQ(vDirectory_Ensure(Path("x//y/").c_str(), 0700), vErrNone);
    EXPECT_TRUE(vDirectory_Exists(Path("x/y").c_str()));
}

TEST_F(DirectoryTest, EnsureFailsWhenAFileIsInTheWay)
{
    Touch("file");
    EXPECT_EQ(vDirectory_Ensure(Path("file").c_str(), 0755), vErrPermission);
    EXPECT_EQ(vDirectory_Ensure(Path("file/sub").c_str(), 0755), vErrPermission);
    EXPECT_EQ(vDirectory_Ensure(nullptr, 0755), vErrParam);
    EXPECT_EQ(vDirectory_Ensure("", 0755), vErrParam);
    std::string longPath = "/" + std::string(vMAX_PATH_LENGTH, 'a');
    EXPECT_EQ(vDirectory_Ensure(longPath.c_str(), 0755), vErrFileNameLength);
    if (geteuid() != 0) {
        ASSERT_EQ(mkdir(Path("ro").c_str(), 0500), 0);
        EXPECT_EQ(vDirectory_Ensure(Path("ro/sub").c_str(), 0755), vErrPermission);
    }
}

TEST_F(DirectoryTest, ListReportsEveryEntry)
{
    Touch("f1", "12345");
    ASSERT_EQ(vDirectory_Ensure(Path("sub").c_str(), 0755), vErrNone);
    Listing l;
    ASSERT_EQ(vDirectory_List(dir_.c_str(), Collect, &l), vErrNone);
    EXPECT_EQ(l.calls, 4);
    ASSERT_EQ(l.entries.count(Path("f1")), 1u);
    EXPECT_EQ(l.entries[Path("f1")].first, 5u);
    EXPECT_FALSE(l.entries[Path("f1")].second);
    EXPECT_TRUE(l.entries[Path("sub")].second);
    EXPECT_TRUE(l.entries[Path(".")].second);
    EXPECT_TRUE(l.entries[Path("..")].second);

    Listing first;
    first.stopAfter = 1;
    ASSERT_EQ(vDirectory_List(dir_.c_str(), Collect, &first), vErrNone);
    EXPECT_EQ(first.calls, 1);

    // A trailing separator does not double up in the entry paths.
    Listing slash;
    ASSERT_EQ(vDirectory_List((dir_ + "/").c_str(), Collect, &slash), vErrNone);
    EXPECT_EQ(slash.entries.count(Path("f1")), 1u);

    Listing none;
    EXPECT_EQ(vDirectory_List(Path("missing").c_str(), Collect, &none), vErrNotFound);
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(vDirectory_List(dir_.c_str(), nullptr, &none), vErrParam);
}

TEST_F(DirectoryTest, DeleteTreeRemovesEverythingBelow)
{
    ASSERT_EQ(vDirectory_Ensure(Path("t/a/b").c_str(), 0755), vErrNone);
    ASSERT_EQ(vDirectory_Ensure(Path("t/empty").c_str(), 0755), vErrNone);
    Touch("t/top");
    Touch("t/a/mid");
    Touch("t/a/b/leaf");
    // A link to a directory outside the tree is removed, not followed.
    ASSERT_EQ(vDirectory_Ensure(Path("outside").c_str(), 0755), vErrNone);
    Touch("outside/keep");
    ASSERT_EQ(symlink(Path("outside").c_str(), Path("t/a/link").c_str()), 0);

    EXPECT_EQ(vDirectory_Delete(Path("t").c_str()), vErrUnknown); // not empty
    EXPECT_EQ(vDirectory_DeleteTree(Path("t").c_str()), vErrNone);
    EXPECT_FALSE(vDirectory_Exists(Path("t").c_str()));
    EXPECT_TRUE(vFile_Exists(Path("outside/keep").c_str()));
    EXPECT_EQ(vDirectory_DeleteTree(Path("t").c_str()), vErrNotFound);

    EXPECT_EQ(vDirectory_Delete(Path("outside").c_str()), vErrUnknown);
    ASSERT_EQ(vFile_Delete(Path("outside/keep").c_str()), vErrNone);
    EXPECT_EQ(vDirectory_Delete(Path("outside").c_str()), vErrNone);
}

TEST_F(DirectoryTest, DeleteTreeStopsAtAFileItCannotRemove)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root may remove files from read-only directories";
    ASSERT_EQ(vDirectory_Ensure(Path("t/locked").c_str(), 0755), vErrNone);
    Touch("t/locked/f");
    ASSERT_EQ(chmod(Path("t/locked").c_str(), 0555), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vDirectory_DeleteTree(Path("t").c_str()), vErrUnknown);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("vDirectory_DeleteTree"), std::string::npos) << err;
    EXPECT_NE(err.find("---error unlink-ing file [" + Path("t/locked/f") + "]\n"), std::string::npos) << err;
    EXPECT_TRUE(vFile_Exists(Path("t/locked/f").c_str()));
}

TEST(DirectoryInfo, ProcessPaths)
{
    char buf[4096];
    ASSERT_EQ(vDirectory_CWD(buf, sizeof(buf)), vErrNone);
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof(expected)), nullptr);
    EXPECT_STREQ(buf, expected);
    EXPECT_EQ(vDirectory_CWD(buf, 1), vErrParam);

    ASSERT_EQ(vDirectory_ExecutableFilePath(buf, sizeof(buf)), vErrNone);
    EXPECT_NE(strstr(buf, "common_directory"), nullptr) << buf;
    EXPECT_EQ(vDirectory_ExecutableFilePath(buf, 4), vErrRead);
}

TEST(DirectoryInfo, HomeComesFromPasswordDatabaseFirst)
{
    struct passwd *pw = getpwuid(getuid());
    const char *saved = getenv("HOME");
    std::string savedHome = saved ? saved : "";
    setenv("HOME", "/nonexistent/elsewhere", 1);
    char buf[4096];
    ASSERT_EQ(vDirectory_GetHomeDirectory(buf, sizeof(buf)), vErrNone);
    if (pw && pw->pw_dir && pw->pw_dir[0])
        EXPECT_STREQ(buf, pw->pw_dir);
    else
        EXPECT_STREQ(buf, "/nonexistent/elsewhere");
    EXPECT_EQ(vDirectory_GetHomeDirectory(buf, 1), vErrOverrun);
    if (saved)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}
