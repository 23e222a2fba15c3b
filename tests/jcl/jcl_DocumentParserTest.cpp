#include "jcl/jcl_DocumentParser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(jcl_DocumentParser, ServerStreamHeaderAndFeaturesGiveTheStreamElement) {
    const jcl_Node node = jcl_DocumentParser::Parse(
        "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
        "xmlns='jabber:client' from='localhost' id='abc' version='1.0'>"
        "<stream:features><register xmlns='http://jabber.org/features/iq-register'/>"
        "</stream:features>");
    EXPECT_STREQ(node.GetTagName().c_str(), "stream:stream");
    EXPECT_TRUE(node.isRoot);
    EXPECT_STREQ(node.attributes.ConstGet("xmlns:stream").c_str(),
                 "http://etherx.jabber.org/streams");
    EXPECT_STREQ(node.attributes.ConstGet("id").c_str(), "abc");
    ASSERT_EQ(node.children.Count(), 1);
    EXPECT_STREQ(node.children.ConstGet(0).GetTagName().c_str(), "stream:features");
}

TEST(jcl_DocumentParser, TwoStanzasInOneReadGiveOnlyTheFirst) {
    const jcl_Node node = jcl_DocumentParser::Parse(
        "<message id='1'><body>first</body></message><message id='2'><body>second</body>"
        "</message>");
    EXPECT_STREQ(node.attributes.ConstGet("id").c_str(), "1");
    ASSERT_EQ(node.children.Count(), 1);
    EXPECT_STREQ(node.children.ConstGet(0).text.c_str(), "first");
}

TEST(jcl_DocumentParser, StanzaSplitOverTwoReadsIsNotReassembled) {
    const jcl_Node first = jcl_DocumentParser::Parse("<message id='1'><body>hel");
    EXPECT_STREQ(first.GetTagName().c_str(), "message");
    ASSERT_EQ(first.children.Count(), 1);
    EXPECT_STREQ(first.children.ConstGet(0).text.c_str(), "hel");

    const jcl_Node second = jcl_DocumentParser::Parse("lo</body></message>");
    EXPECT_TRUE(second.GetTagName().IsEmpty());
    EXPECT_EQ(second.children.Count(), 0);
}

TEST(jcl_DocumentParser, XNestedAfterABodyIsTheFirstChildOfX) {
    const jcl_Node node = jcl_DocumentParser::Parse(
        "<message from='mon@s/r'><body>b</body><x xmlns='zorvik:msg'><cmd a='1'>Kill</cmd>"
        "<more/></x></message>");
    ASSERT_EQ(node.children.Count(), 2);
    const jcl_Node& x = node.children.ConstGet(1);
    EXPECT_STREQ(x.GetTagName().c_str(), "x");
    ASSERT_EQ(x.children.Count(), 2);
    EXPECT_STREQ(x.children.ConstGet(0).GetTagName().c_str(), "cmd");
    EXPECT_STREQ(x.children.ConstGet(0).text.c_str(), "Kill");
    EXPECT_STREQ(x.children.ConstGet(0).attributes.ConstGet("a").c_str(), "1");
    EXPECT_STREQ(x.children.ConstGet(1).GetTagName().c_str(), "more");
    EXPECT_TRUE(x.text.IsEmpty());
    EXPECT_STREQ(node.children.ConstGet(0).text.c_str(), "b");
}

TEST(jcl_DocumentParser, SiblingsAndCousinsLandWhereTheyBelong) {
    const jcl_Node node =
        jcl_DocumentParser::Parse("<a>1<b>2<c>3</c>4<d>5</d></b>6<e><f>7</f></e><g/></a>");
    EXPECT_STREQ(node.text.c_str(), "16");
    ASSERT_EQ(node.children.Count(), 3);
    const jcl_Node& b = node.children.ConstGet(0);
    EXPECT_STREQ(b.text.c_str(), "24");
    ASSERT_EQ(b.children.Count(), 2);
    EXPECT_STREQ(b.children.ConstGet(1).text.c_str(), "5");
    EXPECT_STREQ(node.children.ConstGet(1).children.ConstGet(0).text.c_str(), "7");
    EXPECT_STREQ(node.children.ConstGet(2).GetTagName().c_str(), "g");
    EXPECT_FALSE(b.isRoot);
}

TEST(jcl_DocumentParser, BadInputGivesWhatWasBuiltBeforeTheError) {
    struct Case {
        const char* text;
        const char* tag;
        int children;
    } cases[] = {
        {"", "", 0},
        {"not xml at all", "", 0},
        {"<message><body>x</wrong></message>", "message", 1},
        {"<message><body>x</body><", "message", 1},
        {"</message>", "", 0},
        {"<iq a='1' a='2'/>", "", 0},
        {"<message>\xff\xfe</message>", "message", 0},
        {"<message><body>&undefined;</body></message>", "message", 1},
    };
    for (const Case& c : cases) {
        const jcl_Node node = jcl_DocumentParser::Parse(c.text);
        EXPECT_STREQ(node.GetTagName().c_str(), c.tag) << c.text;
        EXPECT_EQ(node.children.Count(), c.children) << c.text;
    }
    // Embedded zero bytes and a length that ends inside a token.
    const char withZero[] = "<message>a\0b</message>";
    EXPECT_STREQ(jcl_DocumentParser::Parse(withZero, sizeof withZero - 1).GetTagName().c_str(),
                 "message");
    EXPECT_TRUE(jcl_DocumentParser::Parse("<message/>", -5).GetTagName().IsEmpty());
}

TEST(jcl_DocumentParser, DeepNestingWithinOneReadIsBuilt) {
    std::string text;
    const int levels = 300;
    for (int i = 0; i < levels; ++i)
        text += "<n>";
    text += "deep";
    for (int i = 0; i < levels; ++i)
        text += "</n>";
    const jcl_Node node = jcl_DocumentParser::Parse(text.c_str(), int(text.size()));
    const jcl_Node* current = &node;
    int depth = 1;
    while (current->children.Count() == 1) {
        current = &current->children.ConstGet(0);
        ++depth;
    }
    EXPECT_EQ(depth, levels);
    EXPECT_STREQ(current->text.c_str(), "deep");
}

} // namespace
