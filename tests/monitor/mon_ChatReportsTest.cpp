#include "ipm/ipm_TestSupport.h"
#include "monitor/mon_TestSupport.h"

#include "QORKelCommunications.h"
#include "ipm/ipm_JabberMechanism.h"
#include "jcl/jcl_DocumentParser.h"
#include "monitor/mon_ChatReports.h"

#include <gtest/gtest.h>

using namespace mon_test;

namespace {

// The x content of a chat message as the XMPP client hands it over after receiving it.
std::string receivedX(const std::string& stanza) {
    static std::FILE* quiet = (aio_cout.SetTarget(std::tmpfile()), nullptr);
    (void)quiet;
    return jcl_Message(jcl_DocumentParser::Parse(stanza.c_str(), int(stanza.size())))
        .GetX()
        .c_str();
}

std::string shown(const std::vector<mon_Report>& reports) {
    std::string text;
    for (const mon_Report& report : reports) {
        text += report.Type() + ":";
        for (const mon_Report::Field& field : report.Fields())
            text += " " + field.key + "(" + field.type + ")=" + field.value;
        text += ";";
    }
    return text;
}

TEST(MonitorChatReports, ReportsAsTheClientHandsThemOverReadBackWithTheirValues) {
    const std::string open = "<message from=\"j@s/beam\" type=\"chat\"><x xmlns=\"zorvik:msg\">";
    const std::string close = "</x></message>";
    struct Case {
        std::string payloads;
        std::string reports; // empty: not readable
    } cases[] = {
        {"<Step><step type=\"integer\">3</step><phase type=\"symconst\">Analysis</phase></Step>\n",
         "Step: step(integer)=3 phase(symconst)=Analysis;"},
        // Values that were escaped on the wire come back as the job wrote them.
        {"<Error><message type=\"string\">Jacobian &lt; 0 &amp; ratio &gt; 50\nsecond"
         "</message></Error>\n",
         "Error: message(string)=Jacobian < 0 & ratio > 50\nsecond;"},
        {"<Info><heading type=\"string\">&lt;/heading&gt;\n</heading></Info>\n",
         "Info: heading(string)=</heading>\n;"},
        {"<Info><m type=\"string\">&amp;amp; &amp;lt; \"q\" 'a' ]]&gt; &#13;</m></Info>",
         "Info: m(string)=&amp; &lt; \"q\" 'a' ]]> \r;"},
        {"<Info><m type='a&quot;&lt;b'>v</m></Info>", "Info: m(a\"<b)=v;"},
        // Markup the job kept in a value stays in it, as on a direct connection.
        {"<Status><m type=\"string\"><b>bold</b></m></Status>", "Status: m(string)=<b>bold</b>\n;"},
        {"<Started></Started>\n<Step><step type=\"integer\">1</step></Step>\n",
         "Started:;Step: step(integer)=1;"},
        {"<Info><message type=\"string\"></message></Info>", "Info: message(string)=;"},
        {"Kill", ""},
        {"", ""},
        {"<Step>x<a>1</a></Step>", ""},
        {"junk<Step><a>1</a></Step>", ""},
    };
    for (const auto& c : cases) {
        const std::string x = receivedX(open + c.payloads + close);
        std::vector<mon_Report> reports;
        const bool read = mon_ChatReports::Read(x, reports);
        EXPECT_EQ(read, !c.reports.empty()) << x;
        EXPECT_EQ(shown(reports), c.reports) << x;
    }
}

TEST(MonitorChatReports, TextThatIsNotOneXElementOfReportsIsNoReport) {
    for (const char* x :
         {"", "<x xmlns=\"zorvik:msg\">", "<x>\n<Step><a>1</a>\n</x>\n", "<y>\n<Step/></y>\n",
          "<x>\n<Step/></x>\ntrailing", "<x><Step/></x>\n<x><Step/></x>\n", "<x><Step a='1></x>",
          "<x>&bogus;<Step/></x>", "<Step><a>1</a></Step>"}) {
        std::vector<mon_Report> reports;
        EXPECT_FALSE(mon_ChatReports::Read(x, reports)) << x;
        EXPECT_TRUE(reports.empty()) << x;
    }
}

// x holding this many reports, the first with this many fields.
std::string ManyReports(std::size_t reports, std::size_t fields) {
    std::string x = "<x><R>";
    for (std::size_t i = 0; i < fields; ++i)
        x += "<f>1</f>";
    x += "</R>";
    for (std::size_t i = 1; i < reports; ++i)
        x += "\n<R/>";
    return x + "</x>\n";
}

TEST(MonitorChatReports, MoreReportsOrFieldsThanTheBoundAreNoReport) {
    const std::size_t bound = mon_ReportStream::maxFields;
    const struct {
        std::size_t reports;
        std::size_t fields;
        bool read;
    } cases[] = {{bound, bound, true}, {bound + 1, 1, false}, {1, bound + 1, false}};
    for (const auto& c : cases) {
        std::vector<mon_Report> reports;
        EXPECT_EQ(mon_ChatReports::Read(ManyReports(c.reports, c.fields), reports), c.read)
            << c.reports << " reports, " << c.fields << " fields";
        EXPECT_EQ(reports.size(), c.read ? c.reports : 0u);
    }
}

// A report the Jabber transport encoded, sent and the monitor's client received reads as the
// same report as its payload read on a direct connection: values holding & or < come back
// as the job wrote them.
TEST(MonitorChatReports, ReadsBackWhatTheJabberTransportEncodedAsADirectMonitorWould) {
    ipm_test::ReportingJob job(ipm_PayloadEncoder::Jabber());
    ipm_JabberMechanism mechanism;
    mechanism.SetJobName("beam");
    // A value, and what the monitor reads under a key whose values may keep markup
    // ("message") and under one whose values are always escaped ("heading").
    struct Case {
        const char* value;
        const char* asMessage;
        const char* asHeading;
    } cases[] = {
        {"a<b & c>d\nsecond line", "a<b & c>d\nsecond line", "a<b & c>d\nsecond line"},
        {"R&D solver <v2>", "R&D solver <v2>", "R&D solver <v2>"},
        {"&amp; means &amp;amp; and &lt;", "& means &amp; and <", "&amp; means &amp;amp; and &lt;"},
        {"\"quoted\" 'single' ]]>", "\"quoted\" 'single' ]]>", "\"quoted\" 'single' ]]>"},
        {"caf\xE9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"</message></x></message><message>", "</message></x></message><message>",
         "</message></x></message><message>"},
    };
    for (const Case& c : cases) {
        for (const char* format : {"message=%s", "heading=%s"}) {
            const char* texts[] = {c.value};
            const std::string payload =
                mechanism.Encode("Warning", format, nullptr, nullptr, texts, false).c_str();
            jcl_Message sent;
            sent.SetTo("monitor@localhost/console");
            sent.SetType("chat");
            sent.SetX(payload.c_str());
            std::vector<mon_Report> reports;
            ASSERT_TRUE(mon_ChatReports::Read(receivedX(sent.Serialize().c_str()), reports))
                << payload;
            ASSERT_EQ(reports.size(), 1u) << payload;
            EXPECT_EQ(reports[0].Fields().at(0).value, format[0] == 'm' ? c.asMessage : c.asHeading)
                << payload;

            const Fed direct = FeedInPieces(payload, 0, mon_ReportStream::PayloadsOnly);
            EXPECT_EQ(std::vector<std::string>{shown(reports)},
                      std::vector<std::string>{direct.seen.at(0) + ";"})
                << payload;
        }
    }
}

} // namespace
