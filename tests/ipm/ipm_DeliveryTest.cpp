#include "ipm_TestSupport.h"

#include "ipm/ipm_MessageBacklog.h"
#include "ipm/ipm_Modules.h"

#include <gtest/gtest.h>

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

TEST(ipm_MessageTransmitSettings, TheBacklogBoundComesFromTheEnvironment) {
    const std::pair<const char*, int> cases[] = {{nullptr, 1000}, {"0", 1000}, {"-3", 1000},
                                                 {"abc", 1000},   {"7", 7},    {"20000", 20000}};
    SetCommandLine({});
    for (const auto& c : cases) {
        ScopedEnv bound("MAX_PENDING_MESSAGES", c.first);
        DestroyTransmitter();
        EXPECT_EQ(ipm_MessageTransmit::Instance().GetMaxPendingMessages(), c.second)
            << (c.first ? c.first : "unset");
    }
    DestroyTransmitter();
}

TEST_F(ipm_Delivery, SetUpIsTriedAgainAfterOneThenTwoSecondsAndNothingMadeMeanwhileIsLost) {
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
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        job.recording->Release();
    });
    const Clock::time_point stuck = Clock::now();
    ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
    EXPECT_LT(SecondsSince(stuck), 1.0) << "the direct report waited for the stuck write";
    release.join();
    ASSERT_TRUE(Eventually([&] { return job.recording->Transmitted().size() == 1; }));
    ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
    EXPECT_EQ(job.recording->Transmitted().size(), 2u) << "a transport that is free takes it";
}

TEST_F(ipm_Delivery, AStopRequestWhileTheTransportIsDownEndsTheTaskAtOnce) {
    ReportingJob job;
    job.recording->initializeResult = false;
    ReportInfo("r1");
    std::atomic<bool> ended{false};
    std::thread taskThread([&] {
        ipm_MessageTask task;
        task.Run(0);
        ended = true;
    });
    ASSERT_TRUE(Eventually([&] { return job.recording->InitializeCalls() >= 1; }));
    job.Transmitter().RequestStop();
    EXPECT_TRUE(Eventually([&] { return ended.load(); }, 800))
        << "not after the next attempt, nor never";
    if (!ended)
        job.Transmitter().Abandon();
    taskThread.join();
    EXPECT_EQ(job.recording->InitializeCalls(), 1);
    EXPECT_EQ(job.MessageFileText(), InfoPayload("r1"));
}

TEST_F(ipm_Delivery, ShutDownWaitsForATaskWhoseRunHasNotBegunAndItDeliversEverything) {
    int modules = 0;
    QORKelCommunications_initialize(modules);
    ReportingJob job;
    ipm_MessageTask task;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        task.Run(0);
    });
    TimedReporter host;
    host.ReportRange(1, 3);
    job.Transmitter().RequestStop();
    QORKelCommunications_finalize(modules);
    EXPECT_EQ(job.recording->Transmitted(), Payloads(Range(1, 3)));
    EXPECT_TRUE(job.recording->Destroyed());
    late.join(); // a task that went on for ever would hang here
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
