#include "csp/csp_Host.h"
#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_HostLookup.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp_TestSupport.h"
#include "platform/platform_Sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using csp_test::secondsSince;

// Every wait on the network ends: a connect, a write to a peer that does not read, a name
// lookup; and another thread can cut each short.
namespace {

typedef std::chrono::steady_clock Clock;

template <class Call> int codeRaisedBy(Call call) {
    try {
        call();
    } catch (const csp_NetworkException& raised) {
        return raised.getCode();
    }
    return -1;
}

// A connection whose receiver never reads and takes little: writes soon make no progress.
struct StalledReceiver {
    csp_TcpSocket listener;
    csp_TcpSocket client{csp_TcpSocket::doNotBind};
    csp_TcpSocket server{-1};

    StalledReceiver() : listener(csp_TcpSocket::doNotBind) {
        listener.setReceiveBufferSize(2048);
        listener.bind(csp_test::loopback(0));
        listener.listen(4);
        client.setSendBufferSize(4096);
        client.connectTo(csp_test::loopback(listener.name().getPort()));
        server = listener.acceptConnection();
    }
};

TEST(BoundedConnect, AListenerThatNeverAcceptsFailsTheConnectAfterFiveSeconds) {
    csp_test::FullListener full;
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(codeRaisedBy([&] { socket.connectTo(csp_test::loopback(full.Port())); }),
              csp_NetworkException::system_call_timout);
    EXPECT_GE(secondsSince(start), 4.5);
    EXPECT_LT(secondsSince(start), 30.0);

    // A reset socket connects again, and blocks as before.
    csp_TcpSocket listener = csp_test::loopbackListener();
    socket.reset();
    socket.connectTo(csp_test::loopback(listener.name().getPort()));
    EXPECT_TRUE(socket.isConnected());
    csp_TcpSocket accepted = listener.acceptConnection();
    char byte = 0;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        accepted.write("x", 1);
    });
    EXPECT_EQ(socket.read(&byte, 1), 1) << "a blocking read waits for the byte";
    late.join();
}

TEST(BoundedConnect, ARefusedConnectStillFailsAtOnceWithThePlatformsReason) {
    int port;
    {
        csp_TcpSocket closed = csp_test::loopbackListener();
        port = closed.name().getPort();
    }
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    const Clock::time_point start = Clock::now();
    csp_SocketError cause;
    try {
        socket.connectTo(csp_test::loopback(port));
        ADD_FAILURE() << "connected to a port that nothing listens on";
    } catch (const csp_NetworkException& raised) {
        EXPECT_EQ(raised.getCode(), csp_NetworkException::system_call_failure);
        cause = raised.getSystemError();
    }
    // The reason travels with the exception: on Windows the unwinder itself can clear the
    // thread's last error before the caller reads it.
    EXPECT_EQ(cause.code(), WSAECONNREFUSED);
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST(BoundedWrite, WritingToAPeerThatNeverReadsFailsAfterFiveSecondsWithoutProgress) {
    StalledReceiver stalled;
    std::string block(1 << 20, 'x');
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(codeRaisedBy([&] {
                  for (int i = 0; i < 64; ++i)
                      stalled.client.writeAll(block.data(), int(block.size()));
              }),
              csp_NetworkException::write_failed);
    EXPECT_GE(secondsSince(start), 4.5);
    EXPECT_LT(secondsSince(start), 30.0);
    EXPECT_FALSE(stalled.client.isUsable()) << "the connection counts as failed";
    EXPECT_EQ(stalled.client.write("x", 1), -1);
}

TEST(BoundedWrite, WriteAllDeliversEveryByteToAReaderThatKeepsUp) {
    csp_test::Connection connection;
    std::string sent(3 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = char('a' + i % 23);
    std::string received;
    std::thread reader(
        [&] { received = csp_test::readBytes(connection.server, int(sent.size())); });
    connection.client.writeAll(sent.data(), int(sent.size()));
    reader.join();
    EXPECT_TRUE(received == sent);
}

TEST(Interrupt, WakesACallBlockedOnTheNetworkInAnotherThread) {
    csp_test::FullListener full;
    StalledReceiver stalled;
    csp_test::Connection quiet;
    const std::string block(1 << 20, 'x');
    csp_TcpSocket connecting(csp_TcpSocket::doNotBind);
    struct Case {
        const char* blockedIn;
        csp_TcpSocket* socket;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"a connect that is never accepted", &connecting,
         [&] { connecting.connectTo(csp_test::loopback(full.Port())); }},
        {"a write the peer never reads", &stalled.client,
         [&] {
             for (int i = 0; i < 64; ++i)
                 stalled.client.writeAll(block.data(), int(block.size()));
         }},
        {"a wait for data that never comes", &quiet.client,
         [&] { wsa::waitUntilReadable(quiet.client.getDescriptor(), 20000000); }},
    };
    for (const Case& c : cases) {
        std::atomic<bool> returned{false};
        std::thread blocked([&] {
            try {
                c.call();
            } catch (const csp_NetworkException&) {
            }
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(returned) << c.blockedIn << " did not block";
        const Clock::time_point start = Clock::now();
        c.socket->interrupt();
        blocked.join();
        EXPECT_LT(secondsSince(start), 2.0) << c.blockedIn;
    }
}

TEST(Interrupt, IsHarmlessOnASocketThatIsNotOpenAndAfterAReset) {
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    socket.close();
    socket.interrupt();
    socket.reset();
    socket.interrupt();
    csp_TcpSocket listener = csp_test::loopbackListener();
    socket.reset();
    socket.connectTo(csp_test::loopback(listener.name().getPort()));
    EXPECT_TRUE(socket.isConnected()) << "a reset socket connects again";
}

// The calling thread's give-up check is asked while it waits; no other thread's.
bool alwaysGiveUp() {
    return true;
}

// Lets the lookup start, then gives up on it.
thread_local int checksAsked = 0;
bool giveUpOnceStarted() {
    return ++checksAsked > 1;
}

TEST(BoundedLookup, ALookupEndsEarlyOnlyForTheThreadWhoseCheckSaysSo) {
    csp_Host::setLookupGiveUpCheck(alwaysGiveUp);
    EXPECT_EQ(codeRaisedBy([] { csp_Host host{cow_String("localhost")}; }),
              csp_NetworkException::system_call_timout);
    std::string otherThreadsName;
    std::thread other(
        [&] { otherThreadsName = csp_Host(cow_String("localhost")).getName().c_str(); });
    other.join();
    EXPECT_EQ(otherThreadsName, "localhost");
    csp_Host::setLookupGiveUpCheck(nullptr);
    EXPECT_STREQ(csp_Host(cow_String("localhost")).getName().c_str(), "localhost");
    EXPECT_EQ(codeRaisedBy([] { csp_Host host{cow_String("no-such-host.invalid")}; }),
              csp_NetworkException::invalid_host)
        << "a name that does not resolve is still told from one that gets no answer";
}

// Needs a name server that never answers: tests/csp/silent_name_server.sh runs this test in
// private network and mount namespaces whose resolver asks a UDP port on which this test
// listens and never answers.
TEST(BoundedLookup, ANameServerThatNeverAnswersHoldsALookupForTenSecondsAtMost) {
    if (std::getenv("QORKEL_SILENT_NAME_SERVER") == nullptr)
        GTEST_SKIP() << "run through silent_name_server.sh";
    csp_Socket silent(SOCK_DGRAM, AF_INET, 0);
    silent.bind(csp_test::loopback(53));

    Clock::time_point start = Clock::now();
    EXPECT_EQ(codeRaisedBy([] { csp_IpAddress address{cow_String("monitor.example")}; }),
              csp_NetworkException::system_call_timout);
    EXPECT_GE(secondsSince(start), 9.0);
    EXPECT_LT(secondsSince(start), 20.0);

    static std::atomic<bool> givingUp{false};
    csp_Host::setLookupGiveUpCheck([] { return givingUp.load(); });
    std::thread giveUpSoon([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        givingUp = true;
    });
    start = Clock::now();
    EXPECT_EQ(codeRaisedBy([] { csp_Host host{cow_String("other.example")}; }),
              csp_NetworkException::system_call_timout);
    EXPECT_LT(secondsSince(start), 3.0);
    giveUpSoon.join();
    csp_Host::setLookupGiveUpCheck(nullptr);

    // The lookups given up on still wait for the resolver; with eight of them, the next is
    // refused at once instead of starting a ninth thread.
    csp_Host::setLookupGiveUpCheck(giveUpOnceStarted);
    while (csp_HostLookup::abandoned() < 8) {
        checksAsked = 0;
        EXPECT_EQ(codeRaisedBy([] { csp_Host host{cow_String("more.example")}; }),
                  csp_NetworkException::system_call_timout);
    }
    csp_Host::setLookupGiveUpCheck(nullptr);
    const int running = csp_HostLookup::running();
    start = Clock::now();
    EXPECT_EQ(codeRaisedBy([] { csp_Host host{cow_String("refused.example")}; }),
              csp_NetworkException::system_call_timout);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_LE(csp_HostLookup::running(), running);
}

} // namespace
