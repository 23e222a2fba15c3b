#include "mon_ChatReports.h"

#include "QORKelCommunications.h"
#include "jcl/jcl_DocumentParser.h"

#include <gtest/gtest.h>

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
        {"<Info><heading type=\"string\">&lt;/heading&gt;</heading></Info>\n",
         "Info: heading(string)=</heading>;"},
        {"<Started></Started>\n<Step><step type=\"integer\">1</step></Step>\n",
         "Started:;Step: step(integer)=1;"},
        {"<Info><message type=\"string\"></message></Info>", "Info: message(string)=;"},
        {"Kill", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        const std::string x = receivedX(open + c.payloads + close);
        std::vector<mon_Report> reports;
        const bool read = mon_ChatReports::Read(x, reports);
        EXPECT_EQ(read, !c.reports.empty()) << x;
        EXPECT_EQ(shown(reports), c.reports) << x;
    }
}

TEST(MonitorChatReports, TextWithoutTheClientsLayoutIsNoReport) {
    for (const char* x : {"", "<x xmlns=\"zorvik:msg\">", "<x>\n<Step><a>1</a></Step>\n</x>\n",
                          "<x>\n<Step><a>1</a>\n</x>\n", "<y>\n</y>\n", "<x>\n</x>\ntrailing"}) {
        std::vector<mon_Report> reports;
        EXPECT_FALSE(mon_ChatReports::Read(x, reports)) << x;
        EXPECT_TRUE(reports.empty());
    }
}

} // namespace
