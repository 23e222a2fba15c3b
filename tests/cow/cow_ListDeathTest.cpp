// An index out of range ends the process through abort, whatever the operation.
#include "cow/cow_List.h"
#include "cow/cow_ListIter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>

namespace {

// How the death test sees a child that called abort: Windows' C runtime ends it with code 3.
#if defined(_WIN32)
::testing::ExitedWithCode EndedByAbort() {
    return ::testing::ExitedWithCode(3);
}
#else
::testing::KilledBySignal EndedByAbort() {
    return ::testing::KilledBySignal(SIGABRT);
}
#endif

cow_List<std::string> ThreeWords() {
    cow_List<std::string> list;
    list.Append("one").Append("two").Append("three");
    return list;
}

TEST(cow_ListDeathTest, OutOfRangeIndexAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* name;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"Pop on empty", [] { cow_List<std::string>().Pop(); }},
        {"Last on empty", [] { (void)cow_List<std::string>().Last(); }},
        {"ConstGet(-1)", [] { (void)ThreeWords().ConstGet(-1); }},
        {"ConstGet(count)", [] { (void)ThreeWords().ConstGet(3); }},
        {"Get(count)", [] { ThreeWords().Get(3) = "x"; }},
        {"Get(-1) on shared",
         [] {
             const cow_List<std::string> list = ThreeWords();
             cow_List<std::string> sharer(list);
             sharer.Get(-1) = "x";
         }},
        {"RemoveIndex(count)", [] { ThreeWords().RemoveIndex(3); }},
        {"RemoveIndex(0) on empty", [] { cow_List<int>().RemoveIndex(0); }},
        {"InsertIndex(count + 1)", [] { ThreeWords().InsertIndex(4, "x"); }},
        {"InsertIndex(-1)", [] { ThreeWords().InsertIndex(-1, "x"); }},
        {"Resize(-1)", [] { ThreeWords().Resize(-1); }},
        {"SetFromArray with n < 0", [] { ThreeWords().SetFromArray(nullptr, -2); }},
        {"exhausted iterator",
         [] {
             cow_ListIter<std::string> it(ThreeWords());
             it.Next();
             it.Next();
             it.Next();
             (void)it.ConstGet();
         }},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(c.call(), EndedByAbort(), "") << c.name;
}

} // namespace
