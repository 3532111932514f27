#include "common/vPacketFifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct PacketDeleter {
    void operator()(vPacket *p) const { vPacket_Destroy(&p); }
};
typedef std::unique_ptr<vPacket, PacketDeleter> Packet;

// Packets are told apart by address and the first data byte (a tag).
Packet Make(uint8_t address, uint8_t tag)
{
    uint8_t data[3] = {tag, 0x01, 0x20};
    return Packet(vPacket_CreateWithData(address, 3, data));
}

void Put(uint64_t q, uint8_t address, uint8_t tag)
{
    Packet p = Make(address, tag);
    ASSERT_EQ(vPacketFifo_Put(q, p.get()), vErrNone);
}

// Filter reference: accepts one address and records every packet it sees.
struct Watch {
    uint8_t address;
    std::mutex mutex;
    std::vector<uint8_t> seen; // tags
};

bool ByAddress(const vPacket *p, void *ref)
{
    Watch *w = static_cast<Watch *>(ref);
    std::lock_guard<std::mutex> hold(w->mutex);
    w->seen.push_back(p->data[0]);
    return p->address == w->address;
}

bool Everything(const vPacket *, void *) { return true; }
bool Nothing(const vPacket *, void *) { return false; }

class FifoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        q_ = vPacketFifo_Create();
        ASSERT_NE(q_, 0u);
    }
    void TearDown() override
    {
        if (q_) {
            EXPECT_EQ(vPacketFifo_Destroy(&q_), vErrNone);
        }
    }
    uint64_t q_ = 0;
};

} // namespace

TEST_F(FifoTest, PutAndGetInOrderAsCopies)
{
    Packet mine = Make(4, 1);
    ASSERT_EQ(vPacketFifo_Put(q_, mine.get()), vErrNone);
    mine->data[0] = 99; // the queue holds its own copy
    Put(q_, 6, 2);
    EXPECT_EQ(vPacketFifo_GetLength(q_), 2u);

    Packet first(vPacketFifo_Get(q_));
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), mine.get());
    EXPECT_EQ(first->address, 4);
    EXPECT_EQ(first->data[0], 1);
    Packet second(vPacketFifo_Await(q_, 1000));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->address, 6);
    EXPECT_EQ(vPacketFifo_Get(q_), nullptr);
    EXPECT_EQ(vPacketFifo_Await(q_, 20), nullptr); // times out
    EXPECT_EQ(vPacketFifo_GetLength(q_), 0u);
}

TEST_F(FifoTest, BadArguments)
{
    vPacket bogus = {};
    EXPECT_EQ(vPacketFifo_Put(q_, nullptr), vErrParam);
    EXPECT_EQ(vPacketFifo_Put(q_, &bogus), vErrParam);
    Packet p = Make(4, 1);
    uint64_t unknown = q_ + 1000000;
    EXPECT_EQ(vPacketFifo_Put(unknown, p.get()), vErrParam);
    EXPECT_EQ(vPacketFifo_Put(0, p.get()), vErrParam);
    EXPECT_EQ(vPacketFifo_GetLength(unknown), 0u);
    EXPECT_EQ(vPacketFifo_Get(unknown), nullptr);
    EXPECT_EQ(vPacketFifo_Await(unknown, 10), nullptr);
    EXPECT_EQ(vPacketFifo_AwaitFirst(unknown, Everything, nullptr, 10), nullptr);
    EXPECT_EQ(vPacketFifo_DrainPackets(unknown, Everything, nullptr), 0u);
    EXPECT_EQ(vPacketFifo_Destroy(&unknown), vErrNotFound);
    EXPECT_EQ(vPacketFifo_Destroy(nullptr), vErrParam);

    uint64_t gone = vPacketFifo_Create();
    uint64_t copy = gone;
    ASSERT_EQ(vPacketFifo_Destroy(&gone), vErrNone);
    EXPECT_EQ(gone, 0u);
    EXPECT_EQ(vPacketFifo_Put(copy, p.get()), vErrParam); // stale identifier: not found
    EXPECT_EQ(vPacketFifo_Destroy(&copy), vErrNotFound);
}

TEST(Fifo, IdentifiersAreUniqueAndNeverZero)
{
    std::set<uint64_t> ids;
    std::vector<uint64_t> made;
    for (int i = 0; i < 50; ++i) {
        uint64_t id = vPacketFifo_Create();
        ASSERT_NE(id, 0u);
        EXPECT_TRUE(ids.insert(id).second);
        made.push_back(id);
    }
    for (uint64_t &id : made)
        vPacketFifo_Destroy(&id);
    uint64_t after = vPacketFifo_Create();
    EXPECT_EQ(ids.count(after), 0u); // not reused after destroy
    vPacketFifo_Destroy(&after);
}

TEST_F(FifoTest, FilteredGetTakesOldestMatchOnly)
{
    Put(q_, 4, 1);
    Put(q_, 6, 2);
    Put(q_, 6, 3);
    Put(q_, 4, 4);
    Watch w{6, {}, {}};
    Packet got(vPacketFifo_GetFirst(q_, ByAddress, &w));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 2);
    EXPECT_EQ(vPacketFifo_GetLength(q_), 3u);
    Watch none{8, {}, {}};
    EXPECT_EQ(vPacketFifo_GetFirst(q_, ByAddress, &none), nullptr);
    EXPECT_EQ(none.seen.size(), 3u);
    EXPECT_EQ(vPacketFifo_GetFirst(q_, nullptr, nullptr), nullptr);
    // The others are still there, in order.
    std::vector<uint8_t> rest;
    while (Packet p{vPacketFifo_Get(q_)})
        rest.push_back(p->data[0]);
    EXPECT_EQ(rest, (std::vector<uint8_t>{1, 3, 4}));
}

TEST_F(FifoTest, DrainRemovesMatches)
{
    for (uint8_t i = 0; i < 10; ++i)
        Put(q_, i % 2 ? 6 : 4, i);
    Watch w{6, {}, {}};
    EXPECT_EQ(vPacketFifo_DrainPackets(q_, ByAddress, &w), 5u);
    EXPECT_EQ(vPacketFifo_GetLength(q_), 5u);
    EXPECT_EQ(vPacketFifo_DrainPackets(q_, Nothing, nullptr), 0u);
    EXPECT_EQ(vPacketFifo_DrainPackets(q_, Everything, nullptr), 5u);
    EXPECT_EQ(vPacketFifo_GetLength(q_), 0u);
    Put(q_, 4, 1);
    Put(q_, 4, 2);
    EXPECT_EQ(vPacketFifo_DrainPackets(q_, nullptr, nullptr), 2u); // null: every packet
}

TEST_F(FifoTest, OverflowClearsTheQueue)
{
    for (int i = 0; i < vPACKETFIFO_MAX_ENTRIES; ++i)
        Put(q_, 4, uint8_t(i));
    EXPECT_EQ(vPacketFifo_GetLength(q_), 1000u);
    Put(q_, 4, 0xEE); // the 1001st
    EXPECT_EQ(vPacketFifo_GetLength(q_), 0u);
    Put(q_, 6, 7); // and the queue works on afterwards
    Watch w{6, {}, {}};
    Packet p(vPacketFifo_AwaitFirst(q_, ByAddress, &w, 1000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 7);
    EXPECT_EQ(w.seen, (std::vector<uint8_t>{7}));
}

TEST_F(FifoTest, WaiterExaminesEachPacketOnce)
{
    Put(q_, 4, 1); // already queued: examined once at the start
    Watch w{8, {}, {}};
    std::thread waiter([&] {
        Packet p(vPacketFifo_AwaitFirst(q_, ByAddress, &w, 10000));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->data[0], 5);
    });
    auto seenCount = [&] {
        std::lock_guard<std::mutex> hold(w.mutex);
        return w.seen.size();
    };
    for (uint8_t tag = 2; tag <= 4; ++tag) {
        // Wait (bounded) until the waiter has looked at everything so far.
        for (int i = 0; i < 10000 && seenCount() < tag - 1u; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Put(q_, 4, tag);
    }
    Put(q_, 8, 5);
    waiter.join();
    EXPECT_EQ(w.seen, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(vPacketFifo_GetLength(q_), 4u);
}

TEST_F(FifoTest, WaiterSkipsPacketsOthersTook)
{
    for (uint8_t i = 1; i <= 3; ++i)
        Put(q_, 4, i);
    Watch w{8, {}, {}};
    EXPECT_EQ(vPacketFifo_AwaitFirst(q_, ByAddress, &w, 0), nullptr); // timeout 0: one look
    EXPECT_EQ(w.seen.size(), 3u);
    // After the oldest entries are removed the window still starts at the right place.
    Packet a(vPacketFifo_Get(q_));
    Packet b(vPacketFifo_Get(q_));
    Put(q_, 8, 9);
    w.seen.clear();
    Packet p(vPacketFifo_AwaitFirst(q_, ByAddress, &w, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(w.seen, (std::vector<uint8_t>{3, 9}));
}

TEST_F(FifoTest, TwoWaitersEachGetTheirOwn)
{
    for (int order = 0; order < 2; ++order) {
        SCOPED_TRACE(order);
        Watch w4{4, {}, {}}, w6{6, {}, {}};
        std::atomic<int> ready{0};
        Packet got4, got6;
        std::thread t4([&] { ++ready; got4.reset(vPacketFifo_AwaitFirst(q_, ByAddress, &w4, 10000)); });
        std::thread t6([&] { ++ready; got6.reset(vPacketFifo_AwaitFirst(q_, ByAddress, &w6, 10000)); });
        while (ready < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Put(q_, 2, 0); // nobody's
        Put(q_, order ? 4 : 6, 1);
        Put(q_, order ? 6 : 4, 2);
        t4.join();
        t6.join();
        ASSERT_NE(got4, nullptr);
        ASSERT_NE(got6, nullptr);
        EXPECT_EQ(got4->address, 4);
        EXPECT_EQ(got6->address, 6);
        Packet left(vPacketFifo_Get(q_));
        ASSERT_NE(left, nullptr);
        EXPECT_EQ(left->address, 2);
        EXPECT_EQ(vPacketFifo_GetLength(q_), 0u);
    }
}

TEST_F(FifoTest, DestroyWakesWaiters)
{
    std::atomic<int> returned{0};
    Watch w{8, {}, {}};
    std::thread plain([&] {
        EXPECT_EQ(vPacketFifo_Await(q_, 60000), nullptr);
        ++returned;
    });
    std::thread filtered([&] {
        EXPECT_EQ(vPacketFifo_AwaitFirst(q_, ByAddress, &w, 60000), nullptr);
        ++returned;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t id = q_;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(vPacketFifo_Destroy(&q_), vErrNone);
    plain.join();
    filtered.join();
    EXPECT_EQ(returned, 2);
    // Hang bound only: far below the 60 s the waiters asked for.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(vPacketFifo_GetLength(id), 0u);
}

TEST_F(FifoTest, ConcurrentPuttersAndWaiters)
{
    // Four producers put 200 packets each, tagged by producer; four waiters
    // each await their own producer's packets; a drainer removes address 2 noise.
    const int kPer = 200;
    struct Waiter {
        Watch watch;
        std::vector<uint8_t> got;
    };
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back(new Waiter{{uint8_t(4 + 2 * i), {}, {}}, {}});
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            Waiter &w = *waiters[i];
            while (int(w.got.size()) < kPer) {
                Packet p(vPacketFifo_AwaitFirst(q_, ByAddress, &w.watch, 10000));
                ASSERT_NE(p, nullptr) << "waiter " << i << " after " << w.got.size();
                ASSERT_EQ(p->address, w.watch.address);
                w.got.push_back(p->data[0]);
            }
        });
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < kPer; ++n) {
                Put(q_, uint8_t(4 + 2 * i), uint8_t(n));
                if (n % 4 == 0)
                    Put(q_, 2, uint8_t(n));
            }
        });
    std::atomic<bool> stop{false};
    std::thread drainer([&] {
        bool (*noise)(const vPacket *, void *) = [](const vPacket *p, void *) { return p->address == 2; };
        while (!stop) {
            vPacketFifo_DrainPackets(q_, noise, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (std::thread &t : threads)
        t.join();
    stop = true;
    drainer.join();
    for (auto &w : waiters) {
        ASSERT_EQ(w->got.size(), size_t(kPer));
        for (int n = 0; n < kPer; ++n)
            EXPECT_EQ(w->got[n], uint8_t(n)); // each producer's packets arrive in order
    }
}

namespace {

// Tags of everything queued, oldest first; empties the queue.
std::vector<uint8_t> takeAll(uint64_t q)
{
    std::vector<uint8_t> tags;
    while (Packet p{vPacketFifo_Get(q)})
        tags.push_back(p->data[0]);
    return tags;
}

std::vector<Packet> makeRun(int count, uint8_t firstTag)
{
    std::vector<Packet> run;
    for (int i = 0; i < count; ++i)
        run.push_back(Make(4, uint8_t(firstTag + i)));
    return run;
}

std::vector<const vPacket *> pointers(const std::vector<Packet> &run)
{
    std::vector<const vPacket *> out;
    for (const Packet &p : run)
        out.push_back(p.get());
    return out;
}

} // namespace

// A batch must leave the queue as the same puts one by one would, the bound
// included: each packet of the batch counts on its own.
TEST(FifoBatch, MatchesPutsOneByOne)
{
    struct Case {
        const char *name;
        int queued;
        int batch;
    } cases[] = {
        {"into an empty queue", 0, 43},
        {"behind queued packets", 5, 43},
        {"exactly to the bound", 957, 43},
        {"across the bound", 990, 20},
        {"the bound is the batch's own first packet", 1000, 3},
        {"longer than the bound", 0, 1001},
        {"across the bound twice", 300, 1800},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t batched = vPacketFifo_Create(), single = vPacketFifo_Create();
        for (int i = 0; i < c.queued; ++i) {
            Put(batched, 4, uint8_t(i));
            Put(single, 4, uint8_t(i));
        }
        std::vector<Packet> run = makeRun(c.batch, 0x80);
        std::vector<const vPacket *> ptrs = pointers(run);
        ASSERT_EQ(vPacketFifo_PutMany(batched, ptrs.data(), uint32_t(ptrs.size())), vErrNone);
        for (const vPacket *p : ptrs)
            ASSERT_EQ(vPacketFifo_Put(single, p), vErrNone);
        EXPECT_EQ(vPacketFifo_GetLength(batched), vPacketFifo_GetLength(single));
        EXPECT_EQ(takeAll(batched), takeAll(single));
        // The filtered window goes on from the right place after the batch.
        Put(batched, 8, 1);
        Watch w{8, {}, {}};
        Packet after(vPacketFifo_AwaitFirst(batched, ByAddress, &w, 0));
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(w.seen, (std::vector<uint8_t>{1}));
        vPacketFifo_Destroy(&batched);
        vPacketFifo_Destroy(&single);
    }
}

TEST_F(FifoTest, BatchErrorsStopWhereAPutWould)
{
    std::vector<Packet> run = makeRun(4, 1);
    std::vector<const vPacket *> ptrs = pointers(run);
    vPacket bogus = {};

    // An invalid packet ends the batch; those before it are queued.
    std::vector<const vPacket *> broken = {ptrs[0], ptrs[1], &bogus, ptrs[2]};
    EXPECT_EQ(vPacketFifo_PutMany(q_, broken.data(), 4), vErrParam);
    EXPECT_EQ(takeAll(q_), (std::vector<uint8_t>{1, 2}));
    std::vector<const vPacket *> nullFirst = {nullptr, ptrs[0]};
    EXPECT_EQ(vPacketFifo_PutMany(q_, nullFirst.data(), 2), vErrParam);
    EXPECT_EQ(vPacketFifo_GetLength(q_), 0u);

    EXPECT_EQ(vPacketFifo_PutMany(q_, nullptr, 1), vErrParam);
    EXPECT_EQ(vPacketFifo_PutMany(q_, nullptr, 0), vErrNone);
    EXPECT_EQ(vPacketFifo_PutMany(q_, ptrs.data(), 0), vErrNone);
    EXPECT_EQ(vPacketFifo_GetLength(q_), 0u);

    uint64_t gone = vPacketFifo_Create();
    uint64_t stale = gone;
    vPacketFifo_Destroy(&gone);
    EXPECT_EQ(vPacketFifo_PutMany(stale, ptrs.data(), 4), vErrParam);
    EXPECT_EQ(vPacketFifo_PutMany(0, ptrs.data(), 4), vErrParam);

    // The queue holds copies: the caller's packets may change or go at once.
    ASSERT_EQ(vPacketFifo_PutMany(q_, ptrs.data(), 4), vErrNone);
    run.clear();
    EXPECT_EQ(takeAll(q_), (std::vector<uint8_t>{1, 2, 3, 4}));
}

// Waiters of both kinds are woken by a batch, also on a queue that was not
// empty before it.
TEST_F(FifoTest, BatchWakesEveryWaiter)
{
    std::atomic<int> ready{0};
    Packet plainA, plainB;
    std::thread a([&] { ++ready; plainA.reset(vPacketFifo_Await(q_, 10000)); });
    std::thread b([&] { ++ready; plainB.reset(vPacketFifo_Await(q_, 10000)); });
    while (ready < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<Packet> two = makeRun(2, 1);
    ASSERT_EQ(vPacketFifo_PutMany(q_, pointers(two).data(), 2), vErrNone);
    a.join();
    b.join();
    ASSERT_NE(plainA, nullptr);
    ASSERT_NE(plainB, nullptr);
    EXPECT_EQ(plainA->data[0] + plainB->data[0], 3);

    Put(q_, 4, 9); // not what the filtered waiter wants, and stays queued
    Watch w{8, {}, {}};
    Packet got;
    std::thread filtered([&] { got.reset(vPacketFifo_AwaitFirst(q_, ByAddress, &w, 10000)); });
    for (int i = 0; i < 10000; ++i) {
        {
            std::lock_guard<std::mutex> hold(w.mutex);
            if (!w.seen.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Packet wanted = Make(8, 10);
    const vPacket *one[] = {wanted.get()};
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(vPacketFifo_PutMany(q_, one, 1), vErrNone);
    filtered.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 10);
    // Hang bound only: without a wake the waiter would sit out its 10 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
