#include "base/cow_Map.h"
#include "base/cow_String.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

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

// Random operations against std::map, with copies taken along the way that must keep
// what they saw whatever the original does afterwards.
TEST(CowMap, BehavesAsAStandardMapAndCopiesKeepTheirContents) {
    using Map = cow_Map<std::string, std::string>;
    std::mt19937 random(5);
    Map map;
    std::map<std::string, std::string> model;
    std::vector<std::pair<Map, std::map<std::string, std::string>>> copies;
    const auto key = [&random] { return "k" + std::to_string(random() % 40); };
    for (int step = 0; step < 20000; ++step) {
        const std::string k = key();
        const std::string v = "v" + std::to_string(step);
        switch (random() % 8) {
        case 0:
            ASSERT_EQ(model.emplace(k, v).second, map.Insert(k, v)) << "step " << step;
            break;
        case 1:
            map.Set(k, v);
            model[k] = v;
            break;
        case 2:
            map.SetAscending(k, v);
            model[k] = v;
            break;
        case 3:
            ASSERT_EQ(model.erase(k) == 1, map.Remove(k)) << "step " << step;
            break;
        case 4:
            ASSERT_EQ(model.count(k) == 1, map.IsMember(k)) << "step " << step;
            ASSERT_EQ(model.count(k) ? model[k] : std::string(), map.ConstGet(k));
            break;
        case 5:
            copies.emplace_back(map, model);
            if (copies.size() > 8)
                copies.erase(copies.begin());
            break;
        case 6:
            map.Reserve(static_cast<int>(random() % 50));
            break;
        default:
            if (random() % 50 == 0) {
                map.Clear();
                model.clear();
            }
            break;
        }
        ASSERT_EQ(static_cast<int>(model.size()), map.Size()) << "step " << step;
    }
    const auto contents = [](const Map& m) {
        std::map<std::string, std::string> seen;
        std::string previous;
        for (Map::ConstIterator it(m); !it.IsDone(); it.Next()) {
            EXPECT_TRUE(seen.empty() || previous < it.Key()) << "out of order at " << it.Key();
            previous = it.Key();
            seen[it.Key()] = it.Value();
        }
        return seen;
    };
    EXPECT_EQ(model, contents(map));
    for (const auto& copy : copies)
        EXPECT_EQ(copy.second, contents(copy.first));
}

// A key or value read from the map itself must survive the insert that moves the entries
// or grows the table under it.
TEST(CowMap, KeysAndValuesTakenFromTheMapItselfSurviveItsGrowth) {
    using Map = cow_Map<std::string, std::string>;
    for (int size = 1; size < 12; ++size) {
        Map map;
        for (int k = 0; k < size; ++k)
            map.Insert("b" + std::to_string(k), "value" + std::to_string(k));
        Map::ConstIterator first(map);
        map.Set("a", map.ConstGet("b0"));
        EXPECT_EQ("value0", map.ConstGet("a")) << "size " << size;
        map.Insert(map.ConstGet("a"), map.ConstGet("b0"));
        EXPECT_EQ("value0", map.ConstGet("value0")) << "size " << size;
        map.Set("b0", map.ConstGet("b" + std::to_string(size - 1)));
        EXPECT_EQ("value" + std::to_string(size - 1), map.ConstGet("b0")) << "size " << size;
        map.Set("0", map.ConstGet("a"));
        EXPECT_EQ("value0", map.ConstGet("0")) << "size " << size;
        EXPECT_EQ(size + 3, map.Size());
        int seen = 0;
        for (first.First(); !first.IsDone(); first.Next())
            ++seen;
        EXPECT_EQ(size, seen) << "the iterator's snapshot changed";
    }
}

TEST(CowMap, EqualityComparesContentsNotSharing) {
    Attributes a;
    Attributes b;
    EXPECT_TRUE(a == b);
    a.Insert("x", "1");
    b.Insert("x", "1");
    EXPECT_TRUE(a == b);
    b.Set("x", "2");
    EXPECT_TRUE(a != b);
    b.Set("x", "1");
    b.Insert("y", "");
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(b.Remove("y"));
    EXPECT_TRUE(a == b);
    a.Clear();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(a != b);
}
