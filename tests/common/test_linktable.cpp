#include "common/vLinkTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

// The table is process-wide: this binary's tests share it, and the first
// test relies on running first (nothing else creates links before it).

namespace {

// Stands in for the link engine's record in these tests.
struct FakeRecord {
    int marker;
};
vLinkRecord *AsRecord(FakeRecord *r) { return reinterpret_cast<vLinkRecord *>(r); }

// Removes an entry the way the link engine's last destroy does.
void Remove(uint32_t id)
{
    linkTableEntry *e = sExtractEntry(id);
    ASSERT_NE(e, nullptr) << id;
    sFreeEntry(&e);
    EXPECT_EQ(e, nullptr);
}

} // namespace

TEST(LinkTable, IdsStartAtOneAndAreNeverReused)
{
    uint32_t first = sCreate(0x1000, 0, 1);
    uint32_t second = sCreate(0x2000, 0, 1);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    Remove(second);
    uint32_t third = sCreate(0x2000, 0, 1);
    EXPECT_EQ(third, 3u);
    Remove(first);
    Remove(third);
}

TEST(LinkTable, EntriesCarryTheirIdentity)
{
    FakeRecord record{42};
    uint32_t tcp = sCreate2(0xCAFE0001, 0x7F000001, 4000, 2, AsRecord(&record));
    ASSERT_NE(tcp, 0u);
    linkTableEntry *e = sLookupEntryByID(tcp);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->id, tcp);
    EXPECT_EQ(e->identifier0, 0xCAFE0001u);
    EXPECT_EQ(e->identifier1, 0x7F000001u);
    EXPECT_EQ(e->identifier2, 4000u);
    EXPECT_EQ(e->linkType, 2u);
    EXPECT_EQ(e->useCount, 0);
    EXPECT_EQ(e->server, nullptr);
    EXPECT_EQ(e->ownerLinkId, 0u);
    EXPECT_EQ(sGetLink(tcp), AsRecord(&record));
    EXPECT_EQ(sGetLink(tcp + 1000), nullptr);

    uint32_t bare = sCreate(0xCAFE0002, 0, 3);
    EXPECT_EQ(sGetLink(bare), nullptr);
    EXPECT_EQ(sLookupEntryByID(bare)->identifier2, 0u);

    sSetOwnerLinkId(e, bare);
    EXPECT_EQ(sGetOwnerLinkId(e), bare);
    vServer *server = reinterpret_cast<vServer *>(&record);
    sSetServer(e, server);
    EXPECT_EQ(sGetServer(e), server);
    EXPECT_EQ(sGetServer(nullptr), nullptr);

    Remove(tcp);
    Remove(bare);
}

TEST(LinkTable, LookupsMatchTheRightFields)
{
    uint32_t usbA = sCreate(0xAAAA, 0, 1);
    uint32_t serialA = sCreate(0xAAAA, 0, 3);
    uint32_t client1 = sCreate2(0x7F000001, 5555, 1, 4);
    uint32_t client2 = sCreate2(0x7F000001, 5555, 2, 4);

    EXPECT_EQ(sLookupEntryByIdentifier(0xAAAA, 1)->id, usbA);
    EXPECT_EQ(sLookupEntryByIdentifier(0xAAAA, 3)->id, serialA);
    EXPECT_EQ(sLookupEntryByIdentifier(0xAAAA, 2), nullptr);
    EXPECT_EQ(sLookupEntryByIdentifier(0xBBBB, 1), nullptr);
    EXPECT_EQ(sLookupEntryByTrident(0x7F000001, 5555, 2)->id, client2);
    EXPECT_EQ(sLookupEntryByTrident(0x7F000001, 5555, 1)->id, client1);
    EXPECT_EQ(sLookupEntryByTrident(0x7F000001, 5555, 3), nullptr);
    EXPECT_EQ(sLookupEntryByID(0), nullptr);

    for (uint32_t id : {usbA, serialA, client1, client2})
        Remove(id);
    EXPECT_EQ(sLookupEntryByIdentifier(0xAAAA, 1), nullptr);
}

TEST(LinkTable, ExtractUnknownLeavesTableAlone)
{
    uint32_t a = sCreate(0x1111, 0, 1);
    uint32_t b = sCreate(0x2222, 0, 1);
    EXPECT_EQ(sExtractEntry(999999), nullptr);
    EXPECT_EQ(sExtractEntry(0), nullptr);
    EXPECT_NE(sLookupEntryByID(a), nullptr);
    EXPECT_NE(sLookupEntryByID(b), nullptr);
    // Extracting from the middle or the end keeps the rest reachable.
    uint32_t c = sCreate(0x3333, 0, 1);
    Remove(b);
    EXPECT_NE(sLookupEntryByID(a), nullptr);
    EXPECT_NE(sLookupEntryByID(c), nullptr);
    Remove(a);
    EXPECT_NE(sLookupEntryByID(c), nullptr);
    Remove(c);
    EXPECT_EQ(sExtractEntry(c), nullptr);
}

TEST(LinkTable, SharedLinkLivesUntilLastUser)
{
    // What the link engine does for two creates and two destroys of one USB device.
    auto open = [](uint32_t serial) {
        linkTableEntry *e = sLookupEntryByIdentifier(serial, 1);
        if (e) {
            sChangeUseCount(e, 1);
            return e->id;
        }
        uint32_t id = sCreate(serial, 0, 1);
        sChangeUseCount(sLookupEntryByID(id), 1);
        return id;
    };
    auto close = [](uint32_t id) {
        linkTableEntry *e = sLookupEntryByID(id);
        if (sChangeUseCount(e, -1) <= 0) {
            e = sExtractEntry(id);
            sFreeEntry(&e);
            return true;
        }
        return false;
    };
    uint32_t a = open(0x55AA);
    uint32_t b = open(0x55AA);
    EXPECT_EQ(a, b);
    EXPECT_EQ(sGetUseCount(sLookupEntryByID(a)), 2);
    EXPECT_FALSE(close(a));
    EXPECT_NE(sLookupEntryByID(a), nullptr);
    EXPECT_TRUE(close(b));
    EXPECT_EQ(sLookupEntryByID(a), nullptr);
    EXPECT_EQ(sChangeUseCount(nullptr, 1), 0);
}

TEST(LinkTable, ConcurrentUsersKeepTheTableConsistent)
{
    const int kThreads = 4, kRounds = 300;
    uint32_t shared = sCreate(0xF00D, 0, 1);
    std::vector<std::thread> threads;
    std::vector<std::vector<uint32_t>> ids(kThreads);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            linkTableEntry *s = sLookupEntryByID(shared);
            for (int i = 0; i < kRounds; ++i) {
                sChangeUseCount(s, 1);
                uint32_t id = sCreate2(0x10000u * uint32_t(t + 1) + uint32_t(i), 0, 0, 3);
                ids[t].push_back(id);
                ASSERT_NE(sLookupEntryByIdentifier(0x10000u * uint32_t(t + 1) + uint32_t(i), 3), nullptr);
                if (i % 2)
                    Remove(id);
                sChangeUseCount(s, -1);
                sGetLink(shared);
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(sGetUseCount(sLookupEntryByID(shared)), 0);
    std::set<uint32_t> unique;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_TRUE(unique.insert(ids[t][i]).second);
            if (i % 2 == 0)
                Remove(ids[t][i]);
        }
    Remove(shared);
}
