#include "common/vLogger.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// A small producer/consumer the logger drains: the callback waits for lines
// with a short time-out, as a real writer would.
struct Feed {
    std::mutex mutex;
    std::condition_variable ready;
    std::string pending;
    std::atomic<int> calls{0};
    std::atomic<uint32_t> reference{0};
    std::atomic<bool> stopFromInside{false};
    vLogger *logger = nullptr;
    std::atomic<int> insideResult{-1};
};

Feed *gFeed = nullptr;

vErr sWriter(vFile *file, uint32_t reference)
{
    Feed *f = gFeed;
    f->reference = reference;
    ++f->calls;
    std::string text;
    {
        std::unique_lock<std::mutex> lock(f->mutex);
        f->ready.wait_for(lock, std::chrono::milliseconds(20), [f] { return !f->pending.empty(); });
        text.swap(f->pending);
    }
    if (!text.empty())
        vFile_Printf(file, "%s", text.c_str());
    if (f->stopFromInside)
        f->insideResult = vLogger_Disable(f->logger);
    return text.empty() ? vErrNotFound : vErrNone;
}

void Push(Feed &f, const std::string &text)
{
    std::lock_guard<std::mutex> lock(f.mutex);
    f.pending += text;
    f.ready.notify_one();
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = temp_.path();
        path_ = dir_ + "/packets.log";
        gFeed = &feed_;
    }
    void TearDown() override
    {
        gFeed = nullptr;
        ASSERT_TRUE(temp_.remove());
    }
    // Waits (bounded) until the file holds the expected text.
    bool WaitForText(const std::string &text)
    {
        for (int i = 0; i < 5000; ++i) {
            if (ReadAll(path_) == text)
                return true;
            usleep(1000);
        }
        return false;
    }
    fixtures::TempDir temp_;
    std::string dir_, path_;
    Feed feed_;
};

} // namespace

TEST_F(LoggerTest, CreateNeedsAWritableFile)
{
    EXPECT_EQ(vLogger_Create(1, sWriter, (dir_ + "/no/such/dir/log").c_str()), nullptr);
    EXPECT_EQ(vLogger_Create(1, sWriter, nullptr), nullptr);
    EXPECT_EQ(vLogger_Create(1, nullptr, path_.c_str()), nullptr);
    EXPECT_EQ(vLogger_Enable(nullptr), vErrParam);
    EXPECT_EQ(vLogger_Disable(nullptr), vErrParam);
    EXPECT_EQ(vLogger_Destroy(nullptr), vErrParam);
}

TEST_F(LoggerTest, StartWriteStopAppends)
{
    {
        std::ofstream existing(path_);
        existing << "old\n";
    }
    vLogger *logger = vLogger_Create(7, sWriter, path_.c_str());
    ASSERT_NE(logger, nullptr);
    usleep(20000);
    EXPECT_EQ(feed_.calls, 0); // created disabled

    ASSERT_EQ(vLogger_Enable(logger), vErrNone);
    EXPECT_EQ(vLogger_Enable(logger), vErrNone); // no second thread
    Push(feed_, "START\n");
    EXPECT_TRUE(WaitForText("old\nSTART\n")); // unbuffered: visible without closing
    EXPECT_EQ(feed_.reference, 7u);

    ASSERT_EQ(vLogger_Disable(logger), vErrNone);
    int calls = feed_.calls;
    Push(feed_, "ignored\n");
    usleep(50000);
    EXPECT_EQ(feed_.calls, calls); // the thread is gone
    EXPECT_EQ(vLogger_Disable(logger), vErrNone);

    // Enabled again after a stop, it picks up what waited meanwhile.
    ASSERT_EQ(vLogger_Enable(logger), vErrNone);
    EXPECT_TRUE(WaitForText("old\nSTART\nignored\n"));
    EXPECT_EQ(vLogger_Destroy(&logger), vErrNone); // disables on the way
    EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, DisableFromTheCallbackReturnsAtOnce)
{
    vLogger *logger = vLogger_Create(3, sWriter, path_.c_str());
    ASSERT_NE(logger, nullptr);
    feed_.logger = logger;
    feed_.stopFromInside = true;
    ASSERT_EQ(vLogger_Enable(logger), vErrNone);
    for (int i = 0; i < 5000 && feed_.insideResult < 0; ++i)
        usleep(1000);
    EXPECT_EQ(feed_.insideResult, vErrNone);
    usleep(50000);
    EXPECT_EQ(feed_.calls, 1); // the loop ended after that call
    EXPECT_EQ(vLogger_Destroy(&logger), vErrNone); // joins the finished thread
}
