#if defined(QORKEL_MONITOR_HISTORY)

#include "ipm/ipm_TestSupport.h"
#include "monitor/mon_TestSupport.h"

#include "monitor/mon_History.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>

using namespace mon_test;

namespace {

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string fieldsOf(const mon_Report& report) {
    std::string text = report.Type();
    for (const mon_Report::Field& field : report.Fields())
        text += "|" + field.key + ":" + field.type + "=" + field.value;
    return text;
}

// Reports and runs as the loop hands them over, read back by another monitor: every byte of
// every field, in order, each run with its end and tally.
TEST(MonitorHistory, WhatOneMonitorRecordsTheNextReadsBackWhole) {
    ipm_test::TempDir dir;
    const std::string path = dir.File("history.sqlite");
    std::vector<mon_Report> sent;
    {
        RecordingView notes;
        mon_History history(path, 30, notes);
        ASSERT_TRUE(history.Usable());
        mon_Roster roster(history, std::chrono::seconds(3600), std::chrono::seconds(5));
        history.StartRecording();
        const int beam = roster.Arrive("beam", "127.0.0.1:1", "connected", mon_Job::Clock::now());
        const int plate = roster.Arrive("plate", "127.0.0.1:2", "connected", mon_Job::Clock::now());
        const std::vector<std::vector<mon_Report::Field>> fieldLists = {
            {{"steps", "integer", "3"}},
            {{"step", "integer", "1"}, {"residual", "float", "1e-05"}},
            {{"message", "string", "two\nlines, \"quotes\", <tags> & \xe2\x82\xac"}},
            {{"message", "string", ""}, {"message", "string", "repeated"}},
            {},
            {{"status", "symconst", "Completed"}},
        };
        const char* types[] = {"Started", "Step", "Error", "Warning", "Notice", "Finished"};
        for (std::size_t i = 0; i < fieldLists.size(); ++i) {
            mon_Report report(types[i]);
            for (const mon_Report::Field& field : fieldLists[i])
                report.AddField(field);
            sent.push_back(report);
            roster.Report(beam, report, mon_View::Time::Now(), mon_Job::Clock::now());
            roster.Report(plate, sent.front(), mon_View::Time::Now(), mon_Job::Clock::now());
            roster.View().Refresh(roster);
        }
        roster.Leave(plate, "the connection closed", mon_Job::Clock::now());
        history.Finish(roster);
        EXPECT_EQ(history.Written(), 12);
        EXPECT_EQ(notes.events, std::vector<std::string>());
    }
    RecordingView notes;
    const mon_History history(path, 30, notes);
    const std::vector<mon_History::Run> runs = history.Runs(wallNow() - 60, 100);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].name, "beam");
    EXPECT_EQ(runs[0].state, "finished");
    EXPECT_GE(runs[0].ended, runs[0].arrived);
    EXPECT_EQ(runs[0].reports, 6);
    EXPECT_EQ(runs[0].errors, 1);
    EXPECT_EQ(runs[0].warnings, 1);
    EXPECT_EQ(runs[0].notices, 1);
    EXPECT_EQ(runs[0].steps, 3);
    EXPECT_EQ(runs[0].finalReport, "Finished status=Completed");
    EXPECT_EQ(runs[1].name, "plate");
    EXPECT_EQ(runs[1].state, "lost");
    EXPECT_EQ(runs[1].reports, 6);

    mon_History::Run found;
    ASSERT_TRUE(history.FindRun("beam", found));
    EXPECT_EQ(found.id, runs[0].id);
    ASSERT_TRUE(history.FindRun(std::to_string(runs[1].id), found));
    EXPECT_EQ(found.name, "plate");
    EXPECT_FALSE(history.FindRun("nobody", found));

    // Read back in pieces, as a replay does, from the run's first report on.
    std::vector<std::string> read;
    long long after = 0;
    for (;;) {
        const std::vector<mon_History::StoredReport> piece = history.Reports(runs[0].id, after, 4);
        for (const mon_History::StoredReport& stored : piece) {
            read.push_back(fieldsOf(stored.report));
            EXPECT_NEAR(stored.at, wallNow(), 60);
            after = stored.id;
        }
        if (piece.size() < 4)
            break;
    }
    std::vector<std::string> expected;
    for (const mon_Report& report : sent)
        expected.push_back(fieldsOf(report));
    EXPECT_EQ(read, expected);
}

TEST(MonitorHistory, RunsOlderThanTheKeptDaysAreForgotten) {
    ipm_test::TempDir dir;
    const std::string path = dir.File("history.sqlite");
    {
        RecordingView notes;
        mon_History history(path, 30, notes);
        mon_Roster roster(history, std::chrono::seconds(3600), std::chrono::seconds(5));
        history.StartRecording();
        for (const char* name : {"old", "recent"}) {
            const int id = roster.Arrive(name, "x", "connected", mon_Job::Clock::now());
            roster.Report(id, MakeReport("Step", {{"step", "1"}}), mon_View::Time::Now(),
                          mon_Job::Clock::now());
            roster.Leave(id, "gone", mon_Job::Clock::now());
        }
        history.Finish(roster);
    }
    // The first run as if it had ended 40 days ago, its report too.
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &database), SQLITE_OK);
    const std::string aged = "UPDATE runs SET updated = updated - 40 * 86400 WHERE name = 'old';"
                             "UPDATE reports SET at = at - 40 * 86400 WHERE run = "
                             "(SELECT id FROM runs WHERE name = 'old');";
    ASSERT_EQ(sqlite3_exec(database, aged.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(database);

    RecordingView notes;
    const mon_History history(path, 30, notes);
    const std::vector<mon_History::Run> runs = history.Runs(0, 100);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].name, "recent");
    EXPECT_EQ(history.Reports(runs[0].id, 0, 10).size(), 1u);
    mon_History::Run old;
    EXPECT_FALSE(history.FindRun("old", old));
}

} // namespace

#endif
