#include "base/cow_String.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

TEST(CowString, AbsentRepresentationReadsAsEmptyText) {
    cow_String none;
    EXPECT_EQ(0, none.length());
    EXPECT_STREQ("", none.c_str());
    EXPECT_TRUE(none == "");
    EXPECT_TRUE(none == cow_String(""));
    EXPECT_EQ('\0', none[0]);
    cow_String fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(0, fromNull.length());
}

TEST(CowString, NumbersRenderAsDecimalText) {
    struct Case {
        cow_String value;
        const char* text;
    } cases[] = {
        {cow_String(0), "0"},
        {cow_String(-17), "-17"},
        {cow_String(std::numeric_limits<int>::min()), "-2147483648"},
        {cow_String(4294967295u), "4294967295"},
        {cow_String(1.5), "1.5"},
        {cow_String(0.1), "0.1"},
        {cow_String(-2.0), "-2"},
        {cow_String(double(std::numeric_limits<float>::max())), "3.4028234663852886e+38"},
        {cow_String(1e-300), "1e-300"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(c.text, c.value.c_str());
}

TEST(CowString, AppendTakesTheChosenPieceOnly) {
    cow_String text("ab");
    text.append("cdef", 2, 0, 0x7fffffff);
    EXPECT_STREQ("abcd", text.c_str());
    text.append("xyz", 3, 1, 1);
    EXPECT_STREQ("abcdy", text.c_str());
    text.append("", 0).append(nullptr, 5);
    EXPECT_STREQ("abcdy", text.c_str());
    text.append(text);
    EXPECT_STREQ("abcdyabcdy", text.c_str());
    text.append(text.c_str() + 8, 2);
    EXPECT_STREQ("abcdyabcdydy", text.c_str());
}

TEST(CowString, WritesNeverShowThroughCopies) {
    cow_String original("shared");
    cow_String copy(original);
    copy.append(" text");
    copy.replace(0, 1, "S", 1);
    EXPECT_STREQ("shared", original.c_str());
    EXPECT_STREQ("Shared text", copy.c_str());
    cow_String assigned;
    assigned = original;
    original = "changed";
    EXPECT_STREQ("shared", assigned.c_str());
    assigned.Delete();
    EXPECT_EQ(0, assigned.length());
}

TEST(CowString, FindSubstrAndReplace) {
    cow_String text("<x>Kill</x>Kill");
    EXPECT_EQ(3, text.Find("Kill", 0));
    EXPECT_EQ(11, text.Find("Kill", 4));
    EXPECT_EQ(text.length(), text.Find("kill", 0));
    EXPECT_EQ(text.length(), text.Find("Kill", 99));
    EXPECT_STREQ("Kill", text.Substr(3, 4).c_str());
    EXPECT_STREQ("Kill", text.Substr(11, 100).c_str());
    EXPECT_STREQ("", text.Substr(50, 2).c_str());
    text.replace(0, 3, "<y attr='1'>", 12);
    EXPECT_STREQ("<y attr='1'>Kill</x>Kill", text.c_str());
    text.replace(text.length() - 4, 100, "", 0);
    EXPECT_STREQ("<y attr='1'>Kill</x>", text.c_str());
}

TEST(CowString, ComparesByText) {
    EXPECT_TRUE(cow_String("Error") == "Error");
    EXPECT_FALSE(cow_String("Error") == "error");
    EXPECT_FALSE(cow_String("Err") == "Error");
    EXPECT_TRUE(cow_String("a") < cow_String("b"));
    EXPECT_TRUE(cow_String("job", 3) == cow_String("jobname", 3));
    EXPECT_STREQ("ab", (cow_String("a") + cow_String("b")).c_str());
}

TEST(CowString, CopiesAndReleasesFromManyThreadsKeepTheTextIntact) {
    const cow_String shared("a report handed from thread to thread");
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                cow_String copy(shared);
                cow_String second = copy;
                copy.Delete();
                if (!(second == "a report handed from thread to thread"))
                    ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, mismatches.load());
    EXPECT_STREQ("a report handed from thread to thread", shared.c_str());
}
