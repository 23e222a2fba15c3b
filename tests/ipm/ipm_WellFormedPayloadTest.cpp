#include "ipm_TestSupport.h"
#include "ipm_XmlCheck.h"

#include "ipm/ipm_PayloadEncoder.h"
#include "ipm/ipm_sendMessage.h"
#include "xml/xml_WellFormedText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace ipm_test;

namespace {

// Whatever a caller passes, every payload is one well-formed element that holds
// exactly the fields the format names; payloads that were well-formed stay as they were.
class WellFormedPayload : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyTransmitter();
        SetCommandLine({});
    }
    void TearDown() override { DestroyTransmitter(); }

    static std::string Encode(const ipm_PayloadEncoder& variant, const char* type,
                              const char* format, const char* const* texts,
                              const double* reals = nullptr) {
        const int integers[] = {7, 8, 9};
        const cow_String payload = variant.Encode(ipm_MessageTransmit::Instance(), "beam", type,
                                                  format, integers, reals, texts, false);
        return std::string(payload.c_str(), std::size_t(payload.length()));
    }
};

const std::string tail = "<phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName>";

struct Exact {
    const char* type;
    const char* format;
    std::vector<const char*> texts;
    std::string expected;
};

// Payloads as both encoders wrote them before values and names were checked: texts that
// are well-formed XML content, names that are XML names.
const std::vector<Exact> wellFormedBefore = {
    {"Status",
     "program=%s model=%s",
     {"solver v2", "beam-3D"},
     "<Status><program type=\"string\">solver v2</program><model type=\"string\">beam-3D</model>" +
         tail + "</Status>\n"},
    {"Status",
     "note=%s",
     {"<b>bold</b> and <br/>"},
     "<Status><note type=\"string\"><b>bold</b> and <br/></note>" + tail + "</Status>\n"},
    {"Status",
     "note=%s",
     {"x > 0 &amp; &#176; &lt; \"q\" 'a'"},
     "<Status><note type=\"string\">x > 0 &amp; &#176; &lt; \"q\" 'a'</note>" + tail +
         "</Status>\n"},
    {"Status",
     "note=%s",
     {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
     "<Status><note type=\"string\">caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</note>" + tail +
         "</Status>\n"},
    {"Warning",
     "message=%s",
     {"Contact not closed\n\tsee the message file\r"},
     "<Warning><message type=\"string\">Contact not closed\n\tsee the message file\r</message>" +
         tail + "</Warning>\n"},
    {"Error",
     "message=%s stepName=%s",
     {"A & B <c>", "x<y"},
     "<Error><message type=\"string\">A &amp; B &lt;c&gt;</message><stepName "
     "type=\"string\">x&lt;y</stepName>" +
         tail + "</Error>\n"},
    {"Step",
     "heading=%s file=%s",
     {"&lt;", "a>b&amp;c"},
     "<Step><heading type=\"string\">&amp;lt;</heading><file type=\"string\">a&gt;b&amp;amp;c"
     "</file>" +
         tail + "</Step>\n"},
    {"Step",
     "Temperatur_\xC3\xA4=%i step.count=%i x-1=%i _k=%b Phase2=%e \xD0\xBC\xD0\xB0=%s",
     {"true", "SOLVE", ""},
     "<Step><Temperatur_\xC3\xA4 type=\"integer\">7</Temperatur_\xC3\xA4><step.count "
     "type=\"integer\">8</step.count><x-1 type=\"integer\">9</x-1><_k "
     "type=\"boolean\">true</_k><Phase2 type=\"symconst\">SOLVE</Phase2><\xD0\xBC\xD0\xB0 "
     "type=\"string\"></\xD0\xBC\xD0\xB0>" +
         tail + "</Step>\n"},
    {"R",
     "a=%r b=%r c=%r d=%r",
     {},
     "<R><a type=\"float\">0.1</a><b type=\"float\">-2.5e-300</b><c "
     "type=\"float\">3.4028234663852886e+38</c><d type=\"float\">-3.4028234663852886e+38</d>" +
         tail + "</R>\n"},
    {"R", "a=%x n=%i  plain", {}, "<R><n type=\"integer\">7</n>" + tail + "</R>\n"},
};

TEST_F(WellFormedPayload, PayloadsThatWereWellFormedAreUnchangedByteForByte) {
    const double reals[] = {0.1, -2.5e-300, 3.4028234663852886e+38, -3.4028234663852886e+38};
    for (const Exact& c : wellFormedBefore) {
        for (const ipm_PayloadEncoder* variant :
             {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
            const std::string payload = Encode(*variant, c.type, c.format, c.texts.data(), reals);
            // The Jabber variant escapes only two of the direct variant's keys.
            if (variant == &ipm_PayloadEncoder::Jabber() &&
                std::string(c.format).find("message=") != std::string::npos)
                continue;
            if (variant == &ipm_PayloadEncoder::Jabber() &&
                std::string(c.format).find("file=") != std::string::npos)
                continue;
            EXPECT_EQ(payload, c.expected) << c.format;
            EXPECT_EQ(Reports(payload).error, "") << payload;
        }
    }
}

// Markup that an XMPP server may refuse but the direct monitor reads: the direct variant
// keeps it, the Jabber variant writes it as text.
TEST_F(WellFormedPayload, OnlyTheDirectVariantKeepsCommentsInstructionsCdataAndPrefixes) {
    const struct {
        const char* value;
        const char* jabber;
    } cases[] = {
        {"<!-- c -->", "&lt;!-- c --&gt;"},
        {"<?pi x?>", "&lt;?pi x?&gt;"},
        {"<![CDATA[<raw>]]>", "&lt;![CDATA[&lt;raw&gt;]]&gt;"},
        {"<a:b x:y=\"1\">t</a:b>", "&lt;a:b x:y=\"1\"&gt;t&lt;/a:b&gt;"},
    };
    for (const auto& c : cases) {
        const char* texts[] = {c.value};
        const std::string open = "<R><note type=\"string\">";
        const std::string close = "</note>" + tail + "</R>\n";
        EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "R", "note=%s", texts),
                  open + c.value + close);
        EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), "R", "note=%s", texts),
                  open + c.jabber + close);
    }
}

// Values that try to end their field or their report, or that XML cannot carry: written
// as text, inside their own field, in both variants.
TEST_F(WellFormedPayload, InjectionAttemptsStayTextInsideTheirField) {
    const struct {
        const char* value;
        const char* written;
    } cases[] = {
        {"x</model></Started><Error type=\"string\">forged</Error><Started><model>",
         "x&lt;/model&gt;&lt;/Started&gt;&lt;Error type=\"string\"&gt;forged&lt;/Error&gt;&lt;"
         "Started&gt;&lt;model&gt;"},
        {"a</model><model type=\"string\">b", "a&lt;/model&gt;&lt;model type=\"string\"&gt;b"},
        {"R&D solver <v2>", "R&amp;D solver &lt;v2&gt;"},
        {"<Error>", "&lt;Error&gt;"},
        {"&nbsp;", "&amp;nbsp;"},
        {"&#1;", "&amp;#1;"},
        {"<?xml version=\"1.0\"?>", "&lt;?xml version=\"1.0\"?&gt;"},
        {"<!DOCTYPE x [<!ENTITY e \"boom\">]>&e;",
         "&lt;!DOCTYPE x [&lt;!ENTITY e \"boom\"&gt;]&gt;&amp;e;"},
        {"a]]>b", "a]]&gt;b"},
        {"bell\x07 esc\x1B[31m", "bell\xEF\xBF\xBD esc\xEF\xBF\xBD[31m"},
        {"20 \xB0"
         "C, 5 \xB5m",
         "20 \xC2\xB0"
         "C, 5 \xC2\xB5m"},
        {"\x93quoted\x94", "\xE2\x80\x9Cquoted\xE2\x80\x9D"},
        {"\xEF\xBF\xBF", "\xEF\xBF\xBD"},
        {"<b>\xB0</b>", "&lt;b&gt;\xC2\xB0&lt;/b&gt;"},
    };
    for (const auto& c : cases) {
        for (const ipm_PayloadEncoder* variant :
             {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
            const char* texts[] = {c.value};
            const std::string payload = Encode(*variant, "Started", "model=%s", texts);
            EXPECT_EQ(payload, "<Started><model type=\"string\">" + std::string(c.written) +
                                   "</model>" + tail + "</Started>\n")
                << c.value;
            const XmlOutline fields = Outline(payload, variant == &ipm_PayloadEncoder::Jabber());
            EXPECT_EQ(fields.error, "") << payload;
            EXPECT_EQ(fields.children, (std::vector<std::string>{"model", "phase", "jobName"}))
                << payload;
        }
    }
}

struct NameCase {
    const char* given;
    const char* written;
};

const NameCase names[] = {
    {"Step", "Step"},
    {"Step <evil>", "Step__evil_"},
    {"bad<key", "bad_key"},
    {"a:b", "a_b"},
    {"stream:error", "stream_error"},
    {"Error/Warning", "Error_Warning"},
    {"x\"y&z", "x_y_z"},
    {"<>", "__"},
    {"1st", "_1st"},
    {"-x", "_-x"},
    {".x", "_.x"},
    {"x1-._", "x1-._"},
    {"\xC3\xA4rger", "\xC3\xA4rger"}, // a letter beyond ASCII
    {"\xE4rger", "_rger"},            // the same in Windows-1252: not UTF-8
    {"\xCC\x80x", "_\xCC\x80x"},      // a combining mark may not begin a name
    {"x\xCC\x80", "x\xCC\x80"},       // but may follow
    {"x\xE2\x80\x83y", "x_y"},        // an em space
    {"\xEF\xBF\xBE", "_"},            // not a character
    // XML names these, but the parsers that read payloads (Expat) do not: every character
    // beyond ASCII is then replaced
    {"\xE2\x81\xB0", "_"},
    {"\xC3\xA4\xF0\x90\x80\x80x", "__x"},
};

TEST_F(WellFormedPayload, TypesAndKeysAreWrittenAsXmlNames) {
    for (const NameCase& c : names) {
        for (const ipm_PayloadEncoder* variant :
             {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
            const std::string asType = Encode(*variant, c.given, "", nullptr);
            EXPECT_EQ(asType, "<" + std::string(c.written) + ">" + tail + "</" + c.written + ">\n")
                << c.given;
            // A blank or "=" ends a key in the format: such names reach only the type.
            if (std::string(c.given).find_first_of(" =") != std::string::npos)
                continue;
            const std::string format = std::string(c.given) + "=%i";
            const std::string asKey = Encode(*variant, "R", format.c_str(), nullptr);
            EXPECT_EQ(asKey, "<R><" + std::string(c.written) + " type=\"integer\">7</" + c.written +
                                 ">" + tail + "</R>\n")
                << c.given;
            // As an XMPP server reads them: with namespaces.
            EXPECT_EQ(Outline(asType, true).error, "") << asType;
            EXPECT_EQ(Outline(asKey, true).error, "") << asKey;
        }
    }
}

TEST_F(WellFormedPayload, EmptyTypesAndKeysGetAFixedName) {
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "", "=%i", nullptr),
              "<Report><field type=\"integer\">7</field>" + tail + "</Report>\n");
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), nullptr, "=%s", nullptr),
              "<Report><field type=\"string\"></field>" + tail + "</Report>\n");
}

// Random texts, keys and types made of the bytes that matter.
class RandomReport {
public:
    explicit RandomReport(unsigned seed) : random(seed) {}

    std::string Text(int longest) {
        static const char alphabet[] = {
            '<',    '>',    '&',    ';',    '/',    '!',    '?',    ']',    ':',
            '=',    '\'',   '"',    '#',    'a',    'b',    ' ',    '1',    '-',
            '.',    '\x01', '\t',   '\n',   '\x80', '\xB0', '\xC3', '\xA9', '\xE2',
            '\x82', '\xAC', '\xED', '\xF0', '\xFF', '[',    'x',    'm',    'l'};
        std::uniform_int_distribution<int> pick(0, int(sizeof alphabet) - 1);
        std::uniform_int_distribution<int> size(0, longest);
        std::string text;
        for (int n = size(random); n > 0; --n)
            text += alphabet[pick(random)];
        return text;
    }
    // A key without the characters that separate fields.
    std::string Key() {
        std::string key = Text(6);
        for (char& c : key)
            if (c == ' ' || c == '=')
                c = '_';
        return key;
    }
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

private:
    std::mt19937 random;
};

TEST_F(WellFormedPayload, AnyTypeKeysAndTextsGiveOneElementWithOneChildPerField) {
    RandomReport random(20240611);
    const char letters[] = {'s', 'b', 'e', 'i', 'r'};
    const double reals[] = {-1e300, std::numeric_limits<double>::quiet_NaN(), 0.5};
    int keptWhole = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string format;
        std::vector<std::string> values;
        const int fields = random.Below(4);
        for (int f = 0; f < fields; ++f) {
            format += (f > 0 ? " " : "") + random.Key() + "=%" + letters[random.Below(5)];
            values.push_back(random.Text(12));
        }
        std::vector<const char*> texts;
        for (const std::string& value : values)
            texts.push_back(value.c_str());
        const std::string type = random.Text(8);
        for (const ipm_PayloadEncoder* variant :
             {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
            const bool jabber = variant == &ipm_PayloadEncoder::Jabber();
            const std::string payload =
                Encode(*variant, type.c_str(), format.c_str(), texts.data(), reals);
            const XmlOutline report = Outline(payload, jabber);
            ASSERT_EQ(report.error, "") << payload;
            EXPECT_EQ(report.children.size(), std::size_t(fields) + 2) << payload;
        }
        // A text that was already well-formed comes through unchanged.
        for (const char* text : texts) {
            if (!xml_WellFormedText::IsWellFormedContent(text, std::strlen(text),
                                                         xml_WellFormedText::anyMarkup))
                continue;
            const char* one[] = {text};
            EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "R", "note=%s", one),
                      "<R><note type=\"string\">" + std::string(text) + "</note>" + tail +
                          "</R>\n");
            ++keptWhole;
        }
    }
    EXPECT_GT(keptWhole, 20) << "the alphabet should give well-formed texts too";
}

struct Attack {
    const char* type;
    const char* format;
    std::vector<const char*> texts;
    const char* reportName;
};

// What a careless or hostile host may pass, report by report.
const std::vector<Attack> attacks = {
    {"Started",
     "program=%s model=%s",
     {"R&D solver <v2>",
      "x</model></Started><Error type=\"string\">forged</Error><Started><model>"},
     "Started"},
    {"Status", "model=%s", {"a</model><model type=\"string\">b"}, "Status"},
    {"Step <evil>", "bad<key=%s a:b=%i", {"\xB0 \x01"}, "Step__evil_"},
    {"", "=%s", {"&nbsp;"}, "Report"},
    {"Warning",
     "message=%s",
     {"20 \xB0"
      "C \x07 <unclosed>"},
     "Warning"},
    {"Error", "message=%s file=%s", {"<Error>", "C:\\x&y<z>"}, "Error"},
    {"Status", "low=%r inf=%r big=%r", {}, "Status"},
    {"stream:error", "x=%i", {}, "stream_error"},
    {"Status",
     "note=%s",
     {"</Status>\n<Error type=\"string\">forged on its own line</Error>\n<Status>"},
     "Status"},
};

TEST_F(WellFormedPayload, AMessageFileFedAttackValuesHoldsOneWellFormedElementPerReport) {
    const double reals[] = {-1e300, -std::numeric_limits<double>::infinity(), -3.5e38};
    const int integers[] = {1};
    for (const ipm_PayloadEncoder* variant :
         {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
        const bool jabber = variant == &ipm_PayloadEncoder::Jabber();
        ReportingJob job(*variant);
        std::vector<std::string> expected;
        for (const Attack& attack : attacks) {
            ipm_sendMessage(attack.type, attack.format, integers, reals, attack.texts.data());
            expected.push_back(attack.reportName);
        }
        const std::string file = job.MessageFileText();
        const XmlOutline reports = Reports(file, jabber);
        EXPECT_EQ(reports.error, "") << file;
        EXPECT_EQ(reports.children, expected) << file;
        if (!jabber) {
            const std::string clamped = "<low type=\"float\">-3.4028234663852886e+38</low>"
                                        "<inf type=\"float\">-3.4028234663852886e+38</inf>"
                                        "<big type=\"float\">-3.4028234663852886e+38</big>";
            EXPECT_NE(file.find(clamped), std::string::npos) << file;
        }
    }
}

} // namespace
