#include "ipm/ipm_TestSupport.h"
#include "monitor/mon_TestSupport.h"

#include "monitor/mon_MessageFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace mon_test;

namespace {

const std::string started = "<Started><program type=\"string\">ipm_job</program><steps type="
                            "\"integer\">3</steps><phase type=\"symconst\"></phase><jobName type="
                            "\"string\">beam</jobName></Started>\n";
const std::string twoLineWarning = "<Warning><message type=\"string\">Contact not closed\nsee "
                                   "the file</message><phase type=\"symconst\">Analysis</phase>"
                                   "<jobName type=\"string\">beam</jobName></Warning>\n";
const std::string step = "<Step><step type=\"integer\">2</step><phase type=\"symconst\">Analysis"
                         "</phase><jobName type=\"string\">beam</jobName></Step>\n";
const std::string finished = "<Finished><status type=\"symconst\">Completed</status><phase type="
                             "\"symconst\">Analysis</phase><jobName type=\"string\">beam</jobName>"
                             "</Finished>\n";

void write(const std::string& path, const std::string& text, bool append = false) {
    std::ofstream file(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    file << text;
}

// Reads the file as -replay does, to its end; what the view was told, and the roster.
struct Replayed {
    std::vector<std::string> events;
    std::vector<std::string> jobs; // "label state reports"
    std::vector<bool> timesKnown;
    std::string elapsed; // of the last job
};

class TimeRecordingView : public RecordingView {
public:
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override {
        RecordingView::ReportArrived(job, report, time);
        timesKnown.push_back(time.known);
    }
    std::vector<bool> timesKnown;
};

Replayed replay(const std::string& text) {
    ipm_test::TempDir dir;
    const std::string path = dir.File("beam.ipm");
    write(path, text);
    TimeRecordingView view;
    mon_Roster roster(view, std::chrono::seconds(3600), std::chrono::seconds(5));
    mon_MessageFile file(path, false, roster);
    csp_Poller poller;
    for (int round = 0; round < 100 && !file.Ended(); ++round)
        file.Serve(poller, mon_Roster::Clock::now());
    EXPECT_TRUE(file.Ended());
    Replayed replayed{view.events, {}, view.timesKnown, std::string()};
    for (const mon_Job* job : roster.Jobs()) {
        replayed.jobs.push_back(job->Label() + " " + mon_Job::StateName(job->GetState()) + " " +
                                std::to_string(job->Reports()));
        replayed.elapsed = mon_Job::Duration(job->EndedAt() - job->Arrived());
    }
    return replayed;
}

TEST(MonitorMessageFile, ReplayShowsEveryRunAndEveryUnreadableLine) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> reports;
        std::vector<std::string> jobs;
    } cases[] = {
        {"a run to its end, a value holding a line feed",
         started + twoLineWarning + step + finished,
         {"report beam Started", "report beam Warning", "report beam Step", "report beam Finished"},
         {"beam finished 4"}},
        {"an unreadable line between reports",
         started + "this is no report\n" + step + "<Step>1 < 2</Step>\n" + finished,
         {"report beam Started", "unreadable beam text outside any report", "report beam Step",
          "unreadable beam not well-formed (invalid token)", "report beam Finished"},
         {"beam finished 5"}},
        {"a run cut short by a crash, then the next run",
         started + step.substr(0, 40) + started + finished,
         {"report beam Started", "unreadable beam not well-formed (invalid token)",
          "report beam#2 Started", "report beam#2 Finished"},
         {"beam lost 2", "beam#2 finished 2"}},
        {"a text that holds a report of its own",
         started +
             "<Error><message type=\"string\">read:\n<Finished><status type=\"string\">Completed"
             "</status></Finished></message><jobName type=\"string\">beam</jobName></Error>\n" +
             step,
         {"report beam Started", "report beam Error", "report beam Step"},
         {"beam running 3"}},
        {"a file that ends inside a report",
         started + step.substr(0, 40),
         {"report beam Started", "unreadable beam cut off by the end of the stream"},
         {"beam running 2"}},
        {"an empty file", "", {}, {}},
    };
    for (const auto& c : cases) {
        const Replayed replayed = replay(c.text);
        std::vector<std::string> reports;
        for (const std::string& event : replayed.events)
            if (event.compare(0, 7, "report ") == 0 || event.compare(0, 11, "unreadable ") == 0)
                reports.push_back(event);
        EXPECT_EQ(reports, c.reports) << c.name;
        EXPECT_EQ(replayed.jobs, c.jobs) << c.name;
    }
}

TEST(MonitorMessageFile, OnlyTheLastReportReadCarriesATime) {
    const Replayed replayed = replay(started + step + finished);
    EXPECT_EQ(replayed.timesKnown, (std::vector<bool>{false, false, true}));
}

TEST(MonitorMessageFile, ReportsThatCarryATimestampShowItAndTheirSpan) {
    struct Case {
        const char* text;
        double seconds; // -1: no time
    } cases[] = {
        {"2026-05-04T10:20:30Z", 1777890030},
        {"2026-05-04T10:20:30.5Z", 1777890030.5},
        {"2026-05-04 10:20:30", 1777890030},
        {"2026-05-04T12:20:30+02:00", 1777890030},
        {"2026-05-04T08:50:30-01:30", 1777890030},
        {"1777890030", 1777890030},
        {"2026-13-04T10:20:30Z", -1},
        {"2026-05-04T10:20:30 tomorrow", -1},
        {"yesterday", -1},
        {"-5", -1},
        {"", -1},
    };
    for (const Case& c : cases) {
        double seconds = -1;
        mon_Report report("Step");
        report.AddField(mon_Report::Field{"timestamp", "string", c.text});
        const bool known = mon_MessageFile::ReportTime(report, seconds);
        EXPECT_EQ(known, c.seconds >= 0) << c.text;
        if (known) {
            EXPECT_DOUBLE_EQ(seconds, c.seconds) << c.text;
        }
    }

    // A run of 75 minutes, read in an instant: its elapsed time is its reports' span.
    auto stamped = [](const std::string& type, const char* time) {
        return "<" + type + "><timestamp type=\"string\">" + time +
               "</timestamp><jobName type=" + "\"string\">beam</jobName></" + type + ">\n";
    };
    const Replayed replayed = replay(stamped("Started", "2026-05-04T10:00:00Z") +
                                     stamped("Step", "2026-05-04T10:30:00Z") +
                                     stamped("Finished", "2026-05-04T11:15:00Z"));
    EXPECT_EQ(replayed.timesKnown, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(replayed.elapsed, "1:15:00");
}

// The file's time stands for the last report: an hour-old file shows a report an hour old,
// a job silent, and one running for at least that hour (its start is not known).
TEST(MonitorMessageFile, TheLastReportIsAsOldAsTheFile) {
    ipm_test::TempDir dir;
    const std::string path = dir.File("beam.ipm");
    write(path, started + step);
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) -
                                               std::chrono::hours(1));
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(60), std::chrono::seconds(5));
    mon_MessageFile file(path, false, roster);
    csp_Poller poller;
    while (!file.Ended())
        file.Serve(poller, mon_Roster::Clock::now());
    roster.Tick(mon_Roster::Clock::now());
    const mon_Job& job = *roster.Jobs().front();
    EXPECT_EQ(job.GetState(), mon_Job::silent);
    const std::string line = job.Describe(mon_Roster::Clock::now());
    EXPECT_NE(line.find("elapsed 1:00:0"), std::string::npos) << line;
    EXPECT_NE(line.find("last report 1:00:0"), std::string::npos) << line;
}

TEST(MonitorMessageFile, FollowShowsWhatIsAppendedAndStartsAgainWhenTheFileShrinks) {
    ipm_test::TempDir dir;
    const std::string path = dir.File("beam.ipm");
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(3600), std::chrono::seconds(5));
    mon_MessageFile file(path, true, roster);
    csp_Poller poller;
    const auto serve = [&] { file.Serve(poller, mon_Roster::Clock::now()); };
    serve();
    write(path, started + step.substr(0, 30));
    serve();
    write(path, step.substr(30), true);
    serve();
    write(path, finished, true);
    serve();
    serve();
    write(path, started);
    serve();
    EXPECT_FALSE(file.Ended());
    EXPECT_EQ(view.Only("report "),
              (std::vector<std::string>{"report beam Started", "report beam Step",
                                        "report beam Finished", "report beam#2 Started"}));
    ASSERT_EQ(view.Only("note ").size(), 2u);
    EXPECT_EQ(view.Only("note ")[0], "note waiting for " + path + " to appear");
    EXPECT_EQ(view.Only("note ")[1],
              "note " + path + " became shorter; reading it again from its start");
}

TEST(MonitorMessageFile, AFileThatCannotBeReadIsRefusedAtOnce) {
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(3600), std::chrono::seconds(5));
    EXPECT_THROW(mon_MessageFile("/nonexistent/beam.ipm", false, roster), std::runtime_error);
}

} // namespace
