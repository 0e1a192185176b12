// Memory pools: growth keeping contents, reuse order, list links and the
// neighbour results of a release, the size limit, bad element numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"

namespace {

struct PoolFixture : ::testing::Test {
    char* pool = nullptr;
    void TearDown() override { h4free_pool(&pool); }
};

TEST_F(PoolFixture, GrowsByItsStepAndKeepsContents) {
    ASSERT_EQ(h4create(&pool, 5, 12, 3), 0);
    EXPECT_EQ(h4capacity(pool), 5);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(h4get_element(&pool, -1), i);
        // The owner's part of the element, after the two links.
        std::memset(h4element(pool, i) + 8, 'a' + i, 4);
    }
    EXPECT_EQ(h4get_element(&pool, -1), 5);
    EXPECT_EQ(h4capacity(pool), 8);
    for (int i = 0; i < 5; ++i)
        for (int b = 8; b < 12; ++b) EXPECT_EQ(h4element(pool, i)[b], 'a' + i) << i;
    EXPECT_EQ(h4get_element(&pool, -1), 6);
    EXPECT_EQ(h4get_element(&pool, -1), 7);
    EXPECT_EQ(h4get_element(&pool, -1), 8);
    EXPECT_EQ(h4capacity(pool), 11);
}

TEST_F(PoolFixture, LastReleasedIsFirstReusedAndComesBackZeroed) {
    ASSERT_EQ(h4create(&pool, 5, 16, 3), 0);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(h4get_element(&pool, -1), i);
    std::memset(h4element(pool, 2) + 8, 0x55, 8);
    h4free_element(&pool, 1);
    h4free_element(&pool, 2);
    EXPECT_EQ(h4get_element(&pool, -1), 2);
    for (int b = 8; b < 16; ++b) EXPECT_EQ(h4element(pool, 2)[b], 0);
    EXPECT_EQ(h4get_element(&pool, -1), 1);
    EXPECT_EQ(h4get_element(&pool, -1), 4);
}

TEST_F(PoolFixture, ListsLinkNewElementsFirstAndReleasesReturnNeighbours) {
    ASSERT_EQ(h4create(&pool, 2, 8, 1), 0);
    int head = -1;
    for (int i = 0; i < 3; ++i) head = h4get_element(&pool, head);
    // List: 2 -> 1 -> 0.
    EXPECT_EQ(head, 2);
    auto links = [&](int n) { return *h4element_as<PoolLinks>(pool, n); };
    EXPECT_EQ(links(2).previous, -1);
    EXPECT_EQ(links(2).next, 1);
    EXPECT_EQ(links(1).previous, 2);
    EXPECT_EQ(links(0).previous, 1);
    EXPECT_EQ(links(0).next, -1);

    // The middle element: its next; the list closes over the gap.
    EXPECT_EQ(h4free_element(&pool, 1), 0);
    EXPECT_EQ(links(2).next, 0);
    EXPECT_EQ(links(0).previous, 2);
    // The last element: no next, so its previous.
    EXPECT_EQ(h4free_element(&pool, 0), 2);
    // The only element: -1.
    EXPECT_EQ(h4free_element(&pool, 2), -1);
}

TEST_F(PoolFixture, HeadOfAListGivesTheSecondElement) {
    ASSERT_EQ(h4create(&pool, 5, 12, 3), 0);
    int head = h4get_element(&pool, -1);
    head = h4get_element(&pool, head);
    EXPECT_EQ(h4free_element(&pool, head), 0);
}

TEST_F(PoolFixture, SizesAndStepsBelowOneAreRaised) {
    ASSERT_EQ(h4create(&pool, 0, 0, 0), 0);
    EXPECT_EQ(h4capacity(pool), 1);
    EXPECT_GE(h4header(pool)->element_size, 8);
    EXPECT_EQ(h4header(pool)->growth, 1);
    EXPECT_EQ(h4get_element(&pool, -1), 0);
    EXPECT_EQ(h4get_element(&pool, -1), 1);
    EXPECT_EQ(h4capacity(pool), 2);
}

TEST_F(PoolFixture, WhatTheManagerOpensStaysFarBelowTheLimit) {
    // Thirty indexes with deep paths and full caches of 1024-byte pages.
    ASSERT_EQ(h4create(&pool, 25, 1056, 5), 0);
    for (int i = 0; i < 30 * (64 + 20); ++i) ASSERT_EQ(h4get_element(&pool, -1), i);
}

TEST_F(PoolFixture, AccessorsRefuseBadNumbers) {
    ASSERT_EQ(h4create(&pool, 3, 8, 1), 0);
    EXPECT_EQ(h4element(pool, -1), nullptr);
    EXPECT_EQ(h4element(pool, 3), nullptr);
    EXPECT_EQ(h4element(nullptr, 0), nullptr);
    EXPECT_EQ(h4capacity(nullptr), 0);
}

using PoolDeathTest = PoolFixture;

TEST_F(PoolDeathTest, OversizedPoolIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(h4create(&pool, 1 << 20, 1024, 5), ::testing::ExitedWithCode(1),
                "Memory Allocation Error\nh4create\\(\\)");
    ASSERT_EQ(h4create(&pool, 2, 8, 1), 0);
    h4header(pool)->capacity = static_cast<int>(h4pool_limit / 8) - 2;
    h4header(pool)->free_head = h4header(pool)->capacity;
    // Growing past the limit is fatal too (the pool is not really that big:
    // the child process ends before touching it).
    EXPECT_EXIT(h4get_element(&pool, -1), ::testing::ExitedWithCode(1), "h4create\\(\\)");
    h4header(pool)->capacity = 2;
    h4header(pool)->free_head = 0;
}

TEST_F(PoolDeathTest, ReleasingAnElementOutsideThePoolIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(h4create(&pool, 3, 8, 1), 0);
    EXPECT_EXIT(h4free_element(&pool, 3), ::testing::ExitedWithCode(1),
                "Overwritten Memory\nH4FREE");
    EXPECT_EXIT(h4free_element(&pool, -1), ::testing::ExitedWithCode(1), "H4FREE");
}

TEST(Allocation, BlocksComeZeroFilled) {
    auto* block = static_cast<unsigned char*>(h4allocate(1000));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(block[i], 0);
    h4release_memory(block);
    h4release_memory(nullptr);
}

} // namespace
