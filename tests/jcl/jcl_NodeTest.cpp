#include "jcl/jcl_Node.h"

#include "ConsoleCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

jcl_Node Element(const char* name, const char* text = "") {
    jcl_Node node;
    node.SetTagName(name);
    node.text.append(text);
    return node;
}

cow_List<int> Path(std::initializer_list<int> steps) {
    cow_List<int> path;
    for (int step : steps)
        path.Append(step);
    return path;
}

TEST(jcl_Node, DefaultNodeSerialisesToEmptyTagsAndWritesValueLine) {
    ConsoleCapture console;
    jcl_Node node;
    EXPECT_FALSE(node.isRoot);
    EXPECT_EQ(node.parent, nullptr);
    EXPECT_EQ(node.children.Count(), 0);
    EXPECT_STREQ(node.Serialize().c_str(), "<>\n</>\n");
    EXPECT_EQ(console.Text(), "value\n");
}

TEST(jcl_Node, SerialisesExactlyAsStoredWithoutEscaping) {
    struct Case {
        const char* attribute;
        const char* value;
        const char* text;
        const char* expected;
    } cases[] = {
        {"a", "say \"hi\"", "", "<e a=\"say \"hi\"\">\n</e>\n"},
        {"b", "x&y", "1 < 2", "<e b=\"x&y\">1 < 2\n</e>\n"},
        {"c", "", "  spaced  ", "<e c=\"\">  spaced  \n</e>\n"},
    };
    ConsoleCapture console;
    for (const Case& c : cases) {
        jcl_Node node = Element("e", c.text);
        node.InsertAttribute(c.attribute, c.value);
        EXPECT_STREQ(node.Serialize().c_str(), c.expected) << c.attribute;
    }
}

TEST(jcl_Node, AttributesComeOutInKeyOrderAndFirstInsertWins) {
    ConsoleCapture console;
    jcl_Node node = Element("presence");
    node.InsertAttribute("type", "available");
    node.InsertAttribute("from", "a@b");
    node.InsertAttribute("type", "unavailable");
    EXPECT_STREQ(node.Serialize().c_str(),
                 "<presence from=\"a@b\" type=\"available\">\n</presence>\n");
}

TEST(jcl_Node, TextPiecesAndTextAfterChildrenComeBeforeTheFirstChild) {
    ConsoleCapture console;
    jcl_Node presence = Element("presence");
    presence.InsertAttribute("type", "available");
    presence.Append(Element("show", "away"));
    EXPECT_STREQ(presence.Serialize().c_str(),
                 "<presence type=\"available\">\n<show>away\n</show>\n</presence>\n");
    EXPECT_EQ(console.Text(), "value\nvalueaway\n");

    jcl_Node mixed = Element("m", "one ");
    mixed.Append(Element("c"));
    mixed.text.append("two", 3, 0, 0x7fffffff);
    EXPECT_STREQ(mixed.Serialize().c_str(), "<m>one two\n<c>\n</c>\n</m>\n");
}

TEST(jcl_Node, ThreeLevelTreeWritesOneConsoleLinePerElementParentFirst) {
    ConsoleCapture console;
    jcl_Node leaf = Element("c", "3");
    jcl_Node middle = Element("b", "2");
    middle.Append(leaf);
    jcl_Node top = Element("a", "1");
    top.Append(middle);
    EXPECT_STREQ(top.Serialize().c_str(), "<a>1\n<b>2\n<c>3\n</c>\n</b>\n</a>\n");
    EXPECT_EQ(console.Text(), "value1\nvalue2\nvalue3\n");
}

TEST(jcl_Node, TraverseFollowsThePath) {
    jcl_Node top = Element("top");
    for (int i = 0; i < 2; ++i) {
        jcl_Node child = Element(i == 0 ? "first" : "second");
        for (int k = 0; k < 3; ++k)
            child.Append(Element("leaf", std::to_string(i * 10 + k).c_str()));
        top.Append(child);
    }
    EXPECT_EQ(&top.Traverse(Path({})), &top);
    EXPECT_STREQ(top.Traverse(Path({0, 2})).text.c_str(), "2");
    EXPECT_STREQ(top.Traverse(Path({1, 0})).text.c_str(), "10");
    EXPECT_STREQ(top.Traverse(Path({1})).GetTagName().c_str(), "second");
}

TEST(jcl_Node, CopiesShareUntilAChildIsChangedThroughOne) {
    jcl_Node original = Element("top");
    original.Append(Element("child", "before"));
    jcl_Node copy(original);
    copy.GetChild(0).text = "after";
    copy.GetChild(0).InsertAttribute("k", "v");
    EXPECT_STREQ(original.children.ConstGet(0).text.c_str(), "before");
    EXPECT_FALSE(original.children.ConstGet(0).attributes.IsMember("k"));
    EXPECT_STREQ(copy.children.ConstGet(0).text.c_str(), "after");

    jcl_Node assigned;
    assigned = original;
    assigned.Traverse(Path({0})).Append(Element("deep"));
    EXPECT_EQ(original.children.ConstGet(0).children.Count(), 0);
    EXPECT_EQ(assigned.children.ConstGet(0).children.Count(), 1);
}

// The child lives in the storage the assignment releases.
TEST(jcl_Node, ANodeCanBeAssignedOneOfItsOwnChildren) {
    jcl_Node top = Element("top", "t");
    jcl_Node child = Element("child", "c");
    child.InsertAttribute("k", "v");
    child.Append(Element("grandchild", "g"));
    top.Append(child);
    child = jcl_Node();

    top = top.children.ConstGet(0);
    EXPECT_STREQ(top.GetTagName().c_str(), "child");
    EXPECT_STREQ(top.text.c_str(), "c");
    EXPECT_STREQ(top.attributes.ConstGet("k").c_str(), "v");
    ASSERT_EQ(top.children.Count(), 1);

    top = std::move(top.GetChild(0));
    EXPECT_STREQ(top.GetTagName().c_str(), "grandchild");
    EXPECT_STREQ(top.text.c_str(), "g");
    EXPECT_TRUE(top.attributes.IsEmpty());
    EXPECT_EQ(top.children.Count(), 0);
}

TEST(jcl_Node, AMovedNodeTakesEverythingAndLeavesItsStringsAndAttributesEmpty) {
    jcl_Node source = Element("top", "text");
    source.InsertAttribute("k", "v");
    source.isRoot = true;
    source.Append(Element("child", "inner"));
    const jcl_Node kept(source);

    jcl_Node moved(std::move(source));
    jcl_Node assigned;
    assigned = std::move(moved);
    const jcl_Node* const full[] = {&kept, &assigned};
    for (const jcl_Node* node : full) {
        EXPECT_STREQ(node->GetTagName().c_str(), "top");
        EXPECT_STREQ(node->text.c_str(), "text");
        EXPECT_STREQ(node->attributes.ConstGet("k").c_str(), "v");
        EXPECT_TRUE(node->isRoot);
        ASSERT_EQ(node->children.Count(), 1);
        EXPECT_STREQ(node->children.ConstGet(0).text.c_str(), "inner");
    }
    // Moved-from nodes are read on purpose: their strings and attributes must be gone.
    const jcl_Node* const emptied[] = {&source, &moved};
    for (const jcl_Node* empty : emptied) {
        EXPECT_TRUE(empty->GetTagName().IsEmpty());
        EXPECT_TRUE(empty->text.IsEmpty());
        EXPECT_TRUE(empty->attributes.IsEmpty());
    }
    // The moved tree still shares with the copy taken before: a write copies first.
    assigned.GetChild(0).text = "changed";
    EXPECT_STREQ(kept.children.ConstGet(0).text.c_str(), "inner");
    ASSERT_EQ(source.children.Count(), 1);
    EXPECT_STREQ(source.children.ConstGet(0).text.c_str(), "inner");
}

TEST(jcl_Node, ReferencesIntoChildrenStayValidWhileSiblingsAreAppended) {
    jcl_Node top = Element("top");
    top.Append(Element("first"));
    jcl_Node* first = &top.GetChild(0);
    for (int i = 0; i < 100; ++i)
        top.Append(Element("sibling"));
    EXPECT_EQ(first, &top.GetChild(0));
    EXPECT_STREQ(first->GetTagName().c_str(), "first");
}

TEST(jcl_NodeDeathTest, ChildIndexOutOfRangeEndsTheProcess) {
    jcl_Node top = Element("top");
    top.Append(Element("only"));
    EXPECT_DEATH(top.GetChild(1), "");
    EXPECT_DEATH(top.Traverse(Path({0, 0})), "");
}

} // namespace
