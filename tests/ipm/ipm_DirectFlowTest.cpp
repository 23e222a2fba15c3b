#include "ipm_DirectHost.h"

#include <gtest/gtest.h>

using namespace ipm_test;

namespace {

// On the real clock, at the real pace, from start to kill.
TEST(DirectFlow, InstallStartTheTaskThenReportDeliversEveryReportAndTakesTheKill) {
    DirectHost host;
    // The task polls the installed but unconnected transport for a while: nothing may end.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(host.Transmitter().IsDisabled());

    Report("Job Started", "go");
    host.Accept();
    Report("Info", "two lines\nin one value");
    Report("Warning", "a < b & c");
    for (int i = 0; i < 5; ++i)
        Report("Step", "step " + std::to_string(i));

    const std::string file = host.MessageFileText();
    // A line feed inside a value makes nine lines of eight payloads.
    EXPECT_EQ(Lines(file).size(), 9u) << file;
    EXPECT_EQ(ReadUpTo(host.monitor, file.size() + 4), "beam" + file);

    csp_test::writeText(host.monitor, "Kill");
    EXPECT_TRUE(Eventually([] { return eli_getkillsig(); }));
    host.Transmitter().RequestStop();
    host.thread.join();
    EXPECT_FALSE(host.Transmitter().IsDisabled());
    EXPECT_TRUE(host.Transmitter().IsFinished());
}

TEST(DirectFlow, AListenerThatDiesAndComesBackGetsTheJobAgainAndTheFileKeepsEveryReport) {
    DrivenClock clock;
    for (const bool reset : {false, true}) {
        DirectHost host;
        const int port = host.listener.name().getPort();
        Report("Started", "go");
        host.Accept();
        for (int i = 0; i < 3; ++i)
            Report("Step", "before " + std::to_string(i));
        ASSERT_FALSE(ReadUpTo(host.monitor, 1).empty());

        if (reset)
            host.monitor.setLinger(true, 0);
        host.monitor.close();
        host.listener.close();
        ASSERT_TRUE(Eventually([&] { return !host.Transmitter().IsMechanismReady(); })) << reset;

        TimedReporter job("after ");
        job.ReportRange(4, 9, "Step");
        EXPECT_LT(job.LongestMilliseconds(), 500.0) << "the host never waits for the listener";
        EXPECT_FALSE(host.Transmitter().IsFinished()) << "the task goes on";

        csp_TcpSocket listener = csp_test::loopbackListenerOn(port);
        {
            const DrivenClock::Idle waitingForTheJob(&clock);
            host.monitor = listener.acceptConnection();
        }
        const std::string lastPayload = Lines(host.MessageFileText()).back() + "\n";
        const std::string received = ReadUntil(host.monitor, lastPayload);
        EXPECT_EQ(received.rfind("beam<Notice>", 0), 0u) << "the job name first, then the notice";
        EXPECT_NE(received.find(lastPayload), std::string::npos) << received;

        const std::vector<std::string> logged = Lines(host.MessageFileText());
        ASSERT_EQ(logged.size(), 10u) << reset;
        EXPECT_EQ(logged.back().find("<Notice>"), std::string::npos) << "notices are not logged";
    }
}

} // namespace
