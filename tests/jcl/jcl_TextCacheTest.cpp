#include "jcl/jcl_TextCache.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(jcl_TextCache, AlwaysAnswersTheTextAskedForWhateverCollidesOrRepeats) {
    std::vector<std::string> pool = {"",
                                     "a",
                                     "to",
                                     "from",
                                     "type",
                                     "id",
                                     "xmlns",
                                     "chat",
                                     std::string(64, 'x'),
                                     std::string(65, 'y'),
                                     std::string(300, 'z')};
    for (int i = 0; i < 2000; ++i)
        pool.push_back("value" + std::to_string(i));
    std::mt19937 random(7);
    jcl_TextCache cache;
    for (int step = 0; step < 50000; ++step) {
        const std::string& text = pool[random() % pool.size()];
        if (step % 2 == 0) {
            ASSERT_EQ(std::string(cache.Get(text.c_str()).c_str()), text);
        } else {
            // A piece of a longer text, not zero-terminated where it ends.
            const std::string longer = text + "tail";
            const cow_String& got = cache.Get(longer.data(), static_cast<int>(text.size()));
            ASSERT_EQ(std::string(got.c_str()), text);
        }
    }
}

TEST(jcl_TextCache, ARepeatedTextSharesOneString) {
    jcl_TextCache cache;
    const cow_String first = cache.Get("message");
    const cow_String again = cache.Get("message");
    EXPECT_EQ(first.c_str(), again.c_str());
    cow_String changed = again;
    changed.append("!");
    EXPECT_STREQ(cache.Get("message").c_str(), "message");
}

} // namespace
