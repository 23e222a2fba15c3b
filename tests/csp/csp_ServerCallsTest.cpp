// The socket layer's calls that raise nothing: every failure comes back as a csp_SocketError
// with its cause, the waits keep their bounds, and the raising calls keep the same cause in
// the exception they raise.
#include "csp/csp_Poller.h"
#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp_TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

using csp_test::Connection;
using csp_test::secondsSince;
using csp_test::writeText;

namespace {

typedef std::chrono::steady_clock Clock;

TEST(ServerCalls, FailuresComeBackWithTheirCauseAndRaiseNothing) {
    const csp_TcpSocket holder = csp_test::loopbackListener();
    const int heldPort = holder.name().getPort();
    struct Case {
        const char* name;
        std::function<int(csp_SocketError&)> call;
        csp_SocketError::Kind kind;
    };
    const Case cases[] = {
        {"listening on a port another listener holds",
         [&](csp_SocketError& error) {
             return csp_TcpSocket::listenOn(csp_test::loopback(heldPort), 4, error).isOpen() ? 0
                                                                                             : -1;
         },
         csp_SocketError::addressInUse},
        {"accepting at a non-blocking listener nobody connects to",
         [&](csp_SocketError& error) {
             csp_TcpSocket listener = csp_TcpSocket::listenOn(csp_test::loopback(0), 4, error);
             listener.setNonBlocking(true, error);
             csp_SocketAddress peer(0);
             return listener.acceptConnection(peer, error).isOpen() ? 0 : -1;
         },
         csp_SocketError::wouldBlock},
        {"reading a non-blocking connection that has nothing",
         [&](csp_SocketError& error) {
             Connection connection;
             connection.client.setNonBlocking(true, error);
             char buffer[8];
             const int read = connection.client.read(buffer, sizeof buffer, error);
             // Nothing there yet is no failure: the socket stays usable.
             EXPECT_TRUE(connection.client.isUsable());
             return read;
         },
         csp_SocketError::wouldBlock},
        {"writing a socket that is not open",
         [&](csp_SocketError& error) {
             csp_TcpSocket closed(csp_TcpSocket::doNotBind);
             closed.close();
             return closed.write("x", 1, error);
         },
         csp_SocketError::notASocket},
        {"waiting on a socket that is not open",
         [&](csp_SocketError& error) { return csp_TcpSocket(-1).waitReadable(10, error); },
         csp_SocketError::notASocket},
    };
    for (const Case& c : cases) {
        csp_SocketError error;
        int result = 0;
        EXPECT_NO_THROW(result = c.call(error)) << c.name;
        EXPECT_EQ(result, -1) << c.name;
        EXPECT_EQ(error.kind(), c.kind) << c.name << ": " << error.text();
    }
    csp_SocketError inUse;
    csp_TcpSocket::listenOn(csp_test::loopback(heldPort), 4, inUse);
    EXPECT_EQ(inUse.text(), "address already in use");
}

TEST(ServerCalls, AListenerAcceptsItsPeerAndTheWaitsKeepTheirBounds) {
    csp_SocketError error;
    const csp_TcpSocket listener = csp_TcpSocket::listenOn(csp_test::loopback(0), 4, error);
    ASSERT_TRUE(listener.isOpen()) << error.text();
    csp_TcpSocket client(csp_TcpSocket::doNotBind);
    client.connectTo(csp_test::loopback(listener.name().getPort()));
    csp_SocketAddress peer(0);
    csp_TcpSocket server = listener.acceptConnection(peer, error);
    ASSERT_TRUE(server.isOpen()) << error.text();
    EXPECT_EQ(peer, client.name());
    EXPECT_EQ(std::string(peer.getIpAddress().toDottedString().c_str()), "127.0.0.1");

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(server.waitReadable(100, error), 0);
    EXPECT_GE(secondsSince(start), 0.09);
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_EQ(client.waitWritable(1000, error), 1);
    writeText(client, "ping");
    EXPECT_EQ(server.waitReadable(5000, error), 1);
    EXPECT_TRUE(server.waitReadable(0));
}

TEST(ServerCalls, OneWaitTellsWhichOfManySocketsHaveSomethingToRead) {
    Connection quiet;
    Connection talking;
    Connection closing;
    writeText(talking.client, "x");
    closing.client.close();
    csp_Poller poller;
    poller.add(quiet.server.getDescriptor());
    poller.add(talking.server.getDescriptor());
    poller.add(closing.server.getDescriptor());
    poller.add(-1);
    ASSERT_TRUE(poller.wait(5000));
    EXPECT_FALSE(poller.isReadable(quiet.server.getDescriptor()));
    EXPECT_TRUE(poller.isReadable(talking.server.getDescriptor()));
    EXPECT_TRUE(poller.isReadable(closing.server.getDescriptor())) << "an ended connection";

    const Clock::time_point start = Clock::now();
    poller.clear();
    poller.add(quiet.server.getDescriptor());
    ASSERT_TRUE(poller.wait(100));
    EXPECT_FALSE(poller.isReadable(quiet.server.getDescriptor()));
    EXPECT_GE(secondsSince(start), 0.09);
    EXPECT_GE(csp_Poller::mostDescriptors(), 1024u);
}

TEST(ServerCalls, TheRaisingCallsKeepThePlatformsCauseInTheException) {
    const csp_TcpSocket silent(csp_test::loopback(0));
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    try {
        socket.connectTo(csp_test::loopback(silent.name().getPort()));
        ADD_FAILURE() << "a connection to a port nobody listens on";
    } catch (const csp_NetworkException& refused) {
        EXPECT_EQ(refused.getSystemError().kind(), csp_SocketError::refused);
        EXPECT_EQ(refused.getSystemError().text(),
                  "connection refused: nothing listens on that port");
    }
    try {
        const csp_TcpSocket second(csp_test::loopback(silent.name().getPort()));
        ADD_FAILURE() << "a bind to a port in use";
    } catch (const csp_NetworkException& inUse) {
        EXPECT_EQ(inUse.getSystemError().kind(), csp_SocketError::addressInUse);
    }
    try {
        csp_NetworkException::throwError(csp_NetworkException::write_failed, "no call");
    } catch (const csp_NetworkException& noCall) {
        EXPECT_FALSE(noCall.getSystemError().failed());
    }
}

} // namespace
