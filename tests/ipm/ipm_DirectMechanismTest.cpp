#include "ipm_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "csp/csp_TestSupport.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_DirectMechanism.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

using namespace ipm_test;
using csp_test::Connection;
using csp_test::loopbackListener;

namespace {

std::string PortOf(const csp_TcpSocket& listener) {
    return std::to_string(listener.name().getPort());
}

// A direct transport for the job "beam", aimed at the given port of 127.0.0.1.
class DirectJob {
public:
    explicit DirectJob(const std::string& port) {
        SetCommandLine({"-job", "beam", "-listener_name", "127.0.0.1", "-direct_port", port});
        mechanism.SetJobName("beam");
        eli_resetkillsig();
    }
    ~DirectJob() { eli_resetkillsig(); }

    ipm_DirectMechanism mechanism;
};

// The listener's side of a connected direct transport, with the job name already read.
struct ConnectedJob {
    csp_TcpSocket listener = loopbackListener();
    DirectJob job{PortOf(listener)};
    bool initialized = job.mechanism.Initialize();
    csp_TcpSocket monitor = listener.acceptConnection();
    std::string announced = csp_test::readBytes(monitor, 4);

    // One write, which loopback hands over whole: the next poll, which waits for the monitor,
    // reads it all.
    void Send(const std::string& bytes) { csp_test::writeText(monitor, bytes); }
};

TEST(DirectMechanism, InitializeAnswersFalseWhenNoListenerCanBeReached) {
    std::string refusedPort;
    {
        csp_TcpSocket closed = loopbackListener();
        refusedPort = PortOf(closed);
    }
    const std::vector<std::vector<std::string>> commandLines = {
        {"-job", "beam", "-listener_name", "127.0.0.1", "-direct_port", refusedPort},
        {"-job", "beam", "-listener_name", "127.0.0.1"},
        {"-job", "beam", "-listener_name", "127.0.0.1", "-direct_port", "0"},
    };
    for (const std::vector<std::string>& arguments : commandLines) {
        SetCommandLine(arguments);
        ipm_DirectMechanism mechanism;
        EXPECT_FALSE(mechanism.Initialize()) << arguments.size();
        // Still unconnected: polling leaves the socket alone.
        EXPECT_NO_THROW(mechanism.Poll());
    }
}

TEST(DirectMechanism, AnUnresolvableListenerNameRaisesOutOfInitialize) {
    SetCommandLine({"-job", "beam", "-listener_name", "no-such-host.invalid", "-direct_port", "1"});
    ipm_DirectMechanism mechanism;
    EXPECT_THROW(mechanism.Initialize(), csp_NetworkException);
}

TEST(DirectMechanism, JobNameAndPayloadsStandBackToBackAndByteExactOnTheWire) {
    csp_TcpSocket listener = loopbackListener();
    DirectJob job(PortOf(listener));
    ASSERT_TRUE(job.mechanism.Initialize());
    csp_TcpSocket monitor = listener.acceptConnection();

    const char* const texts[] = {"A & B", "x<y", "line one\nline two"};
    const double reals[] = {std::numeric_limits<double>::infinity(), 2.5};
    const cow_String first =
        job.mechanism.Encode("Error", "message=%s stepName=%s", nullptr, nullptr, texts, false);
    const cow_String second =
        job.mechanism.Encode("Step", "time=%r load=%r", nullptr, reals, nullptr, false);
    const cow_String third =
        job.mechanism.Encode("Info", "heading=%s", nullptr, nullptr, texts + 2, false);
    for (const cow_String& payload : {first, second, third})
        job.mechanism.Transmit(payload);

    const std::string expected =
        std::string("beam") + first.c_str() + second.c_str() + third.c_str();
    EXPECT_EQ(csp_test::readBytes(monitor, int(expected.size())), expected);
    EXPECT_EQ(std::string(first.c_str()).substr(0, 7), "<Error>");
    EXPECT_NE(std::string(second.c_str()).find(">3.4028234663852886e+38<"), std::string::npos);
    EXPECT_NE(std::string(first.c_str()).find("A &amp; B"), std::string::npos);
}

TEST(DirectMechanism, KillReachesTheHookOnlyWhenOneReadHoldsItInThatCase) {
    struct Case {
        std::vector<std::string> chunks; // each is read by a poll of its own
        bool killed;
    };
    const std::vector<Case> cases = {
        {{"Kill"}, true},
        {{"please Kill the job now"}, true},
        {{std::string("\0\0\0Kill", 7)}, true}, // NUL bytes ahead of the command
        {{"kill"}, false},
        {{"KILL", "kILL"}, false},
        {{"Ki", "ll"}, false},
        {{std::string("Ki\0ll", 5)}, false},
        {{"status?"}, false},
    };
    for (const Case& c : cases) {
        ConnectedJob connected;
        ASSERT_TRUE(connected.initialized);
        for (const std::string& chunk : c.chunks) {
            connected.Send(chunk);
            connected.job.mechanism.Poll();
        }
        EXPECT_EQ(eli_getkillsig(), c.killed) << c.chunks.front();
    }
}

TEST(DirectMechanism, MoreThanTwoThousandWaitingBytesAreTakenInSeveralPolls) {
    ConnectedJob connected;
    ASSERT_TRUE(connected.initialized);
    // "Kill" straddles the end of the first read and stands whole at the end of the third.
    const std::string waiting =
        std::string(1998, 'x') + "Kill" + std::string(1998, 'y') + std::string(496, 'z') + "Kill";
    connected.Send(waiting);
    // All of it in before the first poll, which would otherwise read only what has come.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    connected.job.mechanism.Poll();
    EXPECT_FALSE(eli_getkillsig()) << "first read is at most 2000 bytes";
    connected.job.mechanism.Poll();
    EXPECT_FALSE(eli_getkillsig()) << "second read holds no whole Kill";
    connected.job.mechanism.Poll();
    EXPECT_TRUE(eli_getkillsig()) << "third read holds the last 500 bytes";
}

TEST(DirectMechanism, PollRaisesOnceTheListenerHasClosedOrReset) {
    for (const bool reset : {false, true}) {
        ConnectedJob connected;
        ASSERT_TRUE(connected.initialized);
        if (reset)
            connected.monitor.setLinger(true, 0);
        connected.monitor.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_THROW(connected.job.mechanism.Poll(), csp_NetworkException) << reset;
        EXPECT_FALSE(eli_getkillsig());
    }
}

TEST(DirectMechanism, QuietListenerMakesPollReturnAfterItsShortWait) {
    ConnectedJob connected;
    ASSERT_TRUE(connected.initialized);
    EXPECT_EQ(connected.announced, "beam");
    EXPECT_NO_THROW(connected.job.mechanism.Poll());
    EXPECT_FALSE(eli_getkillsig());
}

TEST(DirectMechanism, TransmitBeforeInitializeFailsAsTheSocketLayerDoes) {
    DirectJob job("1");
    EXPECT_THROW(job.mechanism.Transmit("<Info></Info>\n"), csp_NetworkException);
}

#if !defined(_WIN32)
extern "C" void ignoreSignal(int) {}

// A signal that arrives while a large write is blocked makes the platform return a short
// count; the payload must still arrive whole and the next one right after it.
TEST(DirectMechanism, AWriteCutShortBySignalsStillDeliversEveryByteInOrder) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous);

    ConnectedJob connected;
    ASSERT_TRUE(connected.initialized);
    std::string large(4 << 20, 'p');
    for (std::size_t i = 0; i < large.size(); i += 997)
        large[i] = char('a' + i % 26);
    large.back() = '\n';
    const cow_String big(large.c_str(), int(large.size()));
    const cow_String next("<Info></Info>\n");

    std::atomic<bool> sent{false};
    std::thread writer([&] {
        connected.job.mechanism.Transmit(big);
        connected.job.mechanism.Transmit(next);
        sent = true;
    });
    const pthread_t writerThread = writer.native_handle();
    std::string received;
    char buffer[4096];
    while (received.size() < large.size() + 14) {
        pthread_kill(writerThread, SIGUSR1);
        // Bytes a cut-short write dropped never come; stop waiting for them.
        if (wsa::waitUntilReadable(connected.monitor.getDescriptor(), 2000000) != 1)
            break;
        const int count = connected.monitor.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
        if (received.size() % (64 << 10) < sizeof buffer)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writer.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(sent);
    ASSERT_EQ(received.size(), large.size() + 14);
    EXPECT_TRUE(received.compare(0, large.size(), large) == 0);
    EXPECT_EQ(received.substr(large.size()), "<Info></Info>\n");
}
#endif

} // namespace
