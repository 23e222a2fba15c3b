#include "ipm_TestSupport.h"

#include "ipm/ipm_DirectMechanism.h"
#include "mon_Command.h"
#include "mon_ReportPrinter.h"
#include "mon_ReportStream.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace ipm_test;

namespace {

// What a report stream handed on, written out for comparison.
class CollectingSink : public mon_ReportStream::Sink {
public:
    void JobNamed(const std::string& name) override { seen.push_back("job:" + name); }
    void ReportArrived(const mon_Report& report) override {
        std::string text = report.Type() + ":";
        for (const mon_Report::Field& field : report.Fields())
            text += " " + field.key + "(" + field.type + ")=" + field.value;
        seen.push_back(text);
    }
    void ReportUnreadable(const std::string& raw, const std::string&) override {
        seen.push_back("unreadable:" + raw);
    }
    std::vector<std::string> seen;
};

struct Fed {
    std::vector<std::string> seen;
    bool ok;
};

// Feeds the bytes in pieces of `piece` bytes (0: all at once).
Fed FeedInPieces(const std::string& bytes, std::size_t piece, mon_ReportStream::Framing framing) {
    CollectingSink sink;
    mon_ReportStream stream(sink, framing);
    bool ok = true;
    const std::size_t step = piece == 0 ? bytes.size() : piece;
    for (std::size_t at = 0; at < bytes.size() && ok; at += step)
        ok = stream.Feed(bytes.data() + at, int(std::min(step, bytes.size() - at)));
    stream.Finish();
    return Fed{sink.seen, ok};
}

const std::string infoPayload = "<Info><message type=\"string\">two\nlines &amp; a &lt;tag&gt;"
                                "</message><phase type=\"symconst\">Analysis</phase>"
                                "<jobName type=\"string\">beam</jobName></Info>\n";
const std::string stepPayload = "<Step><step type=\"integer\">3</step><time type=\"float\">0.25"
                                "</time><phase type=\"symconst\"></phase></Step>\n";
const std::string infoSeen = "Info: message(string)=two\nlines & a <tag> "
                             "phase(symconst)=Analysis jobName(string)=beam";
const std::string stepSeen = "Step: step(integer)=3 time(float)=0.25 phase(symconst)=";

TEST(MonitorReportStream, NameAndPayloadsComeOutTheSameHoweverTheBytesAreCut) {
    struct Case {
        std::string bytes;
        mon_ReportStream::Framing framing;
        std::vector<std::string> seen;
        bool ok;
    };
    const std::string nul(1, '\0');
    const std::vector<Case> cases = {
        {"beam" + infoPayload + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", infoSeen, stepSeen},
         true},
        {infoPayload, mon_ReportStream::JobNameThenPayloads, {"job:", infoSeen}, true},
        {"long job name", mon_ReportStream::JobNameThenPayloads, {}, true},
        {"b" + nul + "x" + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:b" + nul + "x", stepSeen},
         true},
        // A payload cut off by the end of the stream is shown as it came.
        {"beam" + stepPayload.substr(0, stepPayload.size() - 8),
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", "unreadable:" + stepPayload.substr(0, stepPayload.size() - 8)},
         true},
        // Ill-formed payloads are shown raw and reading goes on with the next one.
        {"beam" + stepPayload + "<Info><a>x</b></Info>\n" + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", stepSeen, "unreadable:<Info><a>x</b></Info>", stepSeen},
         true},
        {"beam" + stepPayload + "<Info>A & B</Info>\n",
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", stepSeen, "unreadable:<Info>A & B</Info>"},
         true},
        {"beam<Info><m>x<y</m></Info>\n<Info>&</Info>\n" + infoPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", "unreadable:<Info><m>x<y</m></Info>", "unreadable:<Info>&</Info>", infoSeen},
         true},
        {"<Step>1 < 2</Step>\n" + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {"unreadable:<Step>1 < 2</Step>", stepSeen},
         true},
        {infoPayload, mon_ReportStream::PayloadsOnly, {infoSeen}, true},
        {stepPayload + infoPayload, mon_ReportStream::PayloadsOnly, {stepSeen, infoSeen}, true},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {0, 1, 2, 3, 4, 5, 7}) {
            const Fed fed = FeedInPieces(c.bytes, piece, c.framing);
            EXPECT_EQ(fed.seen, c.seen) << c.bytes << " in pieces of " << piece;
            EXPECT_EQ(fed.ok, c.ok) << c.bytes << " in pieces of " << piece;
        }
    }
}

TEST(MonitorReportStream, BytesWithNoPayloadInAMegabyteAreNoReportStream) {
    CollectingSink sink;
    mon_ReportStream stream(sink, mon_ReportStream::JobNameThenPayloads);
    const std::string junk(4096, '&');
    bool ok = stream.Feed("beam<", 5);
    for (int i = 0; i < 300 && ok; ++i)
        ok = stream.Feed(junk.data(), int(junk.size()));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(stream.Failed());
    EXPECT_FALSE(stream.Feed(stepPayload.data(), int(stepPayload.size())));
    stream.Finish();
    EXPECT_EQ(sink.seen, std::vector<std::string>{"job:beam"});
}

// Whatever the direct transport escapes reads back as the text the job gave.
TEST(MonitorReportStream, ReadsBackWhatTheDirectTransportEncoded) {
    ReportingJob job;
    ipm_DirectMechanism mechanism;
    mechanism.SetJobName("beam");
    const char* texts[] = {"a<b & c>d\nsecond line", "Analysis", "x < y"};
    const int integers[] = {-7};
    const double reals[] = {0.5};
    const cow_String payload = mechanism.Encode(
        "Warning", "message=%s phase=%e heading=%s step=%i time=%r", integers, reals, texts, false);
    const Fed fed = FeedInPieces("beam" + std::string(payload.c_str()), 3,
                                 mon_ReportStream::JobNameThenPayloads);
    ASSERT_TRUE(fed.ok);
    EXPECT_EQ(fed.seen, (std::vector<std::string>{
                            "job:beam", "Warning: message(string)=a<b & c>d\nsecond line "
                                        "phase(symconst)=Analysis heading(string)=x < y "
                                        "step(integer)=-7 time(float)=0.5 jobName(string)=beam"}));
}

mon_Report MakeReport(const std::string& type,
                      const std::vector<std::pair<std::string, std::string>>& fields) {
    mon_Report report(type);
    for (const auto& field : fields)
        report.AddField(mon_Report::Field{field.first, "string", field.second});
    return report;
}

TEST(MonitorReportPrinter, OneLinePerReportWithPhaseApartAndAwkwardValuesMadeVisible) {
    struct Case {
        mon_Report report;
        std::string line;
    };
    const std::vector<Case> cases = {
        {MakeReport("Step", {{"phase", "Analysis"}, {"step", "3"}, {"jobName", "beam"}}),
         "beam        Step        [Analysis]  step=3"},
        {MakeReport("Info", {{"phase", ""}, {"message", "two\nlines"}}),
         "beam        Info        message=two\\nlines"},
        {MakeReport("Warning", {{"message", "say \"hi\" now"}, {"file", ""}}),
         "beam        Warning     message=\"say \\\"hi\\\" now\"  file=\"\""},
        {MakeReport("Error", {{"code", std::string("a\0b\x1f", 4)}}),
         "beam        Error       code=a\\x00b\\x1f"},
        {MakeReport("AVeryLongTypeName", {}), "beam        AVeryLongTypeName"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mon_ReportPrinter::Describe("beam", c.report), c.line);
}

TEST(MonitorReportPrinter, CountsReportsErrorsAndWarningsPerJob) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        mon_ReportPrinter printer(out);
        for (const char* type : {"Error", "Warning", "Warning", "Step", "error"})
            printer.Print("beam", mon_Report(type));
        printer.Print("other", mon_Report("Error"));
        printer.PrintUnreadable("beam", "<Error>&</Error>", "not well-formed");
        EXPECT_EQ(printer.Summary("beam"), "beam: 6 reports, 1 errors, 2 warnings");
        EXPECT_EQ(printer.Summary("other"), "other: 1 reports, 1 errors, 0 warnings");
        EXPECT_EQ(printer.Counts("nobody").reports, 0);
        printer.Note("done");
    }
    std::rewind(out);
    int lines = 0;
    for (int c; (c = std::fgetc(out)) != EOF;)
        lines += c == '\n';
    std::fclose(out);
    EXPECT_EQ(lines, 8);
}

} // namespace

TEST(MonitorCommands, TypedLinesBecomeCommandsWithTheRestOfTheLineAsTheJob) {
    struct Case {
        const char* line;
        mon_Command::Kind kind;
        const char* argument;
    } cases[] = {
        {"kill beam", mon_Command::kill, "beam"},
        {"  kill   my job 2 \r", mon_Command::kill, "my job 2"},
        {"kill all", mon_Command::kill, "all"},
        {"kill", mon_Command::unknown, ""},
        {"list", mon_Command::list, ""},
        {"exit", mon_Command::quit, ""},
        {"quit now", mon_Command::quit, "now"},
        {"   ", mon_Command::nothing, ""},
        {"Kill beam", mon_Command::unknown, "beam"},
    };
    for (const Case& c : cases) {
        const mon_Command command = mon_Command::Parse(c.line);
        EXPECT_EQ(c.kind, command.kind) << c.line;
        EXPECT_EQ(c.argument, command.argument) << c.line;
    }
    std::string done;
    mon_Command::Actions actions{[&](const std::string& job) { done += "kill:" + job + ";"; },
                                 [&] { done += "list;"; }, [&] { done += "quit;"; },
                                 [&](const std::string& text) { done += "note:" + text + ";"; }};
    for (const char* line : {"kill a b", "list", "", "help", "quit"})
        mon_Command::Run(line, actions);
    EXPECT_EQ(std::string("kill:a b;list;note:") + mon_Command::Usage() + ";quit;", done);
}
