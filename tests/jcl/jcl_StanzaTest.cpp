#include "NodeDump.h"
#include "base/xmp_Expat.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <random>
#include <string>

namespace {

jcl_Node Tree(const char* xml) {
    return jcl_DocumentParser::Parse(xml);
}

TEST(jcl_Stanza, TypeNames) {
    EXPECT_STREQ(jcl_Message().GetTypeName().c_str(), "message");
    EXPECT_STREQ(jcl_Presence().GetTypeName().c_str(), "presence");
    EXPECT_STREQ(jcl_IQ().GetTypeName().c_str(), "IQ");
    std::unique_ptr<jcl_Entity> entity(new jcl_Message());
    EXPECT_STREQ(entity->Serialize().c_str(), "<message></message>\n");
}

TEST(jcl_Stanza, AttributesAreWrittenToFromTypeIdWhateverTheOrderTheyWereSet) {
    jcl_Presence presence;
    presence.id = "7";
    presence.SetType("unavailable");
    presence.from = "me@host/r";
    presence.SetTo("you@host");
    EXPECT_STREQ(presence.Serialize().c_str(),
                 "<presence to=\"you@host\" from=\"me@host/r\" type=\"unavailable\" "
                 "id=\"7\"></presence>\n");

    jcl_Message received(Tree("<message id='1' type='chat' from='f' to='t'/>"));
    EXPECT_STREQ(received.Serialize().c_str(),
                 "<message to=\"t\" from=\"f\" type=\"chat\" id=\"1\"></message>\n");
}

TEST(jcl_Stanza, MessageChildrenAreWrittenSubjectBodyErrorX) {
    struct Case {
        const char* subject;
        const char* body;
        const char* error;
        int errorCode;
        const char* x;
        const char* expected;
    } cases[] = {
        {"", "", "", 0, "", "<message></message>\n"},
        {"s", "b", "e", 404, "p",
         "<message><subject>s</subject><body>b</body><error code=\"404\">e</error>"
         "<x xmlns=\"zorvik:msg\">p</x></message>\n"},
        {"", "", "", 404, "", "<message></message>\n"},
        {"", "", "gone", -3, "", "<message><error code=\"-3\">gone</error></message>\n"},
        {"", "", "bad", 0, "", "<message><error code=\"0\">bad</error></message>\n"},
        // The x content is the caller's XML; the other children are texts.
        {"", "a&b\"c<", "", 0, "<job k=\"1\"/>",
         "<message><body>a&amp;b&quot;c&lt;</body><x xmlns=\"zorvik:msg\"><job k=\"1\"/></x>"
         "</message>\n"},
    };
    for (const Case& c : cases) {
        jcl_Message message;
        message.SetSubject(c.subject);
        message.SetBody(c.body);
        message.error = c.error;
        message.errorCode = c.errorCode;
        message.SetX(c.x);
        EXPECT_STREQ(message.Serialize().c_str(), c.expected);
    }
}

TEST(jcl_Stanza, ReportAndFarewellStanzasAsTheTransportSendsThem) {
    jcl_Message report;
    report.SetTo("mon@server/res");
    report.SetType("chat");
    report.SetX("<r t=\"Started\"/>");
    EXPECT_STREQ(report.Serialize().c_str(),
                 "<message to=\"mon@server/res\" type=\"chat\"><x xmlns=\"zorvik:msg\">"
                 "<r t=\"Started\"/></x></message>\n");

    jcl_Presence farewell;
    farewell.SetTo("mon@server/res");
    farewell.SetType("unavailable");
    EXPECT_STREQ(farewell.Serialize().c_str(),
                 "<presence to=\"mon@server/res\" type=\"unavailable\"></presence>\n");
}

TEST(jcl_Stanza, PresenceWritesShowBeforeStatusAndNeverPriority) {
    jcl_Presence presence;
    presence.status = "busy";
    presence.show = "dnd";
    presence.priority = 5;
    EXPECT_STREQ(presence.Serialize().c_str(),
                 "<presence><show>dnd</show><status>busy</status></presence>\n");
}

TEST(jcl_Stanza, IqWritesQueryAlwaysChildrenInFixedOrderAndErrorAfterQuery) {
    jcl_IQ empty;
    EXPECT_STREQ(empty.Serialize().c_str(), "<iq><query xmlns=\"\"></query></iq>\n");

    jcl_IQ onlyNamespace;
    onlyNamespace.SetQueryNamespace("jabber:iq:auth");
    EXPECT_STREQ(onlyNamespace.Serialize().c_str(),
                 "<iq><query xmlns=\"jabber:iq:auth\"></query></iq>\n");

    jcl_IQ full;
    full.SetEmail("e");
    full.nick = "k";
    full.last = "l";
    full.first = "f";
    full.SetName("n");
    full.SetResource("r");
    full.SetPassword("p");
    full.SetUsername("u");
    full.SetQueryNamespace("ns");
    full.SetTo("host");
    full.SetType("set");
    full.error = "conflict";
    full.errorCode = 409;
    EXPECT_STREQ(full.Serialize().c_str(),
                 "<iq to=\"host\" type=\"set\"><query xmlns=\"ns\"><username>u</username>"
                 "<password>p</password><resource>r</resource><name>n</name><first>f</first>"
                 "<last>l</last><nick>k</nick><email>e</email></query>"
                 "<error code=\"409\">conflict</error></iq>\n");
}

// A caller's text, how the client writes it, and what a server reads back from that.
struct CallerTextCase {
    const char* given;
    const char* written;
    const char* readBack;
};

const CallerTextCase callerTexts[] = {
    {"plain-job_1", "plain-job_1", "plain-job_1"},
    {"a&b<c", "a&amp;b&lt;c", "a&b<c"},
    {"x\" y='z'>", "x&quot; y=&apos;z&apos;&gt;", "x\" y='z'>"},
    {"</resource></query><query>", "&lt;/resource&gt;&lt;/query&gt;&lt;query&gt;",
     "</resource></query><query>"},
    {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
    {"Pr\xFC"
     "fung",
     "Pr\xC3\xBC"
     "fung",
     "Pr\xC3\xBC"
     "fung"}, // a Windows-1252 job name
    {"bell\x07", "bell\xEF\xBF\xBD", "bell\xEF\xBF\xBD"},
};

TEST(jcl_Stanza, CallerTextsInAttributesAndTheQueryAreEscapedAndReadBackAsGiven) {
    for (const CallerTextCase& c : callerTexts) {
        jcl_IQ iq;
        iq.SetTo(c.given);
        iq.from = c.given;
        iq.id = c.given;
        iq.SetType(c.given);
        iq.SetQueryNamespace(c.given);
        iq.SetUsername(c.given);
        iq.SetPassword(c.given);
        iq.SetResource(c.given);
        iq.SetName(c.given);
        iq.SetEmail(c.given);
        const std::string w = c.written;
        EXPECT_EQ(std::string(iq.Serialize().c_str()),
                  "<iq to=\"" + w + "\" from=\"" + w + "\" type=\"" + w + "\" id=\"" + w +
                      "\"><query xmlns=\"" + w + "\"><username>" + w + "</username><password>" + w +
                      "</password><resource>" + w + "</resource><name>" + w + "</name><email>" + w +
                      "</email></query></iq>\n")
            << c.given;

        const jcl_IQ back(Tree(iq.Serialize().c_str()));
        for (const cow_String* field :
             {&back.to, &back.from, &back.id, &back.type, &back.queryNamespace, &back.username,
              &back.password, &back.resource, &back.name, &back.email})
            EXPECT_STREQ(field->c_str(), c.readBack) << c.given;
    }
}

TEST(jcl_Stanza, CallerTextsInMessageAndPresenceChildrenAreEscapedAndReadBackAsGiven) {
    for (const CallerTextCase& c : callerTexts) {
        const std::string w = c.written;
        jcl_Message message;
        message.SetSubject(c.given);
        message.SetBody(c.given);
        message.error = c.given;
        message.errorCode = 500;
        EXPECT_EQ(std::string(message.Serialize().c_str()),
                  "<message><subject>" + w + "</subject><body>" + w +
                      "</body><error code=\"500\">" + w + "</error></message>\n")
            << c.given;
        const jcl_Message messageBack(Tree(message.Serialize().c_str()));
        EXPECT_STREQ(messageBack.subject.c_str(), c.readBack) << c.given;
        EXPECT_STREQ(messageBack.body.c_str(), c.readBack) << c.given;
        EXPECT_STREQ(messageBack.error.c_str(), c.readBack) << c.given;
        EXPECT_EQ(messageBack.errorCode, 500) << c.given;

        jcl_Presence presence;
        presence.show = c.given;
        presence.status = c.given;
        EXPECT_EQ(std::string(presence.Serialize().c_str()),
                  "<presence><show>" + w + "</show><status>" + w + "</status></presence>\n")
            << c.given;
        const jcl_Presence presenceBack(Tree(presence.Serialize().c_str()));
        EXPECT_STREQ(presenceBack.show.c_str(), c.readBack) << c.given;
        EXPECT_STREQ(presenceBack.status.c_str(), c.readBack) << c.given;
    }
}

TEST(jcl_Stanza, AMessageToAnAddressWithMarkupStaysOneStanza) {
    jcl_Message message;
    message.SetTo("mon@server/a&b<c");
    message.SetType("chat");
    message.SetX("<R><v type=\"string\">x</v></R>\n");
    const jcl_Message back(Tree(message.Serialize().c_str()));
    EXPECT_STREQ(back.to.c_str(), "mon@server/a&b<c");
    EXPECT_STREQ(back.GetX().c_str(),
                 "<x xmlns=\"zorvik:msg\">\n<R><v type=\"string\">x</v>\n</R>\n</x>\n");
}

TEST(jcl_Stanza, NodeOfTheWrongKindGivesAnEmptyStanza) {
    const jcl_Node presence = Tree("<presence to='a' type='b'><body>x</body></presence>");
    jcl_Message message(presence);
    EXPECT_TRUE(message.to.IsEmpty());
    EXPECT_TRUE(message.type.IsEmpty());
    EXPECT_TRUE(message.body.IsEmpty());
    EXPECT_EQ(message.errorCode, 0);
    EXPECT_STREQ(message.Serialize().c_str(), "<message></message>\n");

    jcl_Presence fromMessage(Tree("<message to='a'><status>s</status></message>"));
    EXPECT_STREQ(fromMessage.Serialize().c_str(), "<presence></presence>\n");
    jcl_IQ fromEmpty{jcl_Node()};
    EXPECT_TRUE(fromEmpty.to.IsEmpty());
    // Names are compared case-sensitively.
    jcl_IQ upper(Tree("<IQ to='a'/>"));
    EXPECT_TRUE(upper.to.IsEmpty());
}

TEST(jcl_Stanza, ReceivedMessageKeepsTheLastSubjectBodyAndError) {
    jcl_Message message(
        Tree("<message from='f'><body>one</body><subject>s1</subject><body>two</body>"
             "<error code='500'>first</error><error code='404 x'>second</error>"
             "<unknown>u</unknown><subject>s2</subject></message>"));
    EXPECT_STREQ(message.from.c_str(), "f");
    EXPECT_STREQ(message.body.c_str(), "two");
    EXPECT_STREQ(message.subject.c_str(), "s2");
    EXPECT_STREQ(message.error.c_str(), "second");
    EXPECT_EQ(message.errorCode, 404);
    EXPECT_TRUE(message.GetX().IsEmpty());
}

TEST(jcl_Stanza, ReceivedXElementsAreWrittenBackAndAccumulate) {
    struct Case {
        const char* xml;
        const char* x;
    } cases[] = {
        {"<message><x xmlns='zorvik:msg'>Kill</x></message>", "<x xmlns=\"zorvik:msg\">Kill</x>\n"},
        {"<message><x xmlns='zorvik:msg' a='1'>t<job id='3'>j</job>u</x></message>",
         "<x a=\"1\" xmlns=\"zorvik:msg\">tu<job id=\"3\">j</job>\n</x>\n"},
        {"<message><x>1</x><body>b</body><x><y><z/></y></x></message>",
         "<x>1</x>\n<x><y><z></z>\n</y>\n</x>\n"},
        // Texts and attribute values go back to XML as the parser decoded them.
        {"<message><x>a &amp; &lt;b&gt;</x></message>", "<x>a &amp; &lt;b&gt;</x>\n"},
        {"<message><x><v type='s'>R&amp;D solver &lt;v2&gt; \"q\" 'a' ]]&gt;</v></x></message>",
         "<x><v type=\"s\">R&amp;D solver &lt;v2&gt; \"q\" 'a' ]]&gt;</v>\n</x>\n"},
        {"<message><x k='&quot;&amp;&lt;&apos;' j=\"'\">Kill</x></message>",
         "<x j=\"&apos;\" k=\"&quot;&amp;&lt;&apos;\">Kill</x>\n"},
        {"<message><x k='a&#9;b&#10;c&#13;d' j='e\tf'>g&#13;h\ti</x></message>",
         "<x j=\"e f\" k=\"a&#9;b&#10;c&#13;d\">g&#13;h\ti</x>\n"},
        {"<message><x>caf\xC3\xA9 &#x20AC; &#xFFFD;</x></message>",
         "<x>caf\xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBD</x>\n"},
    };
    for (const Case& c : cases) {
        jcl_Message message(Tree(c.xml));
        EXPECT_STREQ(message.GetX().c_str(), c.x) << c.xml;
    }
}

// Wire text for a random element: texts and attribute values made of pieces that need
// escaping, every special character written as a character reference.
class RandomElement {
public:
    explicit RandomElement(unsigned seed) : random(seed) {}

    std::string Make(const std::string& name, int depth) {
        std::string out = "<" + name;
        const char* const keys[] = {"type", "k", "xmlns", "a-b"};
        for (const char* key : keys)
            if (Below(3) == 0)
                out += std::string(" ") + key + "='" + Text() + "'";
        out += ">" + Text();
        const int children = depth < 3 ? Below(4) : 0;
        for (int i = 0; i < children; ++i) {
            const char* const names[] = {"Step", "v", "b", "x"};
            out += Make(names[Below(4)], depth + 1) + Text();
        }
        return out + "</" + name + ">";
    }

private:
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    std::string Text() {
        const char* const pieces[] = {"a",     "&#38;", "&#60;",     "&#62;",       "&#34;",
                                      "&#39;", "&#13;", "&#10;",     "&#9;",        " ",
                                      "]]>",   "Kill",  "&amp;amp;", "caf\xC3\xA9", "\n"};
        std::string text;
        for (int n = Below(5); n > 0; --n)
            text += pieces[Below(15)];
        return text;
    }

    std::mt19937 random;
};

// The element as it reads back from the x content: the line feed written after each child's
// end tag is text of its parent.
jcl_Node WithLayout(const jcl_Node& node) {
    jcl_Node out(node);
    for (int i = 0; i < out.children.Count(); ++i) {
        out.text.append("\n");
        out.GetChild(i) = WithLayout(node.children.ConstGet(i));
    }
    return out;
}

bool WellFormed(const std::string& text) {
    XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    const bool ok = xmp_XML_Parse(parser, text.data(), int(text.size()), 1) == XML_STATUS_OK;
    xmp_XML_ParserFree(parser);
    return ok;
}

TEST(jcl_Stanza, ReceivedXReadsBackAsTheElementThatArrived) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        const std::string x = RandomElement(seed).Make("x", 0);
        const jcl_Node arrived = Tree(("<message from='m@s/r'>" + x + "</message>").c_str());
        ASSERT_EQ(arrived.children.Count(), 1) << x;
        const std::string written = jcl_Message(arrived).GetX().c_str();
        ASSERT_TRUE(WellFormed(written)) << x << "\n" << written;
        EXPECT_EQ(NodeDump(Tree(written.c_str())),
                  NodeDump(WithLayout(arrived.children.ConstGet(0))))
            << x << "\n"
            << written;
    }
}

TEST(jcl_Stanza, ErrorCodeWithoutCodeAttributeIsZero) {
    jcl_Message message(Tree("<message><error>oops</error></message>"));
    EXPECT_STREQ(message.error.c_str(), "oops");
    EXPECT_EQ(message.errorCode, 0);
    jcl_IQ iq(Tree("<iq><error>oops</error><query/></iq>"));
    EXPECT_EQ(iq.errorCode, 0);
    EXPECT_TRUE(iq.queryNamespace.IsEmpty());
}

TEST(jcl_Stanza, NumbersReadAsTheStandardConversionAndClampedToTheIntRange) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {
        {"5", 5},
        {"-12", -12},
        {"  +7", 7},
        {"abc", 0},
        {"", 0},
        {"42abc", 42},
        {"- 3", 0},
        {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN},
        {"-2147483648", INT_MIN},
        {"2147483647", INT_MAX},
    };
    for (const Case& c : cases) {
        const std::string xml =
            std::string("<presence><priority>") + c.text + "</priority></presence>";
        EXPECT_EQ(jcl_Presence(Tree(xml.c_str())).priority, c.value) << c.text;
        const std::string error = std::string("<iq><error code='") + c.text + "'>e</error></iq>";
        EXPECT_EQ(jcl_IQ(Tree(error.c_str())).errorCode, c.value) << c.text;
    }
}

TEST(jcl_Stanza, ReceivedPresenceTakesStatusShowPriorityLastOneWins) {
    jcl_Presence presence(Tree("<presence type='available' id='p1'><show>away</show>"
                               "<status>out</status><priority>1</priority><show>xa</show>"
                               "<priority>-5</priority><c node='n'/></presence>"));
    EXPECT_STREQ(presence.type.c_str(), "available");
    EXPECT_STREQ(presence.id.c_str(), "p1");
    EXPECT_STREQ(presence.show.c_str(), "xa");
    EXPECT_STREQ(presence.status.c_str(), "out");
    EXPECT_EQ(presence.priority, -5);
}

TEST(jcl_Stanza, ReceivedIqReadsQueryFieldsAndErrorOutsideIt) {
    jcl_IQ iq(Tree("<iq type='error' id='reg1' from='server' to='me'>"
                   "<query xmlns='jabber:iq:register'><username>u</username>"
                   "<password>p</password><name>n</name><first>f</first><last>l</last>"
                   "<nick>k</nick><email>e</email><resource>r</resource><other>o</other>"
                   "</query><error code='409'>conflict</error></iq>"));
    EXPECT_STREQ(iq.type.c_str(), "error");
    EXPECT_STREQ(iq.id.c_str(), "reg1");
    EXPECT_STREQ(iq.from.c_str(), "server");
    EXPECT_STREQ(iq.to.c_str(), "me");
    EXPECT_STREQ(iq.queryNamespace.c_str(), "jabber:iq:register");
    const cow_String jcl_IQ::*fields[] = {&jcl_IQ::username, &jcl_IQ::password, &jcl_IQ::name,
                                          &jcl_IQ::first,    &jcl_IQ::last,     &jcl_IQ::nick,
                                          &jcl_IQ::email,    &jcl_IQ::resource};
    const char* expected[] = {"u", "p", "n", "f", "l", "k", "e", "r"};
    for (int k = 0; k < 8; ++k)
        EXPECT_STREQ((iq.*fields[k]).c_str(), expected[k]);
    EXPECT_STREQ(iq.error.c_str(), "conflict");
    EXPECT_EQ(iq.errorCode, 409);

    // A query field nested deeper, or an error inside the query, is not taken.
    jcl_IQ nested(Tree("<iq><query><x><username>deep</username></x>"
                       "<error code='1'>in</error></query></iq>"));
    EXPECT_TRUE(nested.username.IsEmpty());
    EXPECT_TRUE(nested.error.IsEmpty());
}

TEST(jcl_Stanza, ReceivedTextIsNotTrimmed) {
    jcl_Message message(Tree("<message><body>  two\n lines </body></message>"));
    EXPECT_STREQ(message.body.c_str(), "  two\n lines ");
}

} // namespace
