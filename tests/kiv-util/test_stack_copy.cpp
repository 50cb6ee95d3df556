// Reads from a stack copy, checked by differences, and what each thread's copy may take.
#include <gtest/gtest.h>

#include "StackCopy.h"

namespace {

TEST(StackCopy, ReadsAreCheckedByDifferences)
{
    StackCopy copy;
    copy.start = 0x1000;
    copy.bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    copy.low = 0x800;
    copy.high = 0x2000;
    const struct {
        uint64_t address;
        size_t size;
        StackCopy::Read read;
    } rows[] = {
        {0x1000, 8, StackCopy::Read::Copied},                // the whole copy
        {0x1004, 4, StackCopy::Read::Copied},                // ending on its last byte
        {0x1005, 4, StackCopy::Read::BeyondCopy},            // one byte past it
        {0x1008, 0, StackCopy::Read::Copied},                // nothing, at its end
        {0x1009, 0, StackCopy::Read::BeyondCopy},            // nothing, past it
        {0x0ff8, 8, StackCopy::Read::BeyondCopy},            // below the copy, in the stack
        {0x1ff8, 16, StackCopy::Read::BeyondCopy},           // running out of the stack
        {0x0700, 0x200, StackCopy::Read::BeyondCopy},        // running into it
        {0x0100, 8, StackCopy::Read::NotStack},              // another mapping
        {0xfffffffffffffff8, 8, StackCopy::Read::NotStack},  // would wrap to 0
        {0xffffffffffffffff, 16, StackCopy::Read::NotStack}, // wraps past the copy's start
    };
    for (const auto &row : rows) {
        uint8_t out[16] = {};
        EXPECT_EQ(copy.ReadAt(row.address, out, row.size), row.read) << std::hex << row.address;
    }
    uint8_t word[4] = {};
    ASSERT_EQ(copy.ReadAt(0x1004, word, 4), StackCopy::Read::Copied);
    EXPECT_EQ(word[0], 5);
    EXPECT_EQ(word[3], 8);

    StackCopy empty; // nothing copied, extent unknown
    EXPECT_EQ(empty.ReadAt(0, word, 4), StackCopy::Read::NotStack);
    EXPECT_TRUE(empty.Holds(0, 0));
}

TEST(StackCopy, BudgetDrawsOnThePoolOnlyPastAThreadsOwnShare)
{
    using namespace stackbudget;
    uint64_t pool = 1 << 20;
    EXPECT_EQ(Grant(4096, kThread, &pool), 4096u);
    EXPECT_EQ(pool, 1u << 20) << "within its own share";
    EXPECT_EQ(Grant(kThread + 1000, kThread, &pool), kThread + 1000);
    EXPECT_EQ(pool, (1u << 20) - 1000);
    const uint64_t left = pool;
    EXPECT_EQ(Grant(16ull << 20, kThread, &pool), kThread + left) << "what is left";
    EXPECT_EQ(pool, 0u);
    // Back to the pool goes what was drawn from it and not filled.
    GiveBack(kThread + 5000, kThread + 1000, kThread, &pool);
    EXPECT_EQ(pool, 4000u);
    GiveBack(kThread + 5000, 100, kThread, &pool);
    EXPECT_EQ(pool, 9000u);
    GiveBack(1000, 0, kThread, &pool);
    EXPECT_EQ(pool, 9000u) << "nothing was drawn";
    uint64_t big = 64ull << 20;
    EXPECT_EQ(Grant(20ull << 20, kMainThread, &big), kMaxPerThread) << "the cap per thread";
}

} // namespace
