#include "ipm/ipm_TestSupport.h"
#include "monitor/mon_TestSupport.h"

#include "ipm/ipm_DirectMechanism.h"
#include "monitor/mon_ReportStream.h"

#include <gtest/gtest.h>

using namespace mon_test;

namespace {

const std::string infoPayload = "<Info><message type=\"string\">two\nlines &amp; a &lt;tag&gt;"
                                "</message><phase type=\"symconst\">Analysis</phase>"
                                "<jobName type=\"string\">beam</jobName></Info>\n";
const std::string stepPayload = "<Step><step type=\"integer\">3</step><time type=\"float\">0.25"
                                "</time><phase type=\"symconst\"></phase></Step>\n";
const std::string infoSeen = "Info: message(string)=two\nlines & a <tag> "
                             "phase(symconst)=Analysis jobName(string)=beam";
const std::string stepSeen = "Step: step(integer)=3 time(float)=0.25 phase(symconst)=";
const std::size_t pieceSizes[] = {0, 1, 2, 3, 4, 5, 7};
// A value that holds a whole report of its own on a line of its own, as a job may report a
// line of its input.
const std::string finishedInAValue =
    "\n<Finished><status type=\"string\">Completed</status></Finished>\n";
const std::string errorHoldingFinished =
    "<Error><detail type=\"string\">bad line:" + finishedInAValue +
    "</detail><jobName type=\"string\">beam</jobName></Error>\n";
const std::string errorHoldingFinishedSeen =
    "Error: detail(string)=bad line:" + finishedInAValue + " jobName(string)=beam";

TEST(MonitorReportStream, NameAndPayloadsComeOutTheSameHoweverTheBytesAreCut) {
    struct Case {
        std::string bytes;
        mon_ReportStream::Framing framing;
        std::vector<std::string> seen;
    };
    const std::string nul(1, '\0');
    const std::string cut = stepPayload.substr(0, stepPayload.size() - 8);
    const std::vector<Case> cases = {
        {"beam" + infoPayload + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", infoSeen, stepSeen}},
        {infoPayload, mon_ReportStream::JobNameThenPayloads, {"job:", infoSeen}},
        {"long job name", mon_ReportStream::JobNameThenPayloads, {}},
        {"b" + nul + "x" + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:b" + nul + "x", stepSeen}},
        // A payload cut off by the end of the stream is shown as it came.
        {"beam" + cut, mon_ReportStream::JobNameThenPayloads, {"job:beam", "unreadable:" + cut}},
        // Ill-formed payloads are shown raw and reading goes on with the next one.
        {"beam" + stepPayload + "<Info><a>x</b></Info>\n" + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", stepSeen, "unreadable:<Info><a>x</b></Info>", stepSeen}},
        {"beam" + stepPayload + "<Info>A & B</Info>\n",
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", stepSeen, "unreadable:<Info>A & B</Info>"}},
        {"beam<Info><m>x<y</m></Info>\n<Info>&</Info>\n" + infoPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", "unreadable:<Info><m>x<y</m></Info>", "unreadable:<Info>&</Info>", infoSeen}},
        {"<Step>1 < 2</Step>\n" + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {"unreadable:<Step>1 < 2</Step>", stepSeen}},
        {infoPayload, mon_ReportStream::PayloadsOnly, {infoSeen}},
        {stepPayload + infoPayload, mon_ReportStream::PayloadsOnly, {stepSeen, infoSeen}},
        // A run cut short by a crash, and the next run's reports straight after it, with or
        // without a line feed between.
        {cut + "\n" + infoPayload, mon_ReportStream::PayloadsOnly, {"unreadable:" + cut, infoSeen}},
        {"<Step><step type=\"inte" + infoPayload,
         mon_ReportStream::PayloadsOnly,
         {"unreadable:<Step><step type=\"inte", infoSeen}},
        {"<Step><step type=\"integer\">3</st" + infoPayload + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {"unreadable:<Step><step type=\"integer\">3</st", infoSeen, stepSeen}},
        // Markup in a value, on lines of its own or not, is part of the value; broken after
        // it, the whole payload is unreadable and the markup still no report.
        {"beam" + errorHoldingFinished + stepPayload,
         mon_ReportStream::JobNameThenPayloads,
         {"job:beam", errorHoldingFinishedSeen, stepSeen}},
        {errorHoldingFinished + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {errorHoldingFinishedSeen, stepSeen}},
        {"<Info><m type=\"s\">a<br/>b<i k=\"v\">c</i></m></Info>\n",
         mon_ReportStream::PayloadsOnly,
         {"Info: m(s)=a<br></br>b<i k=\"v\">c</i>"}},
        {"<Error><m>x" + finishedInAValue + "1 < 2</m></Error>\n" + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {"unreadable:<Error><m>x" + finishedInAValue + "1 < 2</m></Error>", stepSeen}},
        // So a payload cut short inside a value takes in what follows it, up to the end.
        {"<Step><m type=\"s\">abc\n" + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {"unreadable:<Step><m type=\"s\">abc\n" + stepPayload.substr(0, stepPayload.size() - 1)}},
        // Text between reports is no report.
        {stepPayload + "not a report\n" + infoPayload,
         mon_ReportStream::PayloadsOnly,
         {stepSeen, "unreadable:not a report", infoSeen}},
        {stepPayload + "trailing words\n",
         mon_ReportStream::PayloadsOnly,
         {stepSeen, "unreadable:trailing words"}},
        {"\n\n" + stepPayload + "\n  \n" + stepPayload,
         mon_ReportStream::PayloadsOnly,
         {stepSeen, stepSeen}},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : pieceSizes) {
            const Fed fed = FeedInPieces(c.bytes, piece, c.framing);
            EXPECT_EQ(fed.seen, c.seen) << c.bytes << " in pieces of " << piece;
            EXPECT_TRUE(fed.ok) << c.bytes << " in pieces of " << piece;
        }
    }
}

// What one connection may make the monitor hold is bounded; the connection ends instead.
TEST(MonitorReportStream, AConnectionOverABoundEndsWithTheReason) {
    const std::string megabyte(mon_ReportStream::maxReportBytes, 'a');
    std::string manyFields = "beam<Step>";
    for (std::size_t i = 0; i <= mon_ReportStream::maxFields; ++i)
        manyFields += "<f/>";
    struct Case {
        std::string bytes;
        std::string failure;
        std::vector<std::string> seen;
    } cases[] = {
        {std::string(mon_ReportStream::maxNameBytes + 1, 'n') + stepPayload,
         "a job name longer than 256 bytes",
         {}},
        {std::string(mon_ReportStream::maxNameBytes, 'n') + stepPayload,
         "",
         {"job:" + std::string(mon_ReportStream::maxNameBytes, 'n'), stepSeen}},
        {"beam" + stepPayload + "<Error><message>" + megabyte,
         "a report larger than 1 MB",
         {"job:beam", stepSeen}},
        {"beam<Error>" + megabyte + "</Error>\n", "a report larger than 1 MB", {"job:beam"}},
        {manyFields + "</Step>\n", "a report with more than 4096 fields", {"job:beam"}},
        // Ill-formed and no payload start in sight: nothing to show, nothing to keep.
        {"beam<" + std::string(mon_ReportStream::maxReportBytes + 10, '&'),
         "a report larger than 1 MB",
         {"job:beam"}},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t(0), std::size_t(4096), std::size_t(65536)}) {
            const Fed fed = FeedInPieces(c.bytes, piece, mon_ReportStream::JobNameThenPayloads);
            EXPECT_EQ(fed.failure, c.failure) << c.failure << " in pieces of " << piece;
            EXPECT_EQ(fed.ok, c.failure.empty()) << c.failure;
            EXPECT_EQ(fed.seen, c.seen) << c.failure;
        }
    }
}

TEST(MonitorReportStream, InAFileAReportOverABoundIsSkippedAndReadingGoesOn) {
    const std::string huge =
        "<Error><message>" + std::string(mon_ReportStream::maxReportBytes, 'a');
    for (std::size_t piece : {std::size_t(0), std::size_t(1000), std::size_t(65536)}) {
        const Fed fed =
            FeedInPieces(stepPayload + huge + "</message></Error>\n" + infoPayload, piece,
                         mon_ReportStream::PayloadsOnly, mon_ReportStream::skipPayload);
        ASSERT_EQ(fed.seen.size(), 3u) << piece;
        EXPECT_EQ(fed.seen[0], stepSeen);
        EXPECT_EQ(fed.seen[1].compare(0, 24, "unreadable:<Error><messa"), 0);
        EXPECT_EQ(fed.seen[2], infoSeen);
        EXPECT_TRUE(fed.ok);
    }
}

TEST(MonitorReportStream, HoldsNoMoreThanABoundWhateverArrives) {
    CollectingSink sink;
    mon_ReportStream stream(sink, mon_ReportStream::PayloadsOnly, mon_ReportStream::skipPayload);
    const std::string junk(65536, '&');
    std::size_t most = 0;
    for (int i = 0; i < 100; ++i) {
        stream.Feed(junk.data(), junk.size());
        most = std::max(most, stream.Pending());
    }
    EXPECT_LE(most, mon_ReportStream::maxReportBytes + junk.size());
    EXPECT_EQ(sink.seen.size(), 1u);
}

// Whatever the direct transport escapes reads back as the text the job gave.
TEST(MonitorReportStream, ReadsBackWhatTheDirectTransportEncoded) {
    ipm_test::ReportingJob job;
    ipm_DirectMechanism mechanism;
    mechanism.SetJobName("beam");
    const std::string markup = "seen:" + finishedInAValue;
    const char* texts[] = {"a<b & c>d\nsecond line", "Analysis", "x < y", markup.c_str()};
    const int integers[] = {-7};
    const double reals[] = {0.5};
    const cow_String payload =
        mechanism.Encode("Warning", "message=%s phase=%e heading=%s step=%i time=%r detail=%s",
                         integers, reals, texts, false);
    const Fed fed = FeedInPieces("beam" + std::string(payload.c_str()), 3,
                                 mon_ReportStream::JobNameThenPayloads);
    ASSERT_TRUE(fed.ok);
    EXPECT_EQ(fed.seen, (std::vector<std::string>{
                            "job:beam", "Warning: message(string)=a<b & c>d\nsecond line "
                                        "phase(symconst)=Analysis heading(string)=x < y "
                                        "step(integer)=-7 time(float)=0.5 detail(string)=" +
                                            markup + " jobName(string)=beam"}));
}

} // namespace
