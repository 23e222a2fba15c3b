#include "ipm_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "csp/csp_TestSupport.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_sendMessage.h"

#include <gtest/gtest.h>

#include <functional>

using namespace ipm_test;
using csp_test::loopbackListener;

namespace {

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 5000) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Everything that arrives on the connection until `size` bytes are in or it stays quiet.
std::string ReadUpTo(csp_TcpSocket& monitor, std::size_t size) {
    std::string received;
    char buffer[4096];
    while (received.size() < size &&
           wsa::waitUntilReadable(monitor.getDescriptor(), 3000000) == 1) {
        const int count = monitor.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
    }
    return received;
}

void Report(const char* type, const std::string& message) {
    const char* texts[] = {message.c_str()};
    ipm_sendMessage(type, "message=%s", nullptr, nullptr, texts);
}

// A host's start-up order: the direct transport installed, the message task running on a
// thread of its own; reports come after.
class DirectHost {
public:
    DirectHost() : listener(loopbackListener()) {
        DestroyTransmitter();
        eli_resetkillsig();
        SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path(), "-listener_name",
                        "127.0.0.1", "-direct_port", std::to_string(listener.name().getPort())});
        ipm_MessageTransmit::Instance().SetMechanism(new ipm_DirectMechanism);
        thread = std::thread([this] { task.Run(0); });
    }
    ~DirectHost() {
        Transmitter().RequestStop();
        if (thread.joinable())
            thread.join();
        // The monitor goes first, so that the transport's orderly end finds it gone.
        monitor.close();
        DestroyTransmitter();
        eli_resetkillsig();
    }

    ipm_MessageTransmit& Transmitter() { return ipm_MessageTransmit::Instance(); }
    std::string MessageFileText() const { return ReadFile(dir.File("beam.ipm")); }
    void Accept() { monitor = listener.acceptConnection(); }

    TempDir dir;
    csp_TcpSocket listener;
    csp_TcpSocket monitor{-1};
    ipm_MessageTask task;
    std::thread thread;
};

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
    EXPECT_TRUE(WaitFor([] { return eli_getkillsig(); }));
    host.Transmitter().RequestStop();
    host.thread.join();
    EXPECT_FALSE(host.Transmitter().IsDisabled());
    EXPECT_TRUE(host.Transmitter().IsFinished());
}

TEST(DirectFlow, ListenerDyingMidStreamEndsTheTaskButTheJobAndItsMessageFileGoOn) {
    for (const bool reset : {false, true}) {
        DirectHost host;
        Report("Started", "go");
        host.Accept();
        for (int i = 0; i < 3; ++i)
            Report("Step", "before " + std::to_string(i));
        ASSERT_FALSE(ReadUpTo(host.monitor, 1).empty());

        if (reset)
            host.monitor.setLinger(true, 0);
        host.monitor.close();
        host.listener.close();

        int reports = 4;
        for (; reports < 60 && !host.Transmitter().IsFinished(); ++reports) {
            Report("Step", "after " + std::to_string(reports));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // The task ended by itself: no stop was asked for.
        ASSERT_TRUE(WaitFor([&] { return host.Transmitter().IsFinished(); })) << reset;
        host.thread.join();
        EXPECT_TRUE(host.Transmitter().IsDisabled());
        EXPECT_FALSE(eli_getkillsig());

        Report("Error", "after the task ended");
        ++reports;
        const std::vector<std::string> logged = Lines(host.MessageFileText());
        ASSERT_EQ(int(logged.size()), reports) << reset;
        EXPECT_NE(logged.back().find("after the task ended"), std::string::npos);
    }
}

} // namespace
