// The storage layout the library's own code relies on: block sizes, directory steps,
// where the first prepended element lands, and what a write after a copy duplicates.
#include "cow/cow_List.h"
#include "cow_TrackedValue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

int PresentBlocks(const cow_List<int>& list) {
    int present = 0;
    for (int b = 0; b < list.BlockSlots(); ++b)
        present += list.Directory()[b] != nullptr;
    return present;
}

TEST(cow_ListLayoutTest, SizedConstructionPicksBlockSizeAndDirectory) {
    struct Case {
        int n;
        int shift;
        int blockSlots;
    };
    const Case cases[] = {
        {0, 4, 0},     {1, 4, 16},      {100, 4, 16},      {255, 4, 16},
        {256, 5, 24},  {300, 5, 26},    {511, 5, 32},      {512, 6, 24},
        {1000, 6, 32}, {65536, 13, 24}, {1000000, 16, 32}, {INT_MAX, 28, 24},
        {-1, 4, 16},   {-1000, 4, 16},  {-1000000, 4, 16}, {INT_MIN, 4, 16},
    };
    for (const Case& c : cases) {
        const cow_List<int> list(cow_ListSized, c.n);
        EXPECT_EQ(c.shift, list.Shift()) << "n = " << c.n;
        EXPECT_EQ(c.blockSlots, list.BlockSlots()) << "n = " << c.n;
        EXPECT_EQ(0, list.Count());
        EXPECT_EQ(0, list.Offset());
    }
}

TEST(cow_ListLayoutTest, LargeSizesGetEightToSixteenBlocksBeyondTheSpareSixteen) {
    for (int n = 256; n < (1 << 24); n += 1 + n / 7) {
        const cow_List<int> list(cow_ListSized, n);
        const int blocks = list.BlockSlots() - 16;
        const long long size = 1LL << list.Shift();
        EXPECT_EQ((n + size - 1) / size, blocks) << "n = " << n;
        EXPECT_GE(blocks, 8) << "n = " << n;
        EXPECT_LE(blocks, 16) << "n = " << n;
    }
}

TEST(cow_ListLayoutTest, DefaultListHasNoDirectoryAndResizeZeroKeepsItSo) {
    cow_List<int> list;
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(0, list.BlockSlots());
    EXPECT_EQ(nullptr, list.Directory());
    list.Resize(0);
    EXPECT_EQ(0, list.BlockSlots());
    EXPECT_EQ(nullptr, list.Directory());
}

TEST(cow_ListLayoutTest, AppendGrowsTheDirectoryInStepsOfSixteen) {
    cow_List<int> list;
    for (int n = 1; n <= 1100; ++n) {
        list.Append(n);
        ASSERT_EQ(16 * ((n + 255) / 256), list.BlockSlots()) << "after " << n;
        ASSERT_EQ((n + 15) / 16, PresentBlocks(list)) << "after " << n;
    }
    EXPECT_EQ(4, list.Shift());
    EXPECT_EQ(0, list.Offset());
}

TEST(cow_ListLayoutTest, FirstPrependLandsInTheLastSlotOfBlockFifteen) {
    cow_List<int> list;
    list.Prepend(7);
    EXPECT_EQ(255, list.Offset());
    EXPECT_EQ(16, list.BlockSlots());
    EXPECT_EQ(1, PresentBlocks(list));
    EXPECT_NE(nullptr, list.Directory()[15]);

    list.Append(8);
    EXPECT_EQ(32, list.BlockSlots());
    EXPECT_NE(nullptr, list.Directory()[16]);
    EXPECT_EQ(2, PresentBlocks(list));
    EXPECT_EQ(7, list.ConstGet(0));
    EXPECT_EQ(8, list.ConstGet(1));
}

TEST(cow_ListLayoutTest, PrependOpensAllFreeEntriesInFrontAtOnce) {
    cow_List<int> list;
    for (int k = 0; k < 256; ++k)
        list.Prepend(k);
    EXPECT_EQ(0, list.Offset());
    EXPECT_EQ(16, list.BlockSlots());
    list.Prepend(256);
    // Sixteen used blocks fill the directory: it grows by one step and they move to its end.
    EXPECT_EQ(32, list.BlockSlots());
    EXPECT_EQ(16 * 16 - 1, list.Offset());
    const auto* const* directory = list.Directory();
    for (int k = 257; k < 257 + 255; ++k)
        list.Prepend(k);
    EXPECT_EQ(0, list.Offset());
    EXPECT_EQ(directory, list.Directory()) << "no directory work until the front is used up";
    for (int j = 0; j < list.Count(); ++j)
        ASSERT_EQ(list.Count() - 1 - j, list.ConstGet(j));
}

TEST(cow_ListLayoutTest, GrowingNeverMovesExistingElements) {
    cow_List<int> list;
    list.Append(1).Append(2).Prepend(0);
    const int* addresses[] = {&list.ConstGet(0), &list.ConstGet(1), &list.ConstGet(2)};
    for (int k = 0; k < 5000; ++k)
        list.Append(k).Prepend(-k);
    for (int j = 0; j < 3; ++j)
        EXPECT_EQ(addresses[j], &list.ConstGet(5000 + j)) << "element " << j;
}

TEST(cow_ListLayoutTest, CopyIsConstantAndWriteDuplicatesOnlyTheWrittenBlock) {
    cow_List<cow_TrackedValue> a;
    for (int k = 0; k < 100; ++k)
        a.Append(cow_TrackedValue(k));
    cow_TrackedValue::ResetCounters();

    cow_List<cow_TrackedValue> b(a);
    EXPECT_EQ(0, cow_TrackedValue::copies);
    EXPECT_EQ(2, a.ShareCount());
    EXPECT_EQ(a.Directory(), b.Directory());

    b.Get(3) = cow_TrackedValue(-3);
    EXPECT_EQ(16, cow_TrackedValue::copies) << "exactly one block of 16 copied";
    EXPECT_EQ(3, a.ConstGet(3).Value());
    EXPECT_EQ(-3, b.ConstGet(3).Value());
    EXPECT_EQ(1, a.ShareCount());
    EXPECT_EQ(1, b.ShareCount());
    EXPECT_NE(a.Directory(), b.Directory());
    EXPECT_NE(a.Directory()[0], b.Directory()[0]);
    EXPECT_EQ(1, a.Directory()[0]->RefCount());
    EXPECT_EQ(1, b.Directory()[0]->RefCount());
    for (int blk = 1; blk < 7; ++blk) {
        EXPECT_EQ(a.Directory()[blk], b.Directory()[blk]) << "block " << blk;
        EXPECT_EQ(2, a.Directory()[blk]->RefCount()) << "block " << blk;
    }
    for (int j = 0; j < 100; ++j) {
        if (j != 3) {
            ASSERT_EQ(j, b.ConstGet(j).Value());
        }
    }
}

TEST(cow_ListLayoutTest, ConstReadsOfASharedListCopyNothing) {
    cow_List<int> a;
    for (int k = 0; k < 50; ++k)
        a.Append(k);
    const cow_List<int> b(a);
    long sum = 0;
    for (int j = 0; j < b.Count(); ++j)
        sum += b.ConstGet(j) + b.UncheckedConstGet(j);
    EXPECT_EQ(2 * 49 * 50 / 2, sum);
    EXPECT_EQ(b.Last(), 49);
    EXPECT_EQ(a.Directory(), b.Directory());
    EXPECT_EQ(2, b.ShareCount());
}

TEST(cow_ListLayoutTest, TruncationDestroysOnlyTheDroppedElements) {
    cow_List<cow_TrackedValue> list;
    for (int k = 0; k < 40; ++k)
        list.Append(cow_TrackedValue(k));
    const cow_TrackedValue* kept = &list.ConstGet(19);
    cow_TrackedValue::ResetCounters();
    list.Resize(20);
    EXPECT_EQ(20, cow_TrackedValue::destructions);
    EXPECT_EQ(0, cow_TrackedValue::copies);
    EXPECT_EQ(kept, &list.ConstGet(19));
    EXPECT_EQ(20, list.Count());
    EXPECT_EQ(nullptr, list.Directory()[2]);
}

TEST(cow_ListLayoutTest, TruncatingIntoASharedBlockGivesThatBlockAPrivateCopy) {
    cow_List<cow_TrackedValue> a;
    for (int k = 0; k < 40; ++k)
        a.Append(cow_TrackedValue(k));
    cow_List<cow_TrackedValue> b(a);
    cow_TrackedValue::ResetCounters();
    b.Resize(20);
    EXPECT_EQ(0, cow_TrackedValue::destructions) << "a still holds every element";
    EXPECT_EQ(4, cow_TrackedValue::copies) << "elements 16..19 of the last kept block";
    EXPECT_EQ(a.Directory()[0], b.Directory()[0]);
    EXPECT_NE(a.Directory()[1], b.Directory()[1]);
    EXPECT_EQ(1, a.Directory()[2]->RefCount());
    ASSERT_EQ(40, a.Count());
    for (int j = 0; j < 40; ++j)
        ASSERT_EQ(j, a.ConstGet(j).Value());
    b.Append(cow_TrackedValue(100));
    EXPECT_EQ(20, a.ConstGet(20).Value());
    EXPECT_EQ(100, b.ConstGet(20).Value());
}

TEST(cow_ListLayoutTest, RemovingFromTheFrontWalksTheOffsetAndFreesLeftBlocks) {
    cow_List<int> list;
    for (int k = 0; k < 100; ++k)
        list.Append(k);
    for (int k = 0; k < 40; ++k)
        list.RemoveIndex(0);
    EXPECT_EQ(40, list.Offset());
    EXPECT_EQ(16, list.BlockSlots());
    EXPECT_EQ(nullptr, list.Directory()[0]);
    EXPECT_EQ(nullptr, list.Directory()[1]);
    EXPECT_NE(nullptr, list.Directory()[2]);
    EXPECT_EQ(40, list.ConstGet(0));
}

TEST(cow_ListLayoutTest, RemovingTheOnlyElementKeepsItsBlockUntilABoundaryIsCrossed) {
    struct Case {
        int prepended;
        int offsetAfter;
        bool blockKept;
    };
    // The first Prepend lands at 255, the last slot of a block; the second at 254.
    const Case cases[] = {{0, 1, true}, {1, 256, false}, {2, 255, true}};
    for (const Case& c : cases) {
        cow_List<int> list;
        for (int k = 0; k < c.prepended; ++k)
            list.Prepend(k);
        while (list.Count() > 1)
            list.RemoveIndex(list.Count() - 1);
        if (list.Count() == 0)
            list.Append(1);
        const int block = list.Offset() >> list.Shift();
        list.RemoveIndex(0);
        EXPECT_EQ(0, list.Count());
        EXPECT_EQ(c.offsetAfter, list.Offset()) << c.prepended;
        EXPECT_EQ(c.blockKept, list.Directory()[block] != nullptr) << c.prepended;
        list.Append(5);
        EXPECT_EQ(5, list.ConstGet(0));
    }
}

TEST(cow_ListLayoutTest, InsertAndRemoveMoveOnlyTheShorterSide) {
    struct Case {
        int index;
        long moved;
    };
    const Case cases[] = {{1, 1}, {2, 2}, {49, 49}, {50, 49}, {97, 2}, {98, 1}};
    for (const Case& c : cases) {
        cow_List<cow_TrackedValue> list;
        for (int k = 0; k < 100; ++k)
            list.Append(cow_TrackedValue(k));
        cow_TrackedValue::ResetCounters();
        list.RemoveIndex(c.index);
        EXPECT_EQ(c.moved, cow_TrackedValue::assignments) << "remove " << c.index;
        EXPECT_EQ(1, cow_TrackedValue::destructions) << "remove " << c.index;
        EXPECT_EQ(99, list.Count());

        const cow_TrackedValue inserted(-1);
        cow_TrackedValue::ResetCounters();
        list.InsertIndex(c.index, inserted);
        // The shift assigns all but one moved element; the value itself is one more.
        const long expectedMoves = std::min<long>(c.index, 99 - c.index);
        EXPECT_EQ(expectedMoves, cow_TrackedValue::assignments) << "insert " << c.index;
        EXPECT_EQ(-1, list.ConstGet(c.index).Value());
        for (int j = 0; j < 100; ++j) {
            if (j != c.index) {
                ASSERT_EQ(j, list.ConstGet(j).Value()) << "insert " << c.index;
            }
        }
    }
}

TEST(cow_ListLayoutTest, ResizeBeyondCountOnlyReservesDirectoryRoom) {
    cow_List<int> list;
    list.Append(1);
    list.Resize(5000);
    EXPECT_EQ(1, list.Count());
    EXPECT_EQ(16 * ((5000 + 255) / 256), list.BlockSlots());
    EXPECT_EQ(1, PresentBlocks(list));
    // A large sized list drops its extra entries at the first Append.
    cow_List<int> sized(cow_ListSized, 1000);
    EXPECT_EQ(32, sized.BlockSlots());
    sized.Append(1);
    EXPECT_EQ(16, sized.BlockSlots());
    EXPECT_EQ(6, sized.Shift());
}

} // namespace
