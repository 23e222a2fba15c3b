#include "jcl/jcl_AttributeCache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> List; // name, value, name, value, ...

std::map<std::string, std::string> Contents(const jcl_AttributeCache::Attributes& map) {
    std::map<std::string, std::string> contents;
    for (jcl_AttributeCache::Attributes::ConstIterator it(map); !it.IsDone(); it.Next())
        contents[it.Key().c_str()] = it.Value().c_str();
    return contents;
}

// The list as the parser passes it: pointers to zero-terminated texts, then a null.
std::vector<const char*> AsParserGives(const List& list) {
    std::vector<const char*> pointers;
    for (const std::string& text : list)
        pointers.push_back(text.c_str());
    pointers.push_back(nullptr);
    return pointers;
}

// Lists that differ in one byte, in where a name ends and its value begins, in order and
// in length (past what is kept) must each get their own map and count.
TEST(jcl_AttributeCache, AlwaysAnswersTheMapOfTheListAskedForWhateverCollidesOrRepeats) {
    std::vector<List> pool = {{},
                              {"type", "chat"},
                              {"type", "chas"},
                              {"typ", "echat"},
                              {"type", ""},
                              {"", "x"},
                              {"to", "a", "from", "b"},
                              {"from", "b", "to", "a"},
                              {"id", std::string(200, 'i')},
                              {"a", std::string(120, 'v'), "b", "w"}};
    // More pairs than are sorted in place, in descending order; and addresses that differ
    // only in the middle, which the slot's hash does not see.
    List many;
    for (int k = 20; k > 0; --k) {
        many.push_back("n" + std::to_string(k));
        many.push_back(std::to_string(k));
    }
    pool.push_back(many);
    for (int i = 0; i < 20; ++i)
        pool.push_back({"from", "job" + std::to_string(i) + "@server.example/run", "type", "chat"});
    for (int i = 0; i < 500; ++i)
        pool.push_back({"id", "m" + std::to_string(i), "type", i % 2 ? "chat" : "normal"});
    std::mt19937 random(11);
    jcl_AttributeCache cache;
    jcl_TextCache names, values;
    for (int step = 0; step < 20000; ++step) {
        const List& list = pool[random() % pool.size()];
        std::map<std::string, std::string> expected;
        long long expectedBytes = 0;
        for (std::size_t k = 0; k + 1 < list.size(); k += 2) {
            expected[list[k]] = list[k + 1];
            expectedBytes += 2 * sizeof(cow_String) + list[k + 1].size();
        }
        long long heldBytes = -1;
        const std::vector<const char*> attributes = AsParserGives(list);
        ASSERT_EQ(Contents(cache.Get(attributes.data(), names, values, heldBytes)), expected);
        ASSERT_EQ(heldBytes, expectedBytes);
    }
}

TEST(jcl_AttributeCache, AChangedCopyLeavesTheCachedMapAsItWas) {
    jcl_AttributeCache cache;
    jcl_TextCache names, values;
    const List list = {"type", "integer"};
    const std::vector<const char*> attributes = AsParserGives(list);
    long long heldBytes;
    jcl_AttributeCache::Attributes copy = cache.Get(attributes.data(), names, values, heldBytes);
    copy.Set("type", "changed");
    copy.Set("extra", "1");
    const std::map<std::string, std::string> expected = {{"type", "integer"}};
    EXPECT_EQ(Contents(cache.Get(attributes.data(), names, values, heldBytes)), expected);
}

} // namespace
