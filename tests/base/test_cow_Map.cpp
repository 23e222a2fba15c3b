#include "base/cow_Map.h"
#include "base/cow_String.h"

#include <gtest/gtest.h>

#include <string>

using Attributes = cow_Map<cow_String, cow_String>;

static std::string listed(const Attributes& map) {
    std::string text;
    Attributes::ConstIterator it(map);
    for (it.First(); !it.IsDone(); it.Next())
        text += std::string(it.Key().c_str()) + "=" + it.Value().c_str() + ";";
    return text;
}

TEST(CowMap, InsertKeepsTheFirstValueAndIteratesInKeyOrder) {
    Attributes map;
    EXPECT_TRUE(map.Insert("to", "monitor@localhost"));
    EXPECT_TRUE(map.Insert("from", "job@localhost"));
    EXPECT_FALSE(map.Insert("to", "other"));
    EXPECT_EQ("from=job@localhost;to=monitor@localhost;", listed(map));
    map.Set("to", "other");
    EXPECT_STREQ("other", map.ConstGet("to").c_str());
    EXPECT_TRUE(map.Remove("to"));
    EXPECT_FALSE(map.Remove("to"));
    EXPECT_EQ("from=job@localhost;", listed(map));
}

TEST(CowMap, MissingKeyYieldsTheEmptyString) {
    Attributes empty;
    EXPECT_STREQ("", empty.ConstGet("type").c_str());
    EXPECT_FALSE(empty.IsMember("type"));
    EXPECT_EQ("", listed(empty));
    Attributes one;
    one.Insert("id", "1");
    EXPECT_STREQ("", one.ConstGet("type").c_str());
}

TEST(CowMap, CopiesAreIndependentAfterAWrite) {
    Attributes original;
    original.Insert("a", "1");
    Attributes copy(original);
    EXPECT_TRUE(copy == original);
    copy.Insert("b", "2");
    original.Set("a", "changed");
    EXPECT_EQ("a=changed;", listed(original));
    EXPECT_EQ("a=1;b=2;", listed(copy));
    EXPECT_TRUE(copy != original);
}

TEST(CowMap, IteratorWalksASnapshot) {
    Attributes map;
    map.Insert("a", "1");
    Attributes::ConstIterator it(map);
    map.Insert("b", "2");
    int seen = 0;
    for (it.First(); !it.IsDone(); it.Next())
        ++seen;
    EXPECT_EQ(1, seen);
}
