#include "common/vMutex.h"
#include "common/vThread.h"
#include "common/vTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

TEST(Mutex, CreateKeepsName)
{
    vMutex *m = vMutex_Create("link table");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(vMutex_Identifier(m), "link table");
    EXPECT_EQ(vMutex_Destroy(&m), vErrNone);
    EXPECT_EQ(m, nullptr);

    vMutex *unnamed = vMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(vMutex_Identifier(unnamed), "");
    vMutex_Destroy(&unnamed);

    std::string longest(255, 'n');
    vMutex *edge = vMutex_Create(longest.c_str());
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(vMutex_Identifier(edge), longest);
    vMutex_Destroy(&edge);
    EXPECT_EQ(vMutex_Create(std::string(256, 'n').c_str()), nullptr);
}

TEST(Mutex, ErrorCodes)
{
    EXPECT_EQ(vMutex_Lock(nullptr), vErrParam);
    EXPECT_EQ(vMutex_TryLock(nullptr), vErrParam);
    EXPECT_EQ(vMutex_Unlock(nullptr), vErrParam);
    EXPECT_EQ(vMutex_Destroy(nullptr), vErrParam);
    vMutex *none = nullptr;
    EXPECT_EQ(vMutex_Destroy(&none), vErrParam);

    vMutex *m = vMutex_Create("m");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(vMutex_Unlock(m), vErrPermission); // not held
    ASSERT_EQ(vMutex_Lock(m), vErrNone);
    EXPECT_EQ(vMutex_Lock(m), vErrDuplicate);     // not recursive, and no hang
    EXPECT_EQ(vMutex_TryLock(m), vErrBusy);
    EXPECT_EQ(vMutex_Destroy(&m), vErrBusy);      // still held: kept alive
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(vMutex_Unlock(m), vErrNone);
    EXPECT_EQ(vMutex_TryLock(m), vErrNone);
    EXPECT_EQ(vMutex_Unlock(m), vErrNone);
    EXPECT_EQ(vMutex_Destroy(&m), vErrNone);
    EXPECT_EQ(m, nullptr);
}

namespace {

struct Shared {
    vMutex *mutex;
    std::atomic<int> phase{0};
    vErr unlockResult = vErrNone;
    vErr tryResult = vErrNone;
    long counter = 0;
};

void *sHolder(void *arg)
{
    Shared *s = static_cast<Shared *>(arg);
    vMutex_Lock(s->mutex);
    s->phase = 1;
    while (s->phase != 2)
        vTime_MSSleep(1);
    vMutex_Unlock(s->mutex);
    return nullptr;
}

void *sStranger(void *arg)
{
    Shared *s = static_cast<Shared *>(arg);
    s->unlockResult = vMutex_Unlock(s->mutex);
    s->tryResult = vMutex_TryLock(s->mutex);
    return nullptr;
}

void *sCounter(void *arg)
{
    Shared *s = static_cast<Shared *>(arg);
    for (int i = 0; i < 20000; ++i) {
        vMutex_Lock(s->mutex);
        ++s->counter;
        vMutex_Unlock(s->mutex);
    }
    return nullptr;
}

} // namespace

TEST(Mutex, OtherThreadsCannotUnlockOrTake)
{
    Shared s;
    s.mutex = vMutex_Create("held");
    vThread *holder = vThread_Create(sHolder, &s);
    ASSERT_NE(holder, nullptr);
    while (s.phase != 1)
        vTime_MSSleep(1);
    vThread *stranger = vThread_Create(sStranger, &s);
    ASSERT_NE(stranger, nullptr);
    EXPECT_EQ(vThread_Destroy(&stranger), 0);
    EXPECT_EQ(s.unlockResult, vErrPermission);
    EXPECT_EQ(s.tryResult, vErrBusy);
    EXPECT_EQ(vMutex_Destroy(&s.mutex), vErrBusy);
    s.phase = 2;
    EXPECT_EQ(vThread_Destroy(&holder), 0);
    EXPECT_EQ(holder, nullptr);
    EXPECT_EQ(vMutex_Destroy(&s.mutex), vErrNone);
}

TEST(Mutex, SerialisesThreads)
{
    Shared s;
    s.mutex = vMutex_Create("counter");
    vThread *threads[4];
    for (vThread *&t : threads) {
        t = vThread_Create(sCounter, &s);
        ASSERT_NE(t, nullptr);
    }
    for (vThread *&t : threads)
        EXPECT_EQ(vThread_Destroy(&t), 0);
    EXPECT_EQ(s.counter, 4 * 20000);
    vMutex_Destroy(&s.mutex);
}

namespace {
void *sReturnArg(void *arg) { return arg; }
} // namespace

TEST(Thread, CreateAndJoin)
{
    EXPECT_EQ(vThread_Create(nullptr, nullptr), nullptr);
    int dummy = 0;
    vThread *t = vThread_Create(sReturnArg, &dummy);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(vThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_NE(vThread_Destroy(&t), 0);
    vThread_Yield();
}

TEST(Time, TicksAdvanceWithSleep)
{
    uint32_t before = vTime_GetMSTicks();
    EXPECT_NE(before, 0u);
    vTime_MSSleep(20);
    uint32_t elapsed = vTime_GetMSTicks() - before; // wraps correctly as unsigned
    EXPECT_GE(elapsed, 19u);
    EXPECT_LT(elapsed, 60000u); // hang bound only
    vTime_MSSleep(0);
}
