#include "monitor/mon_TestSupport.h"

#include "monitor/mon_Roster.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace mon_test;

namespace {

using Clock = mon_Roster::Clock;
const auto silentAfter = std::chrono::seconds(10);
const auto killAnswer = std::chrono::seconds(5);

// One step of a job's life, at a time in seconds after it arrived: a report of a type
// (with a status), a Kill sent, the connection's end, or only time passing.
struct Step {
    double at;
    std::string what; // "report Type", "report Type status", "kill", "end", "tick"
};

struct Played {
    std::string state;
    std::vector<std::string> states; // every state change the view was told of
    int errors, warnings, notices, reports;
};

Played play(const std::vector<Step>& steps) {
    RecordingView view;
    mon_Roster roster(view, silentAfter, killAnswer);
    const Clock::time_point start = Clock::now();
    const int id = roster.Arrive("beam", "127.0.0.1:4000", "connected", start);
    for (const Step& step : steps) {
        const Clock::time_point when =
            start + std::chrono::milliseconds(static_cast<long long>(step.at * 1000));
        std::istringstream words(step.what);
        std::string verb, type, status;
        words >> verb >> type >> status;
        if (verb == "report") {
            mon_Report report(type);
            if (!status.empty())
                report.AddField(mon_Report::Field{"status", "symconst", status});
            if (type == "Error" && status == "limit")
                report = MakeReport("Error", {{"message", "Error message limit reached. No "
                                                          "further error messages will be "
                                                          "reported.\nPlease see the dat file."}});
            roster.Report(id, report, mon_View::Time::Unknown(), when);
        } else if (verb == "kill") {
            roster.KillSent(id, when);
        } else if (verb == "end") {
            roster.Leave(id, "the connection closed", when);
        }
        roster.Tick(when);
    }
    const mon_Job& job = *roster.Find(id);
    Played played{mon_Job::StateName(job.GetState()),
                  {},
                  job.Errors(),
                  job.Warnings(),
                  job.Notices(),
                  job.Reports()};
    for (const std::string& event : view.Only("state ")) {
        std::istringstream words(event);
        std::string verb, label, state;
        words >> verb >> label >> state;
        played.states.push_back(state.substr(0, state.size() - 1));
    }
    return played;
}

TEST(MonitorRoster, ReportSequencesGiveTheStatesOfTheRules) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string state;
        std::vector<std::string> changes;
    } cases[] = {
        {"reporting", {{0, "report Started"}, {1, "report Step"}}, "running", {}},
        {"final report by type",
         {{0, "report Started"}, {1, "report Finished"}},
         "finished",
         {"finished"}},
        {"final report by status",
         {{0, "report Step"}, {1, "report Summary Completed"}},
         "finished",
         {"finished"}},
        {"every end word", {{0, "report Aborted"}}, "finished", {"finished"}},
        {"status Killed", {{0, "report Stopped Killed"}}, "finished", {"finished"}},
        {"a status that is no end", {{0, "report Step Converged"}}, "running", {}},
        {"finished then gone",
         {{0, "report Started"}, {1, "report Finished"}, {2, "end"}},
         "finished",
         {"finished"}},
        {"gone without a final report", {{0, "report Started"}, {1, "end"}}, "lost", {"lost"}},
        {"gone before any report", {{0, "end"}}, "lost", {"lost"}},
        {"quiet too long", {{0, "report Started"}, {10.5, "tick"}}, "silent", {"silent"}},
        {"quiet, not too long", {{0, "report Started"}, {9.5, "tick"}}, "running", {}},
        {"silent, then reporting again",
         {{0, "report Started"}, {11, "tick"}, {12, "report Step"}},
         "running",
         {"silent", "running"}},
        {"silent, then gone",
         {{0, "report Started"}, {11, "tick"}, {12, "end"}},
         "lost",
         {"silent", "lost"}},
        {"silent, then its final report",
         {{0, "report Started"}, {11, "tick"}, {12, "report Finished"}},
         "finished",
         {"silent", "finished"}},
        {"killed, final report",
         {{0, "report Started"}, {1, "kill"}, {2, "report Stopped Killed"}},
         "killed",
         {"killed"}},
        {"killed, connection ends",
         {{0, "report Started"}, {1, "kill"}, {2, "end"}},
         "killed",
         {"killed"}},
        {"Kill after it finished",
         {{0, "report Finished"}, {1, "kill"}, {2, "end"}},
         "finished",
         {"finished"}},
        {"finished jobs never turn silent",
         {{0, "report Finished"}, {30, "tick"}},
         "finished",
         {"finished"}},
        {"lost jobs never turn silent", {{0, "end"}, {30, "tick"}}, "lost", {"lost"}},
        {"reports after the final one keep it finished",
         {{0, "report Finished"}, {1, "report Step"}},
         "finished",
         {"finished"}},
    };
    for (const Case& c : cases) {
        const Played played = play(c.steps);
        EXPECT_EQ(played.state, c.state) << c.name;
        EXPECT_EQ(played.states, c.changes) << c.name;
    }
}

TEST(MonitorRoster, CapNoticesAndNoticesAreCountedApartFromErrorsAndWarnings) {
    const Played played = play({{0, "report Error"},
                                {0, "report Error limit"},
                                {0, "report Warning"},
                                {0, "report Notice"},
                                {0, "report error"},
                                {0, "report Errors"}});
    EXPECT_EQ(played.reports, 6);
    EXPECT_EQ(played.errors, 1);
    EXPECT_EQ(played.warnings, 1);
    EXPECT_EQ(played.notices, 2);
}

TEST(MonitorRoster, AKillIsAnsweredWhenTheJobStopsOrWhenItDoesNot) {
    RecordingView view;
    mon_Roster roster(view, silentAfter, killAnswer);
    const Clock::time_point start = Clock::now();
    const int stops = roster.Arrive("stops", "a", "connected", start);
    const int stays = roster.Arrive("stays", "b", "connected", start);
    roster.KillSent(stops, start);
    roster.KillSent(stays, start);
    roster.Report(stops, MakeReport("Stopped", {{"status", "Killed"}}), mon_View::Time::Unknown(),
                  start + std::chrono::milliseconds(400));
    for (int second = 1; second <= 8; ++second)
        roster.Tick(start + std::chrono::seconds(second));
    EXPECT_EQ(view.Only("state "),
              (std::vector<std::string>{"state stops killed: stopped 0.4 s after the Kill (its "
                                        "final report: Stopped status=Killed)"}));
    // Said once, not every round.
    EXPECT_EQ(view.Only("note "),
              (std::vector<std::string>{
                  "note stays has not stopped 6.0 s after the Kill; it is running"}));
}

// Nothing tells a job that connects again from another that gives its name: every arrival
// is an entry of its own, and none takes over a running, lost or finished one.
TEST(MonitorRoster, EveryArrivalIsANewEntryAndNamesAreLabelledApart) {
    RecordingView view;
    mon_Roster roster(view, silentAfter, killAnswer);
    const Clock::time_point now = Clock::now();
    const int first = roster.Arrive("beam", "10.0.0.1:1", "connected", now);
    const int second = roster.Arrive("beam", "10.0.0.1:2", "connected", now);
    roster.Leave(first, "the connection closed", now);
    const int third = roster.Arrive("beam", "10.0.0.1:3", "connected", now);
    roster.Report(third, mon_Report("Finished"), mon_View::Time::Unknown(), now);
    const int fourth = roster.Arrive("beam", "10.0.0.1:4", "connected", now);
    const int named = roster.Arrive("beam#2", "10.0.0.2:1", "connected", now);
    EXPECT_EQ(view.Only("arrived "),
              (std::vector<std::string>{
                  "arrived beam connected",
                  "arrived beam#2 connected (another job named beam is on the board)",
                  "arrived beam#3 connected (another job named beam is on the board)",
                  "arrived beam#4 connected (another job named beam is on the board)",
                  "arrived beam#2#2 connected (another job named beam#2 is on the board)"}));
    EXPECT_EQ(roster.Find(first)->GetState(), mon_Job::lost);
    EXPECT_EQ(roster.Find(third)->GetState(), mon_Job::finished);
    EXPECT_EQ(roster.Find(fourth)->GetState(), mon_Job::running);
    EXPECT_EQ(roster.Counts(), "5 jobs: 3 running, 1 finished, 1 lost");

    const auto ids = [&roster](const std::string& target) {
        std::vector<int> found;
        for (const mon_Job* job : roster.Matching(target))
            found.push_back(job->Id());
        return found;
    };
    struct Case {
        const char* target;
        std::vector<int> ids;
    } cases[] = {
        {"beam", {second, third, fourth, first}},
        {"beam#1", {first}},
        {"beam#2", {second}},
        {"beam#4", {fourth}},
        {"beam#2#2", {named}},
        {"beam#2#1", {}},
        {"beam#5", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ids(c.target), c.ids) << c.target;
}

// Only a job that was lost comes back to its entry; its tally goes on where it was.
TEST(MonitorRoster, OnlyALostJobReturnsToItsEntry) {
    RecordingView view;
    mon_Roster roster(view, silentAfter, killAnswer);
    const Clock::time_point now = Clock::now();
    const int lost = roster.Arrive("beam", "a", "connected", now);
    roster.Report(lost, mon_Report("Step"), mon_View::Time::Unknown(), now);
    roster.Leave(lost, "its session ended", now);
    const int finished = roster.Arrive("done", "b", "connected", now);
    roster.Report(finished, mon_Report("Finished"), mon_View::Time::Unknown(), now);
    roster.Leave(finished, "its session ended", now);
    const int killed = roster.Arrive("shot", "c", "connected", now);
    roster.KillSent(killed, now);
    roster.Leave(killed, "its session ended", now);
    const int connected = roster.Arrive("live", "d", "connected", now);
    ASSERT_EQ(roster.Connected().size(), 1u);

    EXPECT_TRUE(roster.Return(lost, "back"));
    EXPECT_FALSE(roster.Return(lost, "back")) << "connected again: no second return";
    for (const int other : {finished, killed, connected, 99})
        EXPECT_FALSE(roster.Return(other, "back")) << other;

    const mon_Job& job = *roster.Find(lost);
    EXPECT_EQ(job.Label(), "beam");
    EXPECT_EQ(job.GetState(), mon_Job::running);
    EXPECT_EQ(roster.Connected().size(), 2u);
    roster.Report(lost, mon_Report("Finished"), mon_View::Time::Unknown(), now);
    EXPECT_EQ(job.GetState(), mon_Job::finished);
    EXPECT_EQ(job.Reports(), 2);
    EXPECT_EQ(view.Only("state beam"),
              (std::vector<std::string>{"state beam lost: its session ended without a final report",
                                        "state beam running: back",
                                        "state beam finished: its final report: Finished"}));
}

TEST(MonitorRoster, JobsThatEndedStayButOnlyUpToTheBound) {
    RecordingView view;
    mon_Roster roster(view, silentAfter, killAnswer);
    const Clock::time_point now = Clock::now();
    const int live = roster.Arrive("live", "x", "connected", now);
    for (std::size_t i = 0; i < mon_Roster::maxEndedJobs + 50; ++i)
        roster.Leave(roster.Arrive("job" + std::to_string(i), "x", "connected", now), "closed",
                     now);
    EXPECT_EQ(roster.Jobs().size(), mon_Roster::maxEndedJobs + 1);
    EXPECT_NE(roster.Find(live), nullptr);
    EXPECT_EQ(roster.Find(live + 1), nullptr);
    EXPECT_EQ(view.Only("note ").size(), 1u);
}

TEST(MonitorRoster, OnlyTheChosenTypesAreShownButAllAreCounted) {
    RecordingView view;
    mon_Roster roster(view, silentAfter, killAnswer);
    roster.ShowOnly({"Error", "Warning"});
    const Clock::time_point now = Clock::now();
    const int id = roster.Arrive("beam", "x", "connected", now);
    for (const char* type : {"Started", "Error", "Step", "Warning", "Finished"})
        roster.Report(id, mon_Report(type), mon_View::Time::Unknown(), now);
    EXPECT_EQ(view.Only("report "),
              (std::vector<std::string>{"report beam Error", "report beam Warning"}));
    EXPECT_EQ(roster.Find(id)->Reports(), 5);
    EXPECT_EQ(roster.Find(id)->GetState(), mon_Job::finished);
}

TEST(MonitorJob, ProgressComesFromStepsStepAndPercent) {
    struct Case {
        std::vector<mon_Report> reports;
        std::string progress;
    } cases[] = {
        {{}, ""},
        // The percent is computed from the step and the total until a job reports one.
        {{MakeReport("Started", {{"steps", "12"}}), MakeReport("Step", {{"step", "5"}})},
         "5/12 41%"},
        {{MakeReport("Step", {{"step", "5/12"}})}, "5/12 41%"},
        {{MakeReport("Step", {{"step", "5"}})}, "step 5"},
        {{MakeReport("Progress", {{"percent", "41"}})}, "41%"},
        {{MakeReport("Progress", {{"percent", "41.9"}})}, "41%"},
        {{MakeReport("Started", {{"steps", "12"}}), MakeReport("Step", {{"step", "5"}}),
          MakeReport("Progress", {{"percent", "60"}})},
         "5/12 60%"},
        {{MakeReport("Step", {{"step", "x5"}}), MakeReport("Progress", {{"percent", "250"}})}, ""},
        {{MakeReport("Step", {{"step", "5/0"}}), MakeReport("Step", {{"step", "/3"}})}, ""},
        {{MakeReport("Step", {{"step", "15/12"}})}, "15/12 100%"},
    };
    for (const auto& c : cases) {
        mon_Job job(1, "beam", "beam", "x", mon_Job::Clock::now());
        for (const mon_Report& report : c.reports)
            job.Apply(report, mon_Job::Clock::now());
        EXPECT_EQ(job.Progress(), c.progress) << c.progress;
    }
}

} // namespace
