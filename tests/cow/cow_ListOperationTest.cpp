// Single operations at their edges: clamped slices, padding, self-concatenation, arrays,
// iterator snapshots, and the three cases where a value or state used to be read too late.
#include "cow/cow_List.h"
#include "cow/cow_ListIter.h"
#include "cow_TrackedValue.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

cow_List<int> Counting(int n) {
    cow_List<int> list;
    for (int k = 0; k < n; ++k)
        list.Append(k);
    return list;
}

std::vector<int> Contents(const cow_List<int>& list) {
    std::vector<int> contents;
    for (int j = 0; j < list.Count(); ++j)
        contents.push_back(list.ConstGet(j));
    return contents;
}

TEST(cow_ListOperationTest, SliceClampsItsBounds) {
    struct Case {
        int first;
        int last;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {-5, 3, {0, 1, 2}},
        {7, 2, {}},
        {4, 99, {4, 5, 6, 7, 8, 9}},
        {0, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {10, 12, {}},
        {-3, -1, {}},
        {3, 4, {3}},
    };
    const cow_List<int> list = Counting(10);
    for (const Case& c : cases) {
        const cow_List<int> slice = list.Slice(c.first, c.last);
        EXPECT_EQ(c.expected, Contents(slice)) << c.first << ", " << c.last;
        EXPECT_EQ(1, slice.ShareCount());
    }
}

TEST(cow_ListOperationTest, LargeSliceUsesLargerBlocks) {
    const cow_List<int> list = Counting(1000);
    const cow_List<int> slice = list.Slice(100, 900);
    EXPECT_EQ(6, slice.Shift());
    EXPECT_EQ(Contents(list.Slice(100, 900)), Contents(slice));
    EXPECT_EQ(100, slice.ConstGet(0));
    EXPECT_EQ(899, slice.Last());
}

TEST(cow_ListOperationTest, FillOnlyPads) {
    cow_List<int> list = Counting(5);
    list.Fill(3, 9).Fill(5, 9);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), Contents(list));
    list.Fill(40, 9);
    ASSERT_EQ(40, list.Count());
    EXPECT_EQ(4, list.ConstGet(4));
    for (int j = 5; j < 40; ++j)
        EXPECT_EQ(9, list.ConstGet(j));
}

TEST(cow_ListOperationTest, ConcatenatingAListWithItselfDoublesIt) {
    for (int n : {0, 1, 15, 16, 17, 300}) {
        cow_List<int> list = Counting(n);
        const cow_List<int> sharer(list);
        list.Concatenate(list);
        ASSERT_EQ(2 * n, list.Count());
        for (int j = 0; j < 2 * n; ++j)
            ASSERT_EQ(j % n, list.ConstGet(j)) << "n = " << n;
        EXPECT_EQ(n, sharer.Count());
        EXPECT_EQ(Contents(Counting(n)), Contents(sharer));
    }
}

TEST(cow_ListOperationTest, SetFromArrayReplacesWhateverTheListHeld) {
    const int source[] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    struct Case {
        const char* name;
        cow_List<cow_TrackedValue> (*make)();
    };
    const Case cases[] = {
        {"new", [] { return cow_List<cow_TrackedValue>(); }},
        {"holding elements",
         [] {
             cow_List<cow_TrackedValue> list;
             for (int k = 0; k < 30; ++k)
                 list.Append(cow_TrackedValue(-k));
             return list;
         }},
        {"emptied mid-block",
         [] {
             cow_List<cow_TrackedValue> list;
             for (int k = 0; k < 5; ++k)
                 list.Append(cow_TrackedValue(-k));
             while (list.Count() > 0)
                 list.RemoveIndex(0);
             return list;
         }},
        {"prepended",
         [] {
             cow_List<cow_TrackedValue> list;
             list.Prepend(cow_TrackedValue(-1));
             return list;
         }},
    };
    for (const Case& c : cases) {
        for (int n : {0, 1, 16, 18}) {
            std::vector<cow_TrackedValue> values;
            for (int j = 0; j < n; ++j)
                values.emplace_back(source[j]);
            cow_List<cow_TrackedValue> list = c.make();
            const cow_List<cow_TrackedValue> sharer(list);
            const size_t liveBefore = cow_TrackedValue::Live().size();
            const int held = list.Count();
            list.SetFromArray(values.data(), n);
            ASSERT_EQ(n, list.Count()) << c.name;
            for (int j = 0; j < n; ++j)
                EXPECT_EQ(source[j], list.ConstGet(j).Value()) << c.name << " n = " << n;
            EXPECT_EQ(held, sharer.Count()) << c.name;
            EXPECT_EQ(liveBefore + n, cow_TrackedValue::Live().size()) << c.name;
        }
    }
    EXPECT_TRUE(cow_TrackedValue::Live().empty());
}

TEST(cow_ListOperationTest, SetFromArrayDestroysTheOldElementsOfAnUnsharedList) {
    cow_List<cow_TrackedValue> list;
    for (int k = 0; k < 30; ++k)
        list.Append(cow_TrackedValue(k));
    list.RemoveIndex(0).RemoveIndex(0).RemoveIndex(0);
    const std::vector<cow_TrackedValue> values(20, cow_TrackedValue(7));
    cow_TrackedValue::ResetCounters();
    list.SetFromArray(values.data(), 20);
    EXPECT_EQ(27, cow_TrackedValue::destructions);
    EXPECT_EQ(20, cow_TrackedValue::copies);
    EXPECT_EQ(0, list.Offset());
    EXPECT_EQ(7, list.Last().Value());
}

TEST(cow_ListOperationTest, SetFromArrayReadsAnArrayInsideTheListItself) {
    cow_List<std::string> list;
    for (int k = 0; k < 20; ++k)
        list.Append("value " + std::to_string(k) + " long enough for the heap");
    list.SetFromArray(&list.ConstGet(16), 4);
    ASSERT_EQ(4, list.Count());
    for (int j = 0; j < 4; ++j)
        EXPECT_EQ("value " + std::to_string(16 + j) + " long enough for the heap",
                  list.ConstGet(j));
}

TEST(cow_ListOperationTest, GetCArrayCopiesInOrder) {
    for (int n : {0, 1, 17, 300}) {
        const cow_List<int> list = Counting(n);
        int size = -1;
        int* array = list.GetCArray(size);
        ASSERT_NE(nullptr, array);
        ASSERT_EQ(n, size);
        EXPECT_EQ(Contents(list), std::vector<int>(array, array + size));
        delete[] array;
    }
}

TEST(cow_ListOperationTest, PopReturnsTheLastElement) {
    cow_List<std::string> list;
    list.Append("a").Append("b");
    EXPECT_EQ("b", list.Pop());
    EXPECT_EQ("a", list.Pop());
    EXPECT_EQ(0, list.Count());
}

TEST(cow_ListOperationTest, InsertAtTheEndsEqualsAppendAndPrepend) {
    cow_List<int> inserted;
    inserted.InsertIndex(0, 1);
    EXPECT_EQ(0, inserted.Offset()) << "on an empty list index 0 appends";
    inserted.InsertIndex(0, 0).InsertIndex(2, 2);
    cow_List<int> built;
    built.Append(1).Prepend(0).Append(2);
    EXPECT_EQ(Contents(built), Contents(inserted));
    EXPECT_EQ(built.Offset(), inserted.Offset());
    EXPECT_EQ(built.BlockSlots(), inserted.BlockSlots());
}

TEST(cow_ListOperationTest, IteratorKeepsYieldingTheSnapshot) {
    cow_List<int> list = Counting(40);
    cow_ListIter<int> it(list);
    list.Get(0) = -1;
    list.RemoveIndex(20);
    list.Append(99);
    list.Resize(5);
    std::vector<int> seen;
    for (; it.IsValid(); it.Next())
        seen.push_back(it.ConstGet());
    EXPECT_EQ(Contents(Counting(40)), seen);
    it.First();
    EXPECT_EQ(0, it.ConstGet());
}

TEST(cow_ListOperationTest, IteratorStartsAtAnyOffset) {
    for (int prepended : {0, 1, 15, 16, 17, 300}) {
        cow_List<int> list;
        for (int k = prepended - 1; k >= 0; --k)
            list.Prepend(k);
        for (int k = prepended; k < prepended + 20; ++k)
            list.Append(k);
        std::vector<int> seen;
        for (cow_ListIter<int> it(list); it.IsValid(); it.Next())
            seen.push_back(it.ConstGet());
        EXPECT_EQ(Contents(list), seen) << prepended;
    }
    cow_ListIter<int> empty{cow_List<int>()};
    EXPECT_FALSE(empty.IsValid());
}

struct TreeNode {
    int value;
    cow_List<TreeNode> children;
};

TEST(cow_ListOperationTest, AssigningAListFromInsideItsOwnElements) {
    TreeNode grandchild{2, {}};
    TreeNode child{1, {}};
    child.children.Append(grandchild).Append(TreeNode{3, {}});
    TreeNode root{0, {}};
    root.children.Append(child);
    child = TreeNode{};
    // The source lives in an element that dies with the storage being replaced.
    root.children = root.children.ConstGet(0).children;
    ASSERT_EQ(2, root.children.Count());
    EXPECT_EQ(2, root.children.ConstGet(0).value);
    EXPECT_EQ(3, root.children.ConstGet(1).value);
    EXPECT_EQ(1, root.children.ShareCount());

    cow_List<int> self = Counting(5);
    cow_List<int>& alias = self;
    self = alias;
    EXPECT_EQ(Contents(Counting(5)), Contents(self));
    EXPECT_EQ(1, self.ShareCount());
}

// Faults mended on purpose: each of these read state or a value after it had changed.

TEST(cow_ListOperationTest, ResizeZeroOnAListEmptiedByRemovalLetsPrependWork) {
    for (int n : {1, 5, 16, 40}) {
        cow_List<int> list = Counting(n);
        while (list.Count() > 0)
            list.RemoveIndex(0);
        ASSERT_NE(0, list.Offset());
        list.Resize(0);
        EXPECT_EQ(0, list.Offset()) << n;
        EXPECT_EQ(4, list.Shift()) << n;
        EXPECT_EQ(0, list.BlockSlots()) << n;
        list.Prepend(42);
        EXPECT_EQ(255, list.Offset()) << n;
        EXPECT_EQ((std::vector<int>{42}), Contents(list)) << n;
    }
    cow_List<int> sized(cow_ListSized, 1000);
    sized.Resize(0);
    EXPECT_EQ(4, sized.Shift());
    EXPECT_EQ(0, sized.BlockSlots());
}

TEST(cow_ListOperationTest, InsertingAnElementOfTheSameListInsertsItsValue) {
    struct Case {
        int index;
        int from;
    };
    // Near the front the shift overwrites elements before the index, near the back those
    // after it.
    const Case cases[] = {{3, 0}, {3, 1}, {3, 2}, {3, 3}, {8, 0}, {6, 9}, {6, 7}, {6, 6}, {9, 9}};
    for (const Case& c : cases) {
        for (bool shared : {false, true}) {
            cow_List<std::string> list;
            for (int k = 0; k < 10; ++k)
                list.Append("item " + std::to_string(k) + " stored beyond the small buffer");
            const cow_List<std::string> sharer = shared ? list : cow_List<std::string>();
            list.InsertIndex(c.index, list.ConstGet(c.from));
            ASSERT_EQ(11, list.Count());
            EXPECT_EQ("item " + std::to_string(c.from) + " stored beyond the small buffer",
                      list.ConstGet(c.index))
                << "insert element " << c.from << " at " << c.index;
            for (int j = 0; j < 11; ++j) {
                if (j == c.index)
                    continue;
                const int k = j < c.index ? j : j - 1;
                EXPECT_EQ("item " + std::to_string(k) + " stored beyond the small buffer",
                          list.ConstGet(j));
            }
        }
    }
}

TEST(cow_ListOperationTest, NegativeSizeGivesTheDefaultBlocks) {
    for (int n : {-1, -300, -1000000, INT_MIN}) {
        cow_List<int> list(cow_ListSized, n);
        EXPECT_EQ(4, list.Shift()) << n;
        EXPECT_EQ(16, list.BlockSlots()) << n;
        for (int k = 0; k < 300; ++k)
            list.Append(k);
        EXPECT_EQ(Contents(Counting(300)), Contents(list)) << n;
    }
}

} // namespace
