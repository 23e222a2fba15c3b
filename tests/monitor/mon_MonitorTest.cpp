#include "monitor/mon_TestSupport.h"

#include "monitor/mon_Monitor.h"

#include <gtest/gtest.h>

using namespace mon_test;

namespace {

// A source that takes every Kill for the jobs it is told are reachable.
class FakeSource : public mon_Source {
public:
    void Watch(csp_Poller&) override {}
    void Serve(const csp_Poller&, Clock::time_point) override {}
    bool SendKill(const mon_Job& job, std::string& why) override {
        if (unreachable == job.Label()) {
            why = "the connection failed";
            return false;
        }
        killed.push_back(job.Label());
        return true;
    }
    bool Ended() const override { return false; }
    std::string Describe() const override { return "fake"; }
    bool MayBringJobsBack(Clock::time_point) const override {
        ++asked;
        return asked <= holdFor;
    }

    std::vector<std::string> killed;
    std::string unreachable;
    int holdFor = 0;
    mutable int asked = 0;
};

class NoInput : public mon_CommandInput {
public:
    bool Next(std::string&) override { return false; }
};

struct Desk {
    RecordingView view;
    mon_Roster roster{view, std::chrono::seconds(60), std::chrono::seconds(5)};
    FakeSource source;
    NoInput input;
    mon_Options options;
    mon_Monitor monitor{options, roster, source, input};
    mon_Roster::Clock::time_point now = mon_Roster::Clock::now();

    int arrive(const std::string& name) { return roster.Arrive(name, "x", "came", now); }
    // The notes that typing the line gave.
    std::vector<std::string> type(const std::string& line) {
        const std::size_t before = view.events.size();
        monitor.Execute(line, now);
        std::vector<std::string> notes;
        for (std::size_t i = before; i < view.events.size(); ++i)
            notes.push_back(view.events[i]);
        return notes;
    }
};

TEST(MonitorCommandsRun, KillSaysWhatHappenedToEveryKindOfJob) {
    Desk setup;
    const int finished = setup.arrive("done");
    setup.roster.Report(finished, mon_Report("Finished"), mon_View::Time::Unknown(), setup.now);
    const int lost = setup.arrive("gone");
    setup.roster.Leave(lost, "the connection closed", setup.now);
    setup.arrive("beam");
    setup.roster.Leave(setup.arrive("twin"), "the connection closed", setup.now);
    setup.arrive("twin");
    setup.arrive("twin");
    setup.arrive("cut");
    setup.source.unreachable = "cut";
    // The first to give a name may be an impostor: it is no more "pair" than the second.
    setup.arrive("pair");
    setup.arrive("pair");
    struct Case {
        const char* line;
        std::vector<std::string> notes;
    } cases[] = {
        {"kill beam", {"note sent Kill to beam after 0 reports"}},
        {"kill beam",
         {"note no Kill sent to beam: a Kill was sent 0.0 s ago; still waiting for it "
          "to stop"}},
        {"kill done", {"note no Kill sent to done: it has already finished (0.0 s ago)"}},
        {"kill gone", {"note no Kill sent to gone: it has already been lost (0.0 s ago)"}},
        {"kill twin",
         {"note 2 running jobs are named twin: twin#2 (from x for 0:00, 0 reports), twin#3 "
          "(from x for 0:00, 0 reports); say which: kill twin#2 or kill twin#3"}},
        {"kill twin#3", {"note sent Kill to twin#3 after 0 reports"}},
        {"kill pair",
         {"note 2 running jobs are named pair: pair#1 (from x for 0:00, 0 reports), pair#2 "
          "(from x for 0:00, 0 reports); say which: kill pair#1 or kill pair#2"}},
        {"kill pair#2", {"note sent Kill to pair#2 after 0 reports"}},
        {"kill pair#1", {"note sent Kill to pair after 0 reports"}},
        {"kill cut", {"note no Kill sent to cut: the connection failed"}},
        {"kill nobody",
         {"note no job named nobody (jobs: done, gone, beam, twin, twin#2, twin#3, cut, pair, "
          "pair#2)"}},
        {"kill all",
         {"note sending Kill to 2 jobs: twin#2, cut",
          "note sent Kill to twin#2 after "
          "0 reports",
          "note no Kill sent to cut: the connection failed"}},
        {"frobnicate", {"note unknown command \"frobnicate\"; type help for the commands"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(setup.type(c.line), c.notes) << c.line;
    EXPECT_EQ(setup.source.killed,
              (std::vector<std::string>{"beam", "twin#3", "pair#2", "pair", "twin#2"}));
}

TEST(MonitorCommandsRun, QuitNamesTheJobsStillConnectedAndLeavesWhenAskedAgain) {
    Desk setup;
    setup.arrive("beam");
    setup.roster.Leave(setup.arrive("gone"), "closed", setup.now);
    setup.arrive("alpha");
    EXPECT_EQ(setup.type("quit"),
              (std::vector<std::string>{"note still connected: beam, alpha (they go on without a "
                                        "monitor); type quit again to leave"}));
    EXPECT_FALSE(setup.monitor.Done());
    setup.type("list");
    setup.type("quit");
    EXPECT_FALSE(setup.monitor.Done());
    setup.type("exit");
    EXPECT_TRUE(setup.monitor.Done());
}

TEST(MonitorCommandsRun, QuitWithNoJobConnectedLeavesAtOnce) {
    Desk setup;
    setup.roster.Leave(setup.arrive("gone"), "closed", setup.now);
    EXPECT_TRUE(setup.type("quit").empty());
    EXPECT_TRUE(setup.monitor.Done());
}

TEST(MonitorCommandsRun, ListShowsEveryJobWithItsState) {
    Desk setup;
    setup.roster.Leave(setup.arrive("gone"), "closed", setup.now);
    setup.arrive("beam");
    const std::vector<std::string> notes = setup.type("status");
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0], "note 2 jobs: 1 running, 1 lost");
    EXPECT_EQ(notes[1].compare(0, 17, "note   gone  lost"), 0) << notes[1];
    EXPECT_EQ(notes[2].compare(0, 20, "note   beam  running"), 0) << notes[2];
}

// -exit_when_idle leaves once no job is connected, but not while the source says that jobs
// that look gone may come back (their server restarts).
TEST(MonitorCommandsRun, ExitWhenIdleWaitsWhileTheSourceMayBringJobsBack) {
    Desk desk;
    desk.options.exitWhenIdle = true;
    desk.source.holdFor = 3;
    desk.roster.Leave(desk.arrive("beam"), "its session ended", desk.now);
    desk.monitor.Run();
    EXPECT_EQ(desk.source.asked, 4) << "asked each round until the source let it go";
}

} // namespace
