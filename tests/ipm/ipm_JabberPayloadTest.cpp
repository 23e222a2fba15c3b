#include "ipm_TestSupport.h"

#include "ipm/ipm_PayloadEncoder.h"
#include "xml/xml_WellFormedText.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace ipm_test;

namespace {

class JabberPayloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyTransmitter();
        SetCommandLine({});
    }
    void TearDown() override { DestroyTransmitter(); }

    std::string Encode(const ipm_PayloadEncoder& variant, const char* format,
                       const char* const* texts, const char* job = "beam") {
        const cow_String payload = variant.Encode(ipm_MessageTransmit::Instance(), job, "R", format,
                                                  nullptr, nullptr, texts, false);
        return std::string(payload.c_str(), std::size_t(payload.length()));
    }
    std::string OneString(const std::string& key, const std::string& content) {
        return "<R><" + key + " type=\"string\">" + content + "</" + key +
               "><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></R>\n";
    }
};

struct TextCase {
    const char* key;
    const char* value;
    const char* jabber;
};

TEST_F(JabberPayloadTest, WellFormedTextsStayAsTheyAreAndOthersAreRepaired) {
    const TextCase cases[] = {
        // well-formed UTF-8 XML content: exactly as given, markup included
        {"message", "plain text", "plain text"},
        {"message", "<b>bold</b> and <br/>", "<b>bold</b> and <br/>"},
        {"message", "x > 0 &amp; &#176; &lt;", "x > 0 &amp; &#176; &lt;"},
        {"message", "caf\xC3\xA9 \xE2\x82\xAC 5 \xC2\xB5m", "caf\xC3\xA9 \xE2\x82\xAC 5 \xC2\xB5m"},
        {"message", "<a href='x'>t</a>", "<a href='x'>t</a>"},
        {"message", "tab\there\nline", "tab\there\nline"},
        // markup that would break the stanza: escaped as the escaped keys are
        {"message", "x < 0", "x &lt; 0"},
        {"message", "A & B", "A &amp; B"},
        {"message", "<unclosed>", "&lt;unclosed&gt;"},
        {"message", "</b>", "&lt;/b&gt;"},
        {"message", "&nbsp;", "&amp;nbsp;"},
        {"message", "a]]>b", "a]]&gt;b"},
        {"message", "<b></b><i>", "&lt;b&gt;&lt;/b&gt;&lt;i&gt;"},
        // what a server may refuse although an XML parser takes it
        {"message", "<!-- note -->", "&lt;!-- note --&gt;"},
        {"message", "<?pi x?>", "&lt;?pi x?&gt;"},
        {"message", "<![CDATA[x]]>", "&lt;![CDATA[x]]&gt;"},
        {"message", "<a:b>t</a:b>", "&lt;a:b&gt;t&lt;/a:b&gt;"},
        {"message", "<b x:y='1'/>", "&lt;b x:y='1'/&gt;"},
        // bytes that are not UTF-8 are read as Windows-1252
        {"message",
         "20 \xB0"
         "C",
         "20 \xC2\xB0"
         "C"},
        {"message", "5 \xB5m", "5 \xC2\xB5m"},
        {"message", "\x80 \x93q\x94 \x81", "\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D \xC2\x81"},
        {"message", "\xC0\xAF", "\xC3\x80\xC2\xAF"},                 // overlong form
        {"message", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"}, // surrogate
        {"message", "\xE2\x82", "\xC3\xA2\xE2\x80\x9A"},             // cut short
        {"message", "ok \xC3\xA9 \xE9", "ok \xC3\xA9 \xC3\xA9"},     // UTF-8 kept beside
        {"message", "<b>\xB0</b>", "&lt;b&gt;\xC2\xB0&lt;/b&gt;"},   // both at once
        // characters XML cannot carry at all
        {"message", "bell\x07!", "bell\xEF\xBF\xBD!"},
        {"message", "\xEF\xBF\xBE", "\xEF\xBF\xBD"},
        {"message", "&#1;", "&amp;#1;"},
        // the escaped keys are escaped as before, and their bytes repaired too
        {"heading", "<<a>>", "&lt;&lt;a&gt;&gt;"},
        {"stepName", "x<y \xB0", "x&lt;y \xC2\xB0"},
        {"heading", "caf\xC3\xA9", "caf\xC3\xA9"},
    };
    for (const TextCase& c : cases) {
        const std::string format = std::string(c.key) + "=%s";
        const char* texts[] = {c.value};
        EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), format.c_str(), texts),
                  OneString(c.key, c.jabber))
            << c.key << " " << c.value;
    }
}

TEST_F(JabberPayloadTest, EveryCallerTextIsRepairedOnlyWhereItWouldBreakThePayload) {
    ipm_MessageTransmit::Instance().SetPhase("a<b");
    const char* texts[] = {"yes&", "<e\xB0>", "<ok/>"};
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), "flag=%b state=%e note=%s", texts, "j&1"),
              "<R><flag type=\"boolean\">yes&amp;</flag>"
              "<state type=\"symconst\">&lt;e\xC2\xB0&gt;</state>"
              "<note type=\"string\"><ok/></note>"
              "<phase type=\"symconst\">a&lt;b</phase>"
              "<jobName type=\"string\">j&amp;1</jobName></R>\n");
}

TEST_F(JabberPayloadTest, PhaseKeepsTheCallersTextWhileThePayloadCarriesItRepaired) {
    const char* first[] = {"x&y"};
    Encode(ipm_PayloadEncoder::Jabber(), "phase=%e", first);
    EXPECT_EQ(std::string(ipm_MessageTransmit::Instance().GetPhase().c_str()), "x&y");
}

// Random texts made of the bytes that matter: whatever goes in, the payload is
// well-formed, and a text that was well-formed already comes out unchanged.
TEST_F(JabberPayloadTest, AnyTextGivesAWellFormedPayload) {
    const char alphabet[] = {'<',    '>',    '&',    ';',    '/',    '!',    '?',    ']',
                             ':',    '=',    '\'',   '"',    '#',    'a',    'b',    ' ',
                             '1',    '\x01', '\t',   '\x80', '\xB0', '\xC3', '\xA9', '\xE2',
                             '\x82', '\xAC', '\xED', '\xF0', '\xFF'};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> pick(0, int(sizeof alphabet) - 1);
    std::uniform_int_distribution<int> size(0, 12);
    int keptWhole = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string value;
        for (int n = size(random); n > 0; --n)
            value += alphabet[pick(random)];
        for (const char* key : {"message", "heading"}) {
            const std::string format = std::string(key) + "=%s";
            const char* texts[] = {value.c_str()};
            const std::string payload = Encode(ipm_PayloadEncoder::Jabber(), format.c_str(), texts);
            ASSERT_TRUE(xml_WellFormedText::IsWellFormedContent(payload.data(), payload.size()))
                << payload;
            const bool wellFormed =
                xml_WellFormedText::IsWellFormedContent(value.data(), value.size());
            if (wellFormed && std::string(key) == "message") {
                EXPECT_EQ(payload, OneString(key, value));
                ++keptWhole;
            }
        }
    }
    EXPECT_GT(keptWhole, 100) << "the alphabet should produce well-formed texts too";
}

} // namespace
