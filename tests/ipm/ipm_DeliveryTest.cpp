#include "ipm_TestSupport.h"

#include "ipm/ipm_MessageBacklog.h"
#include "ipm/ipm_Modules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// Delivery through a scripted transport: every way a transport can fail to come up, fail
// later or come back, and what the host, the message file and the monitor see meanwhile.
using namespace ipm_test;

namespace {

std::vector<std::string> Payloads(const std::vector<std::string>& messages) {
    std::vector<std::string> payloads;
    for (const std::string& message : messages)
        payloads.push_back(InfoPayload(message));
    return payloads;
}

std::vector<std::string> Range(int first, int last) {
    std::vector<std::string> messages;
    for (int n = first; n <= last; ++n)
        messages.push_back("r" + std::to_string(n));
    return messages;
}

void ReportInfo(const std::string& text) {
    const char* texts[] = {text.c_str()};
    ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts);
}

std::string Joined(const std::vector<std::string>& payloads) {
    std::string text;
    for (const std::string& payload : payloads)
        text += payload;
    return text;
}

class ipm_Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyTransmitter();
        eli_resetkillsig();
    }
    void TearDown() override {
        DestroyTransmitter();
        eli_resetkillsig();
    }
};

struct BacklogStep {
    const char* report;
    bool keep;
};

TEST(ipm_MessageBacklog, OverItsBoundTheOldestReportThatMayGoIsDroppedAndCounted) {
    ipm_MessageBacklog backlog(3);
    const BacklogStep steps[] = {{"a", false}, {"E", true},  {"b", false}, {"c", false},
                                 {"W", true},  {"d", false}, {"N", true},  {"e", false}};
    for (const BacklogStep& step : steps)
        backlog.Append(step.report, step.keep);
    std::vector<std::string> waiting;
    const cow_List<cow_String> list = backlog.Waiting();
    for (int i = 0; i < list.Count(); ++i)
        waiting.push_back(list.ConstGet(i).c_str());
    // Only droppable reports make way, the newest too when nothing older may go.
    EXPECT_EQ(waiting, (std::vector<std::string>{"E", "W", "N"}));
    EXPECT_EQ(backlog.GetDropped(), 5);
    backlog.ForgetDropped(3);
    EXPECT_EQ(backlog.GetDropped(), 2);
}

TEST(ipm_MessageBacklog, TheReportTakenOutCountsAndGoesBackFirstWhenItsDeliveryFails) {
    ipm_MessageBacklog backlog(2);
    backlog.Append("1", false);
    backlog.Append("2", false);
    cow_String out;
    ASSERT_TRUE(backlog.TakeOldest(out));
    EXPECT_STREQ(out.c_str(), "1");
    EXPECT_FALSE(backlog.TakeOldest(out)) << "one at a time";
    backlog.Append("3", false); // three pending: "2" goes, never the one out for delivery
    EXPECT_EQ(backlog.Pending(), 2);
    EXPECT_EQ(backlog.GetDropped(), 1);
    backlog.PutBack();
    ASSERT_TRUE(backlog.TakeOldest(out));
    EXPECT_STREQ(out.c_str(), "1");
    backlog.Delivered();
    ASSERT_TRUE(backlog.TakeOldest(out));
    EXPECT_STREQ(out.c_str(), "3");
}

// Random appends, deliveries and failed deliveries against a plain list that drops by
// searching: the same reports wait, in the same order, and the same are dropped. Then a
// backlog of many kept reports, behind which every droppable one must still go at once (a
// generous bound, not a measurement: searching past them took minutes).
TEST(ipm_MessageBacklog, DropsAndDeliversAsAPlainListWouldAndDropsInConstantTime) {
    struct Model {
        std::vector<std::pair<std::string, bool>> waiting;
        bool takenOut = false;
        std::pair<std::string, bool> out;
        int dropped = 0;
    };
    std::srand(20);
    for (int round = 0; round < 50; ++round) {
        const int bound = 1 + std::rand() % 6;
        ipm_MessageBacklog backlog(bound);
        Model model;
        for (int step = 0; step < 400; ++step) {
            const int action = std::rand() % 10;
            if (action < 6) {
                const std::string report = std::to_string(step);
                const bool keep = std::rand() % 3 == 0;
                backlog.Append(cow_String(report.c_str()), keep);
                model.waiting.emplace_back(report, keep);
                while (int(model.waiting.size()) + (model.takenOut ? 1 : 0) > bound) {
                    auto first = std::find_if(model.waiting.begin(), model.waiting.end(),
                                              [](const auto& entry) { return !entry.second; });
                    if (first == model.waiting.end())
                        break;
                    model.waiting.erase(first);
                    ++model.dropped;
                }
            } else if (action < 8) {
                cow_String taken;
                const bool took = backlog.TakeOldest(taken);
                ASSERT_EQ(took, !model.takenOut && !model.waiting.empty()) << step;
                if (took) {
                    model.out = model.waiting.front();
                    model.waiting.erase(model.waiting.begin());
                    model.takenOut = true;
                    ASSERT_EQ(std::string(taken.c_str()), model.out.first) << step;
                }
            } else if (action == 8) {
                backlog.Delivered();
                model.takenOut = false;
            } else {
                backlog.PutBack();
                if (model.takenOut)
                    model.waiting.insert(model.waiting.begin(), model.out);
                model.takenOut = false;
            }
            const cow_List<cow_String> waiting = backlog.Waiting();
            ASSERT_EQ(waiting.Count(), int(model.waiting.size())) << step;
            for (int i = 0; i < waiting.Count(); ++i)
                ASSERT_EQ(std::string(waiting.ConstGet(i).c_str()), model.waiting[i].first) << step;
            ASSERT_EQ(backlog.GetDropped(), model.dropped) << step;
        }
    }

    ipm_MessageBacklog backlog(10);
    const Clock::time_point start = Clock::now();
    for (int n = 0; n < 200000; ++n) {
        backlog.Append(cow_String("kept"), true);
        backlog.Append(cow_String("droppable"), false);
    }
    EXPECT_LT(SecondsSince(start), 20.0);
    EXPECT_EQ(backlog.GetDropped(), 200000);
    EXPECT_EQ(backlog.Pending(), 200000);
}

TEST_F(ipm_Delivery, SetUpIsTriedAgainAfterOneThenTwoSecondsAndNothingMadeMeanwhileIsLost) {
    DrivenClock clock;
    struct Case {
        const char* transport;
        std::function<void(Recording&)> failTwice;
    };
    const Case cases[] = {
        {"answers false", [](Recording& r) { r.initializeResult = false; }},
        {"raises", [](Recording& r) { r.initializeFailuresToThrow = 2; }},
    };
    for (const Case& c : cases) {
        ReportingJob job;
        c.failTwice(*job.recording);
        TimedReporter host;
        host.ReportRange(1, 5);
        TaskThread task;
        ASSERT_TRUE(Eventually([&] { return job.recording->InitializeCalls() >= 2; }))
            << c.transport;
        job.recording->initializeResult = true;
        ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() >= 5; }))
            << c.transport;
        EXPECT_EQ(job.recording->Transmitted(), Payloads(Range(1, 5)))
            << c.transport << ": the first connection has nothing to tell";
        const std::vector<Clock::time_point> attempts = job.recording->InitializeTimes();
        ASSERT_EQ(attempts.size(), 3u) << c.transport;
        EXPECT_GE(attempts[1] - attempts[0], std::chrono::milliseconds(950)) << c.transport;
        EXPECT_GE(attempts[2] - attempts[1], std::chrono::milliseconds(1950)) << c.transport;
        EXPECT_EQ(job.MessageFileText(), Joined(Payloads(Range(1, 5)))) << c.transport;
        EXPECT_LT(host.LongestMilliseconds(), 500.0) << c.transport;
    }
}

TEST_F(ipm_Delivery, ATransportThatNeverAnswersHoldsNeitherTheHostNorShutDownPastItsDeadline) {
    DrivenClock clock;
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "1");
    int modules = 0;
    QORKelCommunications_initialize(modules);
    ReportingJob job;
    job.recording->initializeHangs = true;
    TaskThread task;
    TimedReporter host;
    host.ReportRange(1, 20);
    ASSERT_TRUE(Eventually([&] { return job.recording->InitializeCalls() == 1; }));
    host.ReportRange(21, 40);
    EXPECT_LT(host.LongestMilliseconds(), 500.0);

    const Clock::time_point start = Clock::now();
    QORKelCommunications_finalize(modules);
    EXPECT_GE(SecondsSince(start), 0.9) << "delivery had its time";
    EXPECT_LT(SecondsSince(start), 5.0) << "but no more";
    EXPECT_GE(job.recording->Interrupts(), 1) << "the blocked set-up was interrupted";
    EXPECT_TRUE(job.recording->Destroyed());
    EXPECT_EQ(job.MessageFileText(), Joined(Payloads(Range(1, 40))));
    task.Join();
}

TEST_F(ipm_Delivery, ShutDownGivesUpOnAMonitorThatNeverReadsOnceItsDeadlineHasPassed) {
    DrivenClock clock;
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "1");
    int modules = 0;
    QORKelCommunications_initialize(modules);
    ReportingJob job;
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.Transmitter().IsMechanismReady(); }));
    job.recording->transmitHangs = true;
    TimedReporter host;
    host.ReportRange(1, 30);
    const Clock::time_point start = Clock::now();
    QORKelCommunications_finalize(modules);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_GE(job.recording->Interrupts(), 1);
    EXPECT_EQ(job.MessageFileText(), Joined(Payloads(Range(1, 30))));
    task.Join();
}

TEST_F(ipm_Delivery, OverTheBoundTheOldestReportsThatMayGoAreDroppedAndTheNoticeCountsThem) {
    DrivenClock clock;
    ScopedEnv bound("MAX_PENDING_MESSAGES", "5");
    ReportingJob job;
    job.recording->initializeResult = false;
    const char* texts[][2] = {{"Info", "r1"}, {"Error", "e1"},   {"Info", "r2"},
                              {"Info", "r3"}, {"Info", "r4"},    {"Info", "r5"},
                              {"Info", "r6"}, {"Warning", "w1"}, {"Info", "r7"}};
    std::vector<std::string> made;
    for (const auto& report : texts) {
        const char* values[] = {report[1]};
        ipm_sendMessage(report[0], "message=%s", nullptr, nullptr, values);
        made.push_back(std::string("<") + report[0] + "><message type=\"string\">" + report[1] +
                       "</message><phase type=\"symconst\"></phase><jobName "
                       "type=\"string\">beam</jobName></" +
                       report[0] + ">\n");
    }
    EXPECT_EQ(job.Transmitter().GetPendingCount(), 5);
    EXPECT_EQ(job.MessageFileText(), Joined(made)) << "the file keeps them all";

    TaskThread task;
    job.recording->initializeResult = true;
    ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() >= 6; }));
    // r1 to r4 made way; the error and the warning were never candidates.
    const std::vector<std::string> expected = {NoticePayload(false, 4, job.MessageFilePath(), 5),
                                               made[1],
                                               made[5],
                                               made[6],
                                               made[7],
                                               made[8]};
    EXPECT_EQ(job.recording->Transmitted(), expected);
    EXPECT_EQ(job.Transmitter().GetUndeliveredCount(), 0) << "told";
}

TEST_F(ipm_Delivery, ReportsDroppedWhileConnectedAreToldAheadOfTheNextReport) {
    DrivenClock clock;
    ScopedEnv bound("MAX_PENDING_MESSAGES", "3");
    ReportingJob job;
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.Transmitter().IsMechanismReady(); }));
    job.recording->holdTransmit = true;
    TimedReporter host;
    host.Report(1);
    ASSERT_TRUE(Eventually([&] { return job.recording->TransmitCalls() == 1; }));
    host.ReportRange(2, 10); // r1 is being delivered, so two more can wait
    job.recording->Release();
    ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() >= 4; }));
    const std::vector<std::string> expected = {InfoPayload("r1"),
                                               NoticePayload(false, 7, job.MessageFilePath(), 3),
                                               InfoPayload("r9"), InfoPayload("r10")};
    EXPECT_EQ(job.recording->Transmitted(), expected);
    EXPECT_EQ(job.MessageFileText(), Joined(Payloads(Range(1, 10))));
}

TEST_F(ipm_Delivery, ADirectReportNeitherWaitsForAStuckTransportNorForOneThatIsDown) {
    ReportingJob job;
    const Clock::time_point start = Clock::now();
    ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
    EXPECT_LT(SecondsSince(start), 0.2) << "the transport is not up yet";
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.Transmitter().IsMechanismReady(); }));
    job.recording->holdTransmit = true;
    ReportInfo("r1");
    ASSERT_TRUE(Eventually([&] { return job.recording->TransmitCalls() == 1; }));
    // The stuck write goes on once the direct report has come back, or after 3 s if that
    // report waits for it.
    std::atomic<bool> directReturned{false};
    std::thread release([&] {
        Eventually([&] { return directReturned.load(); }, 3000);
        job.recording->Release();
    });
    const Clock::time_point stuck = Clock::now();
    ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
    directReturned = true;
    EXPECT_LT(SecondsSince(stuck), 1.0) << "the direct report waited for the stuck write";
    release.join();
    ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() == 1; }));
    ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
    EXPECT_EQ(job.recording->Transmitted().size(), 2u) << "a transport that is free takes it";
}

// The monitor is away when the job stops, and comes back within the deadline, or never. The
// stop tries it every quarter of a second, whatever the back-off had reached, until its
// deadline; with nothing waiting it does not wait at all.
TEST_F(ipm_Delivery, AStopTriesAMonitorThatIsAwayEveryQuarterSecondUntilItsDeadline) {
    DrivenClock clock;
    struct Case {
        const char* monitor;
        int reports;
        int backAfterMilliseconds; // -1: never
        bool delivered;
        double shortest;
        double longest;
    };
    const Case cases[] = {
        {"back after 1.5 s", 2, 1500, true, 1.3, 2.0},
        {"never back", 2, -1, false, 1.9, 2.6},
        {"never back, nothing waits", 0, -1, true, 0.0, 0.3},
    };
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "2");
    for (const Case& c : cases) {
        ReportingJob job;
        job.recording->initializeResult = false;
        for (int n = 1; n <= c.reports; ++n)
            ReportInfo("r" + std::to_string(n));
        TaskThread task;
        // Past the first attempt and into a back-off of 2 s.
        ASSERT_TRUE(Eventually([&] { return job.recording->InitializeCalls() >= 2; })) << c.monitor;
        std::thread monitor = clock.Thread([&] {
            if (c.backAfterMilliseconds < 0)
                return;
            clock.SleepFor(std::chrono::milliseconds(c.backAfterMilliseconds));
            job.recording->initializeResult = true;
        });
        const int attemptsBefore = job.recording->InitializeCalls();
        const Clock::time_point stop = Clock::now();
        const bool ended = job.Transmitter().StopDelivery();
        const double took = SecondsSince(stop);
        clock.Join(monitor);
        task.Join();
        EXPECT_EQ(ended, c.delivered) << c.monitor;
        EXPECT_GE(took, c.shortest) << c.monitor;
        EXPECT_LT(took, c.longest) << c.monitor;
        EXPECT_EQ(job.recording->Transmitted(),
                  c.delivered ? Payloads(Range(1, c.reports)) : std::vector<std::string>())
            << c.monitor;
        const std::vector<Clock::time_point> attempts = job.recording->InitializeTimes();
        for (std::size_t i = std::size_t(attemptsBefore) + 1; i < attempts.size(); ++i) {
            EXPECT_GE(attempts[i] - attempts[i - 1], std::chrono::milliseconds(200)) << c.monitor;
            EXPECT_LT(attempts[i] - attempts[i - 1], std::chrono::milliseconds(450)) << c.monitor;
        }
        if (c.reports > 0) {
            EXPECT_GE(attempts.size() - std::size_t(attemptsBefore), 5u) << c.monitor;
        }
    }
}

// Threads that go on reporting while the job stops do not hold the stop: it delivers what
// waited when it began and ends, and the later reports are recorded.
TEST_F(ipm_Delivery, AStopDeliversWhatWaitedWhenItBeganNotWhatIsMadeAfter) {
    DrivenClock clock;
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "20");
    ScopedEnv bound("MAX_PENDING_MESSAGES", "100000");
    ReportingJob job;
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.Transmitter().IsMechanismReady(); }));
    job.recording->holdTransmit = true;
    ReportInfo("r1");
    ASSERT_TRUE(Eventually([&] { return job.recording->TransmitCalls() == 1; }));
    for (int n = 2; n <= 5; ++n)
        ReportInfo("r" + std::to_string(n));
    const Clock::time_point stop = Clock::now();
    std::atomic<bool> stopped{false};
    std::thread stopper = clock.Thread([&] {
        EXPECT_TRUE(job.Transmitter().StopDelivery());
        stopped = true;
    });
    ASSERT_TRUE(Eventually([&] { return job.Transmitter().IsStopRequested(); }));
    std::atomic<int> later{0};
    std::thread reporter([&] {
        while (!stopped) {
            ReportInfo("later" + std::to_string(++later));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    job.recording->Release();
    clock.Join(stopper);
    EXPECT_LT(SecondsSince(stop), 5.0) << "it waited for the reports made after it began";
    reporter.join();
    task.Join();
    const std::vector<std::string> delivered = job.recording->Transmitted();
    ASSERT_GE(delivered.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(delivered.begin(), delivered.begin() + 5),
              Payloads(Range(1, 5)));
    EXPECT_EQ(int(Lines(job.MessageFileText()).size()), 5 + later.load()) << "all recorded";
}

// Over an overloaded wire the notices are few: one at once, then at most one every 5 s, and
// every report made is either delivered or counted in one of them.
TEST_F(ipm_Delivery, OneNoticeAtMostEveryFiveSecondsCarriesTheSumOfWhatWasDropped) {
    DrivenClock clock;
    ScopedEnv bound("MAX_PENDING_MESSAGES", "2");
    ReportingJob job;
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.Transmitter().IsMechanismReady(); }));
    const int reports = 600;
    for (int n = 1; n <= reports; ++n) {
        ReportInfo("r" + std::to_string(n));
        clock.SleepFor(std::chrono::milliseconds(5));
    }
    const std::vector<std::string> beforeStop = job.recording->Transmitted();
    EXPECT_TRUE(job.Transmitter().StopDelivery());
    task.Join();
    int notices = 0;
    for (const std::string& payload : beforeStop)
        notices += payload.rfind("<Notice>", 0) == 0;
    EXPECT_EQ(notices, 1) << "over about 3 s of delivery";
    int delivered = 0;
    int told = 0;
    for (const std::string& payload : job.recording->Transmitted()) {
        delivered += payload.rfind("<Info>", 0) == 0;
        const std::size_t count = payload.find("<undelivered type=\"integer\">");
        if (count != std::string::npos)
            told +=
                std::atoi(payload.c_str() + count + std::strlen("<undelivered type=\"integer\">"));
    }
    EXPECT_EQ(delivered + told, reports);
    EXPECT_GE(told, reports / 2);
}

TEST_F(ipm_Delivery, ShutDownWaitsForATaskWhoseRunHasNotBegunAndItDeliversEverything) {
    DrivenClock clock;
    int modules = 0;
    QORKelCommunications_initialize(modules);
    ReportingJob job;
    ipm_MessageTask task;
    std::thread late = clock.Thread([&] {
        clock.SleepFor(std::chrono::milliseconds(300));
        task.Run(0);
    });
    TimedReporter host;
    host.ReportRange(1, 3);
    job.Transmitter().RequestStop();
    QORKelCommunications_finalize(modules);
    EXPECT_EQ(job.recording->Transmitted(), Payloads(Range(1, 3)));
    EXPECT_TRUE(job.recording->Destroyed());
    clock.Join(late); // a task that went on for ever would hang here
    EXPECT_EQ(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
}

TEST_F(ipm_Delivery, ARunThatBeginsAfterShutDownReturnsAtOnceAndCreatesNothing) {
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "0");
    int modules = 0;
    QORKelCommunications_initialize(modules);
    std::unique_ptr<ipm_MessageTask> task;
    {
        ReportingJob job;
        task.reset(new ipm_MessageTask);
        ReportInfo("r1");
        QORKelCommunications_finalize(modules);
        EXPECT_EQ(job.MessageFileText(), InfoPayload("r1"));
    }
    const Clock::time_point start = Clock::now();
    task->Run(0);
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
    task.reset();
}

TEST_F(ipm_Delivery, ATaskMadeBeforeAnyTransmitterServesTheOneMadeAfterIt) {
    std::unique_ptr<ipm_MessageTask> task(new ipm_MessageTask);
    ReportingJob job; // creates the transmitter and installs the transport
    ReportInfo("r1");
    std::thread thread([&] { task->Run(0); });
    ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() == 1; }));
    job.Transmitter().RequestStop();
    thread.join();
    EXPECT_EQ(job.recording->Transmitted(), Payloads({"r1"}));
}

TEST_F(ipm_Delivery, ATaskMadeBeforeAnyTransmitterCreatesNoneOnceTheLibraryIsShutDown) {
    int modules = 0;
    QORKelCommunications_initialize(modules);
    ipm_MessageTask task;
    QORKelCommunications_finalize(modules);
    task.Run(0);
    EXPECT_EQ(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
}

TEST_F(ipm_Delivery, ReplacingTheTransportWhileThreadsReportLosesNothingFromTheRecord) {
    ReportingJob job;
    std::vector<std::shared_ptr<Recording>> recordings{job.recording};
    TaskThread task;
    std::vector<std::thread> hosts;
    const int threads = 4;
    const int perThread = 250;
    for (int t = 0; t < threads; ++t)
        hosts.emplace_back([t] {
            TimedReporter host("t" + std::to_string(t) + "-");
            for (int n = 0; n < perThread; ++n) {
                host.Report(n);
                ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
            }
        });
    for (int swap = 0; swap < 40; ++swap) {
        recordings.push_back(std::make_shared<Recording>());
        job.Transmitter().SetMechanism(new RecordingMechanism(recordings.back()));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (std::thread& host : hosts)
        host.join();
    task.Abandon(); // rather than deliver the backlog, 60 ms a report
    const std::vector<std::string> logged = Lines(job.MessageFileText());
    EXPECT_EQ(int(logged.size()), threads * perThread);
    for (const auto& counted : LineCounts(job.MessageFileText()))
        EXPECT_EQ(counted.second, 1) << counted.first;
    for (std::size_t i = 0; i + 1 < recordings.size(); ++i)
        EXPECT_TRUE(recordings[i]->Destroyed()) << i;
    for (const std::shared_ptr<Recording>& recording : recordings)
        EXPECT_EQ(recording->Overlaps(), 0);
}

TEST_F(ipm_Delivery, AKillReachesTheHookBetweenTwoReportsOfALongBacklog) {
    DrivenClock clock;
    ReportingJob job;
    TimedReporter host;
    host.ReportRange(1, 1000);
    EXPECT_EQ(job.Transmitter().GetPendingCount(), 1000);
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() >= 10; }));
    const Clock::time_point sent = Clock::now();
    job.recording->killOnPoll = true;
    ASSERT_TRUE(Eventually([] { return eli_getkillsig(); }, 5000));
    const double latency = SecondsSince(sent);
    EXPECT_LT(latency, 1.0) << "not after the rest of the backlog";
    RecordProperty("kill_latency_ms", int(latency * 1000));
    const std::vector<Clock::time_point> times = job.recording->TransmitTimes();
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(59)) << "the pace stays";
    task.Abandon();
}

} // namespace
