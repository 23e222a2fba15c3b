// Long random sequences of every mutating operation on lists that share storage, each list
// checked against a std::deque model, together with the sharing counters and, for the
// tracked element type, the exact set of live elements.
#include "cow/cow_List.h"
#include "cow/cow_ListIter.h"
#include "cow_TrackedValue.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

template <class T> struct Element;

template <> struct Element<int> {
    static int Make(int v) { return v; }
    static int Read(int v) { return v; }
};

template <> struct Element<std::string> {
    // Long enough to live on the heap, so a lost or doubled string shows under ASan.
    static std::string Make(int v) { return "element number " + std::to_string(v) + " of the run"; }
    static int Read(const std::string& s) { return std::stoi(s.substr(15)); }
};

template <> struct Element<cow_TrackedValue> {
    static cow_TrackedValue Make(int v) { return cow_TrackedValue(v); }
    static int Read(const cow_TrackedValue& t) { return t.Value(); }
};

constexpr int kLists = 4;

template <class T> class RandomRun {
public:
    explicit RandomRun(unsigned seed) : random(seed) {}

    void Step() {
        const int target = Pick(kLists);
        cow_List<T>& list = lists[target];
        std::deque<int>& model = models[target];
        const int n = list.Count();
        const int v = ++nextValue;
        // Large lists only shrink, so that concatenation cannot run away.
        const int operation = n > 3000 ? 12 : Pick(22);
        switch (operation) {
        case 0:
        case 1:
        case 2:
            list.Append(Element<T>::Make(v));
            model.push_back(v);
            break;
        case 3:
        case 4:
            list.Prepend(Element<T>::Make(v));
            model.push_front(v);
            break;
        case 5: {
            const int i = Pick(n + 1);
            list.InsertIndex(i, Element<T>::Make(v));
            model.insert(model.begin() + i, v);
            break;
        }
        case 6: {
            if (n == 0)
                break;
            // The inserted value is an element of the list itself.
            const int i = Pick(n + 1);
            const int from = Pick(n);
            const int copied = model[from];
            list.InsertIndex(i, list.ConstGet(from));
            model.insert(model.begin() + i, copied);
            break;
        }
        case 7:
        case 8:
            if (n == 0)
                break;
            {
                const int i = Pick(3) == 0 ? 0 : Pick(n);
                list.RemoveIndex(i);
                model.erase(model.begin() + i);
            }
            break;
        case 9:
            if (n == 0)
                break;
            ASSERT_EQ(model.back(), Element<T>::Read(list.Pop()));
            model.pop_back();
            break;
        case 10:
            if (n == 0)
                break;
            {
                const int i = Pick(n);
                list.Get(i) = Element<T>::Make(v);
                model[i] = v;
            }
            break;
        case 11: {
            const int size = n - 3 + Pick(60);
            list.Fill(size, Element<T>::Make(v));
            while (static_cast<int>(model.size()) < size)
                model.push_back(v);
            break;
        }
        case 12: {
            const int size = Pick(8) == 0 ? 0 : Pick(n + 40);
            list.Resize(size);
            if (size < n)
                model.resize(size);
            break;
        }
        case 13: {
            const int other = Pick(kLists);
            const std::deque<int> added = models[other];
            list.Concatenate(lists[other]);
            model.insert(model.end(), added.begin(), added.end());
            break;
        }
        case 14: {
            const int source = Pick(kLists);
            const int size = models[source].size();
            int first = Pick(size + 20) - 10;
            int last = Pick(size + 20) - 10;
            std::deque<int> sliced;
            for (int j = std::max(first, 0); j < std::min(last, size); ++j)
                sliced.push_back(models[source][j]);
            list = lists[source].Slice(first, last);
            model = sliced;
            break;
        }
        case 15: {
            const int size = Pick(4) == 0 ? 0 : Pick(300);
            std::vector<T> values;
            std::deque<int> fresh;
            for (int j = 0; j < size; ++j) {
                values.push_back(Element<T>::Make(v + j));
                fresh.push_back(v + j);
            }
            nextValue += size;
            list.SetFromArray(values.data(), size);
            model = fresh;
            break;
        }
        case 16:
        case 17: {
            const int source = Pick(kLists);
            list = lists[source];
            model = models[source];
            break;
        }
        case 18: {
            static const int sizes[] = {-7, 0, 5, 255, 256, 300, 1000, 5000};
            list = cow_List<T>(cow_ListSized, sizes[Pick(8)]);
            model.clear();
            break;
        }
        case 19: {
            int size = -1;
            T* array = list.GetCArray(size);
            ASSERT_EQ(n, size);
            for (int j = 0; j < size; ++j)
                ASSERT_EQ(model[j], Element<T>::Read(array[j]));
            delete[] array;
            break;
        }
        case 20:
            CheckSnapshot();
            snapshotSource = list;
            snapshotModel = model;
            snapshot.reset(new cow_ListIter<T>(list));
            break;
        case 21:
            if (n == 0)
                break;
            // Self-referencing appends and prepends, and the queue pattern that walks the
            // offset forward.
            {
                const int from = Pick(n);
                list.Append(list.ConstGet(from));
                model.push_back(model[from]);
            }
            list.Prepend(list.Last());
            model.push_front(model.back());
            list.RemoveIndex(0);
            model.pop_front();
            break;
        }
        CheckList(list, model);
    }

    void CheckAll() {
        for (int k = 0; k < kLists; ++k)
            CheckList(lists[k], models[k]);
        CheckSnapshot();
        CheckSharing();
    }

    // Every element this run can reach, by address.
    std::set<const void*> ReachableElements() const {
        std::set<const void*> reachable;
        for (const cow_List<T>* list : AllLists()) {
            for (int j = 0; j < list->Count(); ++j)
                reachable.insert(&list->ConstGet(j));
        }
        return reachable;
    }

private:
    int Pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }

    void CheckList(const cow_List<T>& list, const std::deque<int>& model) {
        ASSERT_EQ(static_cast<int>(model.size()), list.Count());
        for (int j = 0; j < list.Count(); ++j)
            ASSERT_EQ(model[j], Element<T>::Read(list.ConstGet(j))) << "at index " << j;
        CheckBlocksCoverElements(list);
    }

    // A block is present exactly where elements are, except that an emptied list may keep
    // the block of its offset.
    void CheckBlocksCoverElements(const cow_List<T>& list) {
        const int size = 1 << list.Shift();
        for (int b = 0; b < list.BlockSlots(); ++b) {
            const long start = static_cast<long>(b) * size;
            const bool holdsElement =
                start < list.Offset() + list.Count() && start + size > list.Offset();
            const bool offsetBlock = list.Count() == 0 && b == list.Offset() / size;
            const bool present = list.Directory()[b] != nullptr;
            ASSERT_TRUE(present == holdsElement || (offsetBlock && !holdsElement))
                << "block " << b << " of " << list.BlockSlots();
        }
    }

    void CheckSnapshot() {
        if (!snapshot)
            return;
        std::deque<int> seen;
        for (snapshot->First(); snapshot->IsValid(); snapshot->Next())
            seen.push_back(Element<T>::Read(snapshot->ConstGet()));
        ASSERT_EQ(snapshotModel, seen);
    }

    std::vector<const cow_List<T>*> AllLists() const {
        std::vector<const cow_List<T>*> all;
        for (const cow_List<T>& list : lists)
            all.push_back(&list);
        all.push_back(&snapshotSource);
        return all;
    }

    // Each directory's counter equals the number of lists using it (the iterator holds
    // one more), and each block's counter the number of distinct directories holding it.
    void CheckSharing() {
        std::map<const void*, int> users;
        for (const cow_List<T>* list : AllLists()) {
            if (list->Directory() != nullptr)
                ++users[list->Directory()];
        }
        std::map<const cow_ListBlock<T>*, int> holders;
        for (const cow_List<T>* list : AllLists()) {
            const void* directory = list->Directory();
            if (directory == nullptr)
                continue;
            int expected = users[directory];
            if (snapshot && directory == snapshotSource.Directory())
                ++expected;
            ASSERT_EQ(expected, list->ShareCount());
        }
        for (const auto& entry : users) {
            const auto* directory = static_cast<const cow_ListBlock<T>* const*>(entry.first);
            const cow_List<T>* owner = nullptr;
            for (const cow_List<T>* list : AllLists()) {
                if (list->Directory() == directory)
                    owner = list;
            }
            for (int b = 0; b < owner->BlockSlots(); ++b) {
                if (directory[b] != nullptr)
                    ++holders[directory[b]];
            }
        }
        for (const auto& entry : holders)
            ASSERT_EQ(entry.second, entry.first->RefCount());
    }

    std::mt19937 random;
    int nextValue = 0;
    cow_List<T> lists[kLists];
    std::deque<int> models[kLists];
    cow_List<T> snapshotSource;
    std::deque<int> snapshotModel;
    std::unique_ptr<cow_ListIter<T>> snapshot;
};

template <class T> class cow_ListRandomTest : public ::testing::Test {};

using ElementTypes = ::testing::Types<int, std::string, cow_TrackedValue>;
TYPED_TEST_SUITE(cow_ListRandomTest, ElementTypes);

TYPED_TEST(cow_ListRandomTest, MatchesDequeUnderMixedOperationsOnSharedLists) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomRun<TypeParam> run(seed);
        for (int step = 0; step < 4000; ++step) {
            ASSERT_NO_FATAL_FAILURE(run.Step()) << "step " << step;
            if (step % 50 == 0) {
                ASSERT_NO_FATAL_FAILURE(run.CheckAll()) << "step " << step;
            }
        }
        ASSERT_NO_FATAL_FAILURE(run.CheckAll());
    }
}

TEST(cow_ListRandomElementsTest, EveryElementIsDestroyedExactlyOnce) {
    ASSERT_TRUE(cow_TrackedValue::Live().empty());
    for (unsigned seed = 100; seed < 106; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        {
            RandomRun<cow_TrackedValue> run(seed);
            for (int step = 0; step < 3000; ++step) {
                ASSERT_NO_FATAL_FAILURE(run.Step());
                // Live values are exactly the elements the lists can reach: none leaked
                // in a raw slot, none destroyed while still reachable.
                if (step % 25 == 0) {
                    const std::set<const void*> reachable = run.ReachableElements();
                    const std::set<const void*> live(cow_TrackedValue::Live().begin(),
                                                     cow_TrackedValue::Live().end());
                    ASSERT_EQ(reachable, live) << "step " << step;
                }
            }
        }
        ASSERT_TRUE(cow_TrackedValue::Live().empty()) << "leaked elements";
    }
}

} // namespace
