#include "ipm_TestSupport.h"

#include "base/base_Modules.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_Modules.h"
#include "ipm/ipm_sendMessage.h"

#include <gtest/gtest.h>

using namespace ipm_test;

namespace {

void Report(const std::string& text) {
    const char* texts[] = {text.c_str()};
    ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts);
}

std::string Payload(const std::string& message) {
    return "<Info><message type=\"string\">" + message +
           "</message><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName>"
           "</Info>\n";
}

std::vector<std::string> Payloads(int first, int last) {
    std::vector<std::string> payloads;
    for (int i = first; i <= last; ++i)
        payloads.push_back(Payload("r" + std::to_string(i)));
    return payloads;
}

void ReportRange(int first, int last) {
    for (int i = first; i <= last; ++i)
        Report("r" + std::to_string(i));
}

bool WaitUntil(const std::function<bool()>& condition) {
    return Eventually(condition);
}

std::string Notice(int undelivered, const std::string& file) {
    return NoticePayload(true, undelivered, file);
}

// A host lets its task thread reach Run before it shuts the library down.
bool TaskIsRunning() {
    ipm_MessageTransmit* transmitter = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
    return transmitter && transmitter->IsTaskRunning();
}

class ipm_MessageTaskTest : public ::testing::Test {
protected:
    void TearDown() override { DestroyTransmitter(); }
};

TEST_F(ipm_MessageTaskTest, DeliversABatchInBufferingOrderAboutSixtyMillisecondsApart) {
    DrivenClock clock;
    ReportingJob job;
    ReportRange(1, 10);
    {
        TaskThread task;
        job.Transmitter().RequestStop();
    }
    EXPECT_EQ(job.recording->Transmitted(), Payloads(1, 10));
    const std::vector<Clock::time_point>& times = job.recording->transmitTimes;
    ASSERT_EQ(times.size(), 10u);
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(59)) << i;
    EXPECT_TRUE(job.Transmitter().IsFinished());
    EXPECT_FALSE(job.Transmitter().IsDisabled());
}

TEST_F(ipm_MessageTaskTest, ReportsMadeWhileTheTaskRunsArriveInLaterBatches) {
    DrivenClock clock;
    ReportingJob job;
    TaskThread task;
    ReportRange(1, 3);
    ASSERT_TRUE(WaitUntil([&] { return job.recording->Transmitted().size() >= 1; }));
    ReportRange(4, 5);
    job.Transmitter().RequestStop();
    task.Join();
    EXPECT_EQ(job.recording->Transmitted(), Payloads(1, 5));
    EXPECT_GT(job.recording->Polls(), 0);
}

TEST_F(ipm_MessageTaskTest, AStopRequestEndsTheTaskOnlyAfterTheBufferIsDrained) {
    DrivenClock clock;
    ReportingJob job;
    ReportRange(1, 3);
    job.Transmitter().RequestStop();
    TaskThread task;
    task.Join();
    EXPECT_EQ(job.recording->Transmitted(), Payloads(1, 3));
    EXPECT_FALSE(job.Transmitter().HasMessages());
    EXPECT_TRUE(job.Transmitter().IsFinished());
}

TEST_F(ipm_MessageTaskTest, AFailedTransmissionIsSentAgainOnANewConnectionAfterANotice) {
    DrivenClock clock;
    ReportingJob job;
    job.recording->failTransmitNumber = 2;
    ReportRange(1, 3);
    TaskThread task;
    ASSERT_TRUE(WaitUntil([&] { return job.recording->Transmitted().size() >= 4; }));
    const std::vector<std::string> expected = {Payload("r1"), Notice(0, job.MessageFilePath()),
                                               Payload("r2"), Payload("r3")};
    EXPECT_EQ(job.recording->Transmitted(), expected) << "nothing lost, nothing twice";
    const std::vector<Clock::time_point> attempts = job.recording->InitializeTimes();
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_GE(attempts[1] - attempts[0], std::chrono::milliseconds(900)) << "a second's pause";
    EXPECT_FALSE(job.Transmitter().IsDisabled());

    Report("r4");
    EXPECT_EQ(job.MessageFileText(), Payload("r1") + Payload("r2") + Payload("r3") + Payload("r4"))
        << "the message file goes on, without the notice";
}

TEST_F(ipm_MessageTaskTest, AFailingPollSetsTheTransportUpAgainBeforeDelivering) {
    DrivenClock clock;
    ReportingJob job;
    job.recording->failPoll = true;
    ReportRange(1, 2);
    TaskThread task;
    ASSERT_TRUE(WaitUntil([&] { return job.recording->Polls() > 0; }));
    job.recording->failPoll = false;
    ASSERT_TRUE(WaitUntil([&] { return job.recording->Transmitted().size() >= 3; }));
    EXPECT_EQ(
        job.recording->Transmitted(),
        (std::vector<std::string>{Notice(0, job.MessageFilePath()), Payload("r1"), Payload("r2")}));
    EXPECT_GE(job.recording->InitializeCalls(), 2);
    EXPECT_FALSE(job.Transmitter().IsDisabled());
}

TEST_F(ipm_MessageTaskTest, TheTransportSeesOneCallAtATime) {
    ReportingJob job;
    job.recording->transmitMilliseconds = 3;
    Report("r0");
    TaskThread task;
    // Reports made directly before the transport is up are dropped.
    ASSERT_TRUE(WaitUntil([&] { return job.Transmitter().IsMechanismReady(); }));
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t)
        hosts.emplace_back([] {
            for (int i = 0; i < 15; ++i) {
                ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);
                std::this_thread::sleep_for(std::chrono::milliseconds(7));
            }
        });
    ReportRange(1, 5);
    for (std::thread& host : hosts)
        host.join();
    job.Transmitter().RequestStop();
    task.Join();
    EXPECT_EQ(job.recording->Transmitted().size(), 45u + 6u);
    EXPECT_GT(job.recording->Polls(), 0);
    EXPECT_EQ(job.recording->Overlaps(), 0);
}

TEST_F(ipm_MessageTaskTest, TheTaskPollsOnlyATransportItHasSetUp) {
    DrivenClock clock;
    ReportingJob job;
    job.recording->initializeResult = false;
    TaskThread task;
    ASSERT_TRUE(WaitUntil([&] { return job.recording->InitializeCalls() >= 1; }));
    clock.SleepFor(std::chrono::milliseconds(250));
    EXPECT_EQ(job.recording->Polls(), 0);
    job.recording->initializeResult = true;
    ASSERT_TRUE(WaitUntil([&] { return job.recording->Polls() > 0; }));
}

class ipm_LibraryLifecycle : public ::testing::Test {
protected:
    void SetUp() override { DestroyTransmitter(); }
    void TearDown() override { DestroyTransmitter(); }
};

TEST_F(ipm_LibraryLifecycle, NestedInitialisationsMoveTheCounterOnlyOnTheOutermostPair) {
    int counter = 5; // the host's own modules
    QORKelCommunications_initialize(counter);
    const int up = counter;
    // One for the library, one for each of the five base modules, sockets, XMPP, reporting.
    EXPECT_EQ(up, 5 + 1 + 5 + 3);
    EXPECT_EQ(bas_moduleUseCount("atr"), 1);
    QORKelCommunications_initialize(counter);
    EXPECT_EQ(counter, up);
    QORKelCommunications_finalize(counter);
    EXPECT_EQ(counter, up);
    EXPECT_EQ(bas_moduleUseCount("utl"), 1) << "still up for the remaining user";
    QORKelCommunications_finalize(counter);
    EXPECT_EQ(counter, 5);
    EXPECT_EQ(bas_moduleUseCount("atr"), 0);
    QORKelCommunications_finalize(counter);
    EXPECT_EQ(counter, 5) << "an unmatched finalisation changes nothing";
    QORKelCommunications_initialize(counter);
    EXPECT_EQ(counter, up) << "a new start begins from scratch";
    QORKelCommunications_finalize(counter);
}

TEST_F(ipm_LibraryLifecycle, FinalisingWithoutReportsReturnsAndLeavesNoTransmitter) {
    int counter = 0;
    SetCommandLine({});
    QORKelCommunications_initialize(counter);
    ipm_MessageTransmit::Instance();
    QORKelCommunications_finalize(counter);
    EXPECT_EQ(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
}

TEST_F(ipm_LibraryLifecycle, FinalisingWaitsForTheTaskToDeliverEverythingAndLeave) {
    DrivenClock clock;
    int counter = 0;
    QORKelCommunications_initialize(counter);
    {
        ReportingJob job;
        ReportRange(1, 4);
        TaskThread task;
        ASSERT_TRUE(WaitUntil(TaskIsRunning));
        job.Transmitter().RequestStop();
        QORKelCommunications_finalize(counter);
        EXPECT_EQ(job.recording->Transmitted(), Payloads(1, 4));
        EXPECT_TRUE(job.recording->Destroyed());
        EXPECT_EQ(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
    }
}

TEST_F(ipm_LibraryLifecycle, FinalisingStopsATaskThatIsStillPollingWithReportingOff) {
    int counter = 0;
    SetCommandLine({"-message", "on"}); // no job: reporting off
    QORKelCommunications_initialize(counter);
    TaskThread task;
    ASSERT_TRUE(WaitUntil(TaskIsRunning));
    QORKelCommunications_finalize(counter); // must neither hang nor free under the task
    EXPECT_EQ(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
    task.Join();
}

TEST_F(ipm_LibraryLifecycle, FinalisingWithoutATaskDoesNotWaitForOne) {
    int counter = 0;
    QORKelCommunications_initialize(counter);
    {
        ReportingJob job;
        Report("r1");
        const Clock::time_point start = Clock::now();
        QORKelCommunications_finalize(counter);
        EXPECT_LT(SecondsSince(start), 5.0);
        EXPECT_TRUE(job.recording->Destroyed());
        EXPECT_EQ(job.MessageFileText(), Payload("r1"));
    }
}

} // namespace
