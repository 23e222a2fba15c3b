#include "monitor/mon_TestSupport.h"

#include "monitor/mon_Command.h"
#include "monitor/mon_JsonLog.h"
#include "monitor/mon_ReportPrinter.h"
#include "monitor/mon_Text.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace mon_test;

namespace {

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
        {MakeReport("Step", {{"phase", "\x1b[2J"}}), "beam        Step        [\\x1b[2J]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mon_ReportPrinter::Describe("beam", c.report), c.line);
}

// A job chooses its name and values: nothing it sends may reach the terminal as a control
// sequence or start a line of its own.
TEST(MonitorText, ControlCharactersAndBrokenUtf8AreShownAsEscapes) {
    struct Case {
        std::string text;
        std::string visible;
    } cases[] = {
        {"plain text", "plain text"},
        {"prod\n12:00:00  -- prod disconnected", "prod\\n12:00:00  -- prod disconnected"},
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
        {"a\rb\tc\x7f", "a\\rb\\tc\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"\xc2\x9b"
         "31m",
         "\\u009b31m"},
        {"\xe2\x80\xae"
         "evil",
         "\\u202eevil"},
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc3", "\\xc3"},
        {"\xe2\x82", "\\xe2\\x82"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mon_Text::Visible(c.text), c.visible) << c.visible;
    EXPECT_EQ(mon_Text::Shortened("abcdef", 4), "abcd... (6 bytes)");
    EXPECT_EQ(mon_Text::Shortened("ab\xc3\xa9", 3), "ab... (4 bytes)");
    EXPECT_EQ(mon_Text::Shortened("abc", 3), "abc");
}

TEST(MonitorReportPrinter, StateChangesAndDeparturesAreLinesOfTheMonitorsOwn) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        mon_ReportPrinter printer(out);
        mon_Roster roster(printer, std::chrono::seconds(10), std::chrono::seconds(5));
        const auto now = mon_Roster::Clock::now();
        const int id =
            roster.Arrive("evil\n-- x", "127.0.0.1:1", "connected from 127.0.0.1:1", now);
        roster.Report(id, MakeReport("Error", {{"message", "bad"}}), mon_View::Time::Unknown(),
                      now);
        roster.Leave(id, "the connection closed", now);
    }
    std::rewind(out);
    std::vector<std::string> lines;
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr)
        lines.push_back(std::string(line).substr(10));
    std::fclose(out);
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            "-- evil\\n-- x connected from 127.0.0.1:1\n", "evil\\n-- x  Error       message=bad\n",
            "-- evil\\n-- x lost: the connection closed without a final report\n",
            "-- evil\\n-- x disconnected: 1 reports, 1 errors, 0 warnings, 0 notices\n"}));
}

TEST(MonitorJsonLog, AReportIsOneObjectWithTypedFieldsAndValidUtf8) {
    mon_Job job(1, "beam", "beam", "x", mon_Job::Clock::now());
    mon_Report report("Step");
    const std::vector<mon_Report::Field> fields = {
        {"step", "integer", "3"},         {"message", "string", "a \"b\"\n\xff"},
        {"residual", "float", "1.5e-07"}, {"big", "float", "3.4028234663852886e+38"},
        {"odd", "float", "nan"},          {"converged", "boolean", "TRUE"},
        {"open", "boolean", "0"},         {"maybe", "boolean", "maybe"},
        {"count", "integer", "12x"},      {"phase", "symconst", "Analysis"},
        {"step", "integer", "4"},         {"step", "string", "five"},
    };
    for (const mon_Report::Field& field : fields)
        report.AddField(field);
    EXPECT_EQ(mon_JsonLog::ReportLine(job, report, ""),
              "{\"event\":\"report\",\"time\":null,\"job\":\"beam\",\"name\":\"beam\",\"state\":"
              "\"running\",\"type\":\"Step\",\"fields\":{\"step\":3,\"message\":\"a \\\"b\\\"\\n"
              "\xef\xbf\xbd\",\"residual\":1.5e-07,\"big\":3.4028234663852886e+38,\"odd\":\"nan\","
              "\"converged\":true,\"open\":false,\"maybe\":\"maybe\",\"count\":\"12x\","
              "\"phase\":\"Analysis\"},\"repeats\":{\"step\":[4,\"five\"]},\"progress\":{\"step\":"
              "null,\"steps\":null,\"percent\":null,\"stepsPerMinute\":null,\"etaSeconds\":null}}");
    // Without progress fields and repeats, neither object is written.
    mon_Report plain("Warning");
    plain.AddField(mon_Report::Field{"message", "string", "slow"});
    EXPECT_EQ(mon_JsonLog::ReportLine(job, plain, "2026-01-02T03:04:05Z"),
              "{\"event\":\"report\",\"time\":\"2026-01-02T03:04:05Z\",\"job\":\"beam\","
              "\"name\":\"beam\",\"state\":\"running\",\"type\":\"Warning\",\"fields\":{"
              "\"message\":\"slow\"}}");
}

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
        {"status", mon_Command::list, ""},
        {"help", mon_Command::help, ""},
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
    // Help names every verb that Parse takes.
    std::string help;
    for (const char* line : mon_Command::Help())
        help += line;
    for (const char* verb : {"kill <job>", "kill all", "list", "status", "help", "quit", "exit"})
        EXPECT_NE(help.find(verb), std::string::npos) << verb;
}

} // namespace

namespace {

// What another process reading the log's file sees so far.
std::string fileText(const std::string& path) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return std::string();
    std::string text;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text.append(buffer, count);
    std::fclose(in);
    return text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A reader of the log (a script waiting for the monitor's port, another tool) sees the
// monitor's own lines at once and every report by the end of the round that read it.
TEST(MonitorLogs, OwnLinesAreOutAtOnceAndReportsByTheEndOfTheRound) {
    const std::string path = ::testing::TempDir() + "mon_log_flush.txt";
    for (const bool json : {false, true}) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        {
            mon_ReportPrinter plain(out);
            mon_JsonLog jsonLog(out);
            mon_View& log = json ? static_cast<mon_View&>(jsonLog) : plain;
            mon_Roster roster(log, std::chrono::seconds(10), std::chrono::seconds(5));
            const auto now = mon_Roster::Clock::now();
            log.Note("listening on 127.0.0.1:4711");
            EXPECT_TRUE(contains(fileText(path), "listening on 127.0.0.1:4711")) << json;
            const int id = roster.Arrive("beam", "127.0.0.1:1", "connected", now);
            EXPECT_TRUE(contains(fileText(path), "beam")) << json;
            roster.Report(id, MakeReport("Step", {{"stepName", "first-step"}}),
                          mon_View::Time::Unknown(), now);
            roster.Unreadable(id, "<Step", "cut short", mon_View::Time::Unknown(), now);
            log.Refresh(roster);
            const std::string text = fileText(path);
            EXPECT_TRUE(contains(text, "first-step")) << json;
            EXPECT_TRUE(contains(text, "cut short")) << json;
        }
        std::fclose(out);
    }
    std::remove(path.c_str());
}

} // namespace
