#include "ipm_DirectHost.h"

#include <gtest/gtest.h>

#include <cstdlib>

// The direct transport against monitors that misbehave, on real loopback sockets. In each,
// the message file holds every report exactly once, no reporting call waits on the network,
// and shut-down keeps its deadline.
using namespace ipm_test;

namespace {

// Every report of a run, in the order made, each once.
void ExpectEveryReportOnce(const std::string& fileText, int reports) {
    const std::vector<std::string> lines = Lines(fileText);
    ASSERT_EQ(int(lines.size()), reports);
    for (int n = 1; n <= reports; ++n)
        EXPECT_EQ(lines[n - 1] + "\n", InfoPayload("r" + std::to_string(n))) << n;
}

// A port on which nothing listens now, for a monitor that comes later.
int FreePort() {
    return csp_test::loopbackListenerOn(0).name().getPort();
}

// The task waits on the network throughout: the clock does not wait for it.
TEST(DirectDelivery, AMonitorThatNeverAcceptsHoldsNeitherTheHostNorShutDown) {
    DrivenClock clock(DrivenClock::taskNotAwaited);
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "2");
    csp_test::FullListener full;
    DirectHost host("127.0.0.1", full.Port());
    TimedReporter job;
    for (int n = 1; n <= 30; ++n) {
        job.Report(n);
        clock.SleepFor(std::chrono::milliseconds(30));
    }
    EXPECT_FALSE(host.Transmitter().IsMechanismReady());
    const double shutDown = host.ShutDown();
    EXPECT_LT(job.LongestMilliseconds(), 200.0);
    EXPECT_GE(shutDown, 1.9);
    EXPECT_LT(shutDown, 5.0) << "the connect in progress is given up on";
    ExpectEveryReportOnce(ReadFile(host.MessageFile()), 30);
    RecordProperty("slowest_host_call_us", int(job.LongestMilliseconds() * 1000));
    RecordProperty("shutdown_ms", int(shutDown * 1000));
}

// More than the connection's buffers take, so that the task is always still writing when the
// job stops: the write that makes no progress is what shut-down gives up on.
TEST(DirectDelivery, AMonitorThatNeverReadsHoldsNeitherTheHostNorShutDown) {
    DrivenClock clock(DrivenClock::taskNotAwaited);
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "2");
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReceiveBufferSize(2048);
    listener.bind(csp_test::loopback(0));
    listener.listen(4);
    DirectHost host("127.0.0.1", listener.name().getPort());
    csp_TcpSocket monitor = listener.acceptConnection();
    TimedReporter job;
    const std::string large(160000, 'x');
    for (int n = 1; n <= 60; ++n) {
        const std::string text = "r" + std::to_string(n) + " " + large;
        const char* texts[] = {text.c_str()};
        const Clock::time_point start = Clock::now();
        ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts);
        EXPECT_LT(SecondsSince(start), 0.2) << n;
        clock.SleepFor(std::chrono::milliseconds(20));
    }
    const double shutDown = host.ShutDown();
    EXPECT_LT(shutDown, 5.0) << "the write that makes no progress is given up on";
    const std::vector<std::string> lines = Lines(ReadFile(host.MessageFile()));
    ASSERT_EQ(lines.size(), 60u);
    for (int n = 1; n <= 60; ++n)
        EXPECT_EQ(lines[n - 1].find("<message type=\"string\">r" + std::to_string(n) + " "),
                  std::string("<Info>").size())
            << n;
    RecordProperty("shutdown_ms", int(shutDown * 1000));
}

// A monitor that reads, but slowly: every write makes progress, so only a bound on the whole
// call keeps a large direct report from holding its caller for as long as the reading takes.
TEST(DirectDelivery, ADirectReportHoldsItsCallerAtMostFiveSecondsHoweverSlowlyTheMonitorReads) {
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "1");
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReceiveBufferSize(2048);
    listener.bind(csp_test::loopback(0));
    listener.listen(4);
    DirectHost host("127.0.0.1", listener.name().getPort());
    Report("Info", "r1");
    host.monitor = listener.acceptConnection();
    ReadUntil(host.monitor, InfoPayload("r1"));
    std::atomic<bool> done{false};
    std::thread slowReader([&] {
        char buffer[4096];
        while (!done) {
            if (wsa::waitUntilReadable(host.monitor.getDescriptor(), 10000) == 1 &&
                host.monitor.read(buffer, sizeof buffer) <= 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const std::string large(8 << 20, 'x');
    const char* texts[] = {large.c_str()};
    const Clock::time_point start = Clock::now();
    ipm_sendMessageDirect("Info", "message=%s", nullptr, nullptr, texts);
    const double took = SecondsSince(start);
    done = true;
    slowReader.join();
    EXPECT_LT(took, 5.0);
    EXPECT_GT(took, 1.0) << "the monitor did read too slowly for the report";
    // Gone before the job ends, so that its orderly end has nobody to wait for.
    host.monitor.close();
    listener.close();
    host.ShutDown();
    RecordProperty("direct_call_ms", int(took * 1000));
}

TEST(DirectDelivery, AMonitorThatStartsLateGetsEveryReportMadeBeforeIt) {
    DrivenClock clock;
    const int port = FreePort();
    CapturedWarnings said;
    DirectHost host("127.0.0.1", port);
    TimedReporter job;
    job.ReportRange(1, 10);
    clock.SleepFor(std::chrono::seconds(3));
    const Clock::time_point started = Clock::now();
    csp_TcpSocket listener = csp_test::loopbackListenerOn(port);
    // The job tries again 1, 2, 4 ... seconds apart; the next try may be a few seconds off.
    {
        const DrivenClock::Idle waitingForTheJob(&clock);
        ASSERT_EQ(wsa::waitUntilReadable(listener.getDescriptor(), 70 * 1000000L), 1);
    }
    host.monitor = listener.acceptConnection();
    const std::string first = ReadUntil(host.monitor, InfoPayload("r1"));
    const double waited = SecondsSince(started);
    const std::string received = first + ReadUntil(host.monitor, InfoPayload("r10"));
    EXPECT_EQ(received, WireOf(host.MessageFileText())) << "no notice: nothing was lost";
    ExpectEveryReportOnce(host.MessageFileText(), 10);
    EXPECT_LT(job.LongestMilliseconds(), 200.0);
    RecordProperty("late_monitor_wait_ms", int(waited * 1000));
    // One line while no monitor listened, one once it did.
    const std::string monitor = "the monitor at 127.0.0.1:" + std::to_string(port);
    const std::vector<std::string> lines = Lines(said.Text());
    ASSERT_EQ(lines.size(), 2u) << said.Text();
    EXPECT_EQ(lines[0],
              "QORKelCommunications: reports cannot reach " + monitor +
                  " (connection refused: nothing listens on that port): they are "
                  "recorded in the message file " +
                  std::string(ipm_MessageTransmit::Instance().GetMessageFilePath().c_str()) +
                  ", and delivery is retried");
    EXPECT_EQ(lines[1].rfind("QORKelCommunications: reports reach " + monitor + " now, after ", 0),
              0u)
        << lines[1];
}

TEST(DirectDelivery, AKillDuringAThousandReportBacklogReachesTheHookAtOnce) {
    DrivenClock clock;
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "0");
    DirectHost host;
    host.Accept();
    ASSERT_TRUE(Eventually([&] { return host.Transmitter().IsMechanismReady(); }));
    TimedReporter job;
    job.ReportRange(1, 1000);
    ReadUntil(host.monitor, InfoPayload("r10"), WhileReading::clockRuns);
    const Clock::time_point sent = Clock::now();
    csp_test::writeText(host.monitor, "Kill");
    ASSERT_TRUE(Eventually([] { return eli_getkillsig(); }, 5000));
    const double latency = SecondsSince(sent);
    EXPECT_LT(latency, 1.0) << "a poll between every two reports";
    EXPECT_GT(host.Transmitter().GetPendingCount(), 900) << "long before the backlog ends";
    RecordProperty("kill_latency_ms", int(latency * 1000));
    host.ShutDown();
}

// Needs a name server that never answers: ctest runs it through silent_name_server.sh.
TEST(DirectDelivery, AListenerNameThatNoServerResolvesHoldsNeitherTheHostNorShutDown) {
    if (std::getenv("QORKEL_SILENT_NAME_SERVER") == nullptr)
        GTEST_SKIP() << "run through tests/csp/silent_name_server.sh";
    csp_Socket silent(SOCK_DGRAM, AF_INET, 0);
    silent.bind(csp_test::loopback(53));
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "1");
    DirectHost host("monitor.example", 4000);
    TimedReporter job;
    for (int n = 1; n <= 20; ++n) {
        job.Report(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double shutDown = host.ShutDown();
    EXPECT_LT(job.LongestMilliseconds(), 200.0);
    EXPECT_LT(shutDown, 3.0) << "the lookup in progress is given up on";
    ExpectEveryReportOnce(ReadFile(host.MessageFile()), 20);
}

} // namespace
