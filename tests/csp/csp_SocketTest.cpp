#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp_TestSupport.h"
#include "platform/platform_Sockets.h"
#include "windows/UnderWine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <utility>

using csp_test::Connection;
using csp_test::printed;
using csp_test::readBytes;
using csp_test::secondsSince;
using csp_test::writeText;

namespace {

typedef std::chrono::steady_clock Clock;

template <class Call> csp_NetworkException raisedBy(Call call) {
    try {
        call();
    } catch (const csp_NetworkException& raised) {
        return raised;
    }
    ADD_FAILURE() << "no csp_NetworkException";
    return csp_NetworkException(-1, "");
}

template <class Call> omi_FatalError fatalErrorOf(Call call) {
    try {
        call();
    } catch (const omi_FatalError& raised) {
        return raised;
    }
    ADD_FAILURE() << "no omi_FatalError";
    return omi_FatalError{"", 0};
}

TEST(ConnectableSocket, AFailedReadOrWriteRefusesBothUntilTheNextConnect) {
    csp_TcpSocket listener = csp_test::loopbackListener();
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    socket.setEndOfStreamIsError(true);
    char buffer[16];

    const csp_NetworkException readFailure = raisedBy([&] { socket.read(buffer, sizeof buffer); });
    EXPECT_EQ(readFailure.getCode(), csp_NetworkException::read_failed);
    EXPECT_EQ(readFailure.Text(), "4:socket_error");
    EXPECT_STREQ(readFailure.SourceFile(), "csp/impl/csp_NetworkEx");
    EXPECT_FALSE(socket.isUsable());
    EXPECT_FALSE(socket.canRead());

    // Refused at once, without raising.
    EXPECT_EQ(socket.read(buffer, sizeof buffer), -1);
    EXPECT_EQ(socket.write("x", 1), -1);
    csp_SocketAddress from(0);
    EXPECT_EQ(socket.receiveFrom(from, buffer, 1), -1);

    socket.connectTo(csp_test::loopback(listener.name().getPort()));
    csp_TcpSocket server = listener.acceptConnection();
    EXPECT_TRUE(socket.isUsable());
    EXPECT_TRUE(socket.getEndOfStreamIsError());
    EXPECT_EQ(writeText(socket, "again"), 5);
    EXPECT_EQ(readBytes(server, 5), "again");
}

TEST(ConnectableSocket, AFailedWriteRaisesCodeFiveAndRefusesFurtherWrites) {
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    const csp_NetworkException raised = raisedBy([&] { writeText(socket, "lost"); });
    EXPECT_EQ(raised.getCode(), csp_NetworkException::write_failed);
    EXPECT_EQ(raised.Text(), "5:socket_error");
    EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_NetworkEx");
    EXPECT_EQ(writeText(socket, "lost"), -1);
    char buffer[4];
    EXPECT_EQ(socket.read(buffer, sizeof buffer), -1);
}

TEST(ConnectableSocket, OnlyTheFirstEndOfStreamInARowCountsAndAWriteRearmsIt) {
    Connection connection;
    csp_TcpSocket& client = connection.client;
    char buffer[16];

    // Half-closed: the server sends no more but still reads.
    connection.server.shutdownSocketSends();
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0);
    EXPECT_TRUE(client.getEndOfStreamSeen());
    EXPECT_FALSE(client.canRead());
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0);

    client.setEndOfStreamIsError(true);
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0); // a second end in a row never raises

    EXPECT_EQ(writeText(client, "hi"), 2);
    EXPECT_FALSE(client.getEndOfStreamSeen());
    EXPECT_EQ(readBytes(connection.server, 2), "hi");

    const csp_NetworkException raised = raisedBy([&] { client.read(buffer, sizeof buffer); });
    EXPECT_EQ(raised.getCode(), csp_NetworkException::eof_encountered);
    EXPECT_EQ(raised.Text(), "7:");
    EXPECT_TRUE(client.getEndOfStreamSeen());
    EXPECT_TRUE(client.isUsable()); // an end of stream is not a failure
    EXPECT_EQ(client.read(buffer, sizeof buffer), 0);
}

TEST(ConnectableSocket, StatusOperationsKeepOnlyTheOptionBitWhenCleared) {
    Connection connection;
    csp_TcpSocket& client = connection.client;
    client.setEndOfStreamIsError(true);
    connection.server.shutdownSocketSends();
    char buffer[4];
    EXPECT_THROW(client.read(buffer, sizeof buffer), csp_NetworkException);
    EXPECT_TRUE(client.hasStatus(1 | 4));
    EXPECT_FALSE(client.hasStatus(1 | 2));
    client.clearStatus();
    EXPECT_TRUE(client.hasStatus(4));
    EXPECT_FALSE(client.hasStatus(1));
    client.setEndOfStreamIsError(false);
    EXPECT_FALSE(client.getEndOfStreamIsError());
    EXPECT_TRUE(client.hasStatus(0));
}

TEST(ConnectableSocket, ConnectedOnlyWhileThePlatformKnowsAPeer) {
    Connection connection;
    EXPECT_TRUE(connection.client.isConnected());
    EXPECT_EQ(connection.client.peerAddress(),
              csp_test::loopback(connection.listener.name().getPort()));

    csp_TcpSocket never(csp_TcpSocket::doNotBind);
    EXPECT_FALSE(never.isConnected());
    const csp_NetworkException raised = raisedBy([&] { never.peerAddress(); });
    EXPECT_EQ(raised.getCode(), csp_NetworkException::system_call_failure);
    EXPECT_EQ(raised.Text(), "Error in peerAddress");
    EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_ConnectableSocket");

    connection.client.close();
    EXPECT_FALSE(connection.client.isConnected());
}

TEST(ConnectableSocket, RefusedConnectRaisesCodeEightWithThePlatformsRefusal) {
    // Bound but not listening: a connection to it is refused.
    const csp_TcpSocket silent(csp_test::loopback(0));
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    const csp_NetworkException raised =
        raisedBy([&] { socket.connectTo(csp_test::loopback(silent.name().getPort())); });
    EXPECT_EQ(wsa::WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(raised.getCode(), csp_NetworkException::system_call_failure);
    EXPECT_EQ(raised.Text(), "Error in csp_ConnectableSocket::connectTo");
    EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_ConnectableSocket");
}

TEST(ConnectableSocket, ReceiveFromReadsAConnectionAndLeavesTheStatusAloneOnFailure) {
    Connection connection;
    writeText(connection.server, "datagram-ish");
    csp_SocketAddress from(0);
    char buffer[32];
    EXPECT_EQ(connection.client.receiveFrom(from, buffer, sizeof buffer), 12);
    EXPECT_EQ(std::string(buffer, 12), "datagram-ish");

    csp_TcpSocket never(csp_TcpSocket::doNotBind);
    const csp_NetworkException raised = raisedBy([&] { never.receiveFrom(from, buffer, 4); });
    EXPECT_EQ(raised.Text(), "Error in receive from");
    EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_ConnectableSocket");
    EXPECT_TRUE(never.isUsable());
}

TEST(Socket, DisconnectEndsAsSoonAsThePeerClosesAfterDrainingWhatItSent) {
    Connection connection;
    const std::string pending(5000, 'p');
    writeText(connection.server, pending);
    std::thread peer([&] {
        // The client's end of sending arrives as an end of stream; then close.
        readBytes(connection.server, 1);
        connection.server.close();
    });
    const Clock::time_point start = Clock::now();
    connection.client.disconnect();
    peer.join();
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_TRUE(connection.client.isOpen()); // disconnect never closes
}

TEST(Socket, DisconnectEndsNormallyWhenThePeerResetBeforehand) {
    Connection connection;
    connection.resetFromServer();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Clock::time_point start = Clock::now();
    EXPECT_NO_THROW(connection.client.disconnect());
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST(Socket, DisconnectEndsNormallyWhenThePeerResetsDuringTheDrain) {
    Connection connection;
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        connection.resetFromServer();
    });
    const Clock::time_point start = Clock::now();
    EXPECT_NO_THROW(connection.client.disconnect());
    peer.join();
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST(Socket, DisconnectGivesASilentPeerFiveSeconds) {
    Connection connection;
    const Clock::time_point start = Clock::now();
    EXPECT_NO_THROW(connection.client.disconnect());
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 4.9);
    EXPECT_LT(waited, 7.0);
}

TEST(Socket, DisconnectWithoutAConnectionThrowsTheFatalShutdownError) {
    csp_TcpSocket closed(csp_TcpSocket::doNotBind);
    closed.close();
    const omi_FatalError notOpen = fatalErrorOf([&] { closed.disconnect(); });
    EXPECT_STREQ(notOpen.callName, "shutdown");
    EXPECT_EQ(notOpen.errorCode, WSAENOTSOCK);

    csp_TcpSocket never(csp_TcpSocket::doNotBind);
    const omi_FatalError notConnected = fatalErrorOf([&] { never.disconnect(); });
    EXPECT_STREQ(notConnected.callName, "shutdown");
    EXPECT_EQ(notConnected.errorCode, WSAENOTCONN);
}

TEST(Socket, SendingToAPeerThatHasGoneFailsWithoutKillingTheProcess) {
#ifdef SIGPIPE
    // The default action of the signal would end this test program.
    void (*previous)(int) = std::signal(SIGPIPE, SIG_DFL);
#endif
    const std::string chunk(4096, 'c');
    {
        // The first send is accepted and answered with a reset; later ones fail, first as
        // reset and then as a broken pipe.
        Connection connection;
        connection.server.close();
        int failures = 0;
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (wsa::send(connection.client.getDescriptor(), chunk.data(),
                          static_cast<int>(chunk.size()), 0) == SOCKET_ERROR)
                ++failures;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_GE(failures, 2);
    }
    {
        Connection connection;
        connection.client.shutdownSocketSends();
        const csp_NetworkException raised = raisedBy([&] { writeText(connection.client, chunk); });
        EXPECT_EQ(raised.getCode(), csp_NetworkException::write_failed);
        EXPECT_EQ(wsa::WSAGetLastError(), WSAESHUTDOWN);
        EXPECT_EQ(writeText(connection.client, chunk), -1);
    }
#ifdef SIGPIPE
    std::signal(SIGPIPE, previous);
#endif
}

TEST(TcpSocket, AcceptOnASocketThatDoesNotListenReportsOnTheConsole) {
    const csp_TcpSocket notListening(csp_test::loopback(0));
    csp_test::CapturedConsole console;
    const csp_TcpSocket accepted = notListening.acceptConnection();
    EXPECT_FALSE(accepted.isOpen());
    EXPECT_EQ(console.text(), "accept error: " + std::to_string(WSAEINVAL) + "\n");
}

TEST(TcpSocket, AnAcceptedConnectionSurvivesAssignmentFromTheTemporary) {
    csp_TcpSocket listener = csp_test::loopbackListener();
    csp_TcpSocket client = csp_test::connectedTo(listener);
    csp_TcpSocket server(csp_TcpSocket::doNotBind);
    const int previous = server.getDescriptor();

    server = listener.acceptConnection();
    ASSERT_TRUE(server.isOpen());
    EXPECT_NE(server.getDescriptor(), previous);

    // The socket the assignment replaced was let go of, not leaked.
    csp_TcpSocket replaced(previous);
    replaced.setToAutoClose(false);
    EXPECT_THROW(replaced.getSocketType(), csp_NetworkException);

    // Whatever the host opens next must not land on the connection's descriptor.
    const csp_TcpSocket opened(csp_TcpSocket::doNotBind);
    EXPECT_NE(opened.getDescriptor(), server.getDescriptor());
    EXPECT_EQ(writeText(server, "still here"), 10);
    EXPECT_EQ(readBytes(client, 10), "still here");
    EXPECT_TRUE(server.isConnected());
}

TEST(TcpSocket, MovingHandsTheDescriptorOverAndCopiesShareIt) {
    csp_TcpSocket original(csp_TcpSocket::bindToAnyPort);
    const int descriptor = original.getDescriptor();
    const int port = original.name().getPort();

    csp_TcpSocket moved(std::move(original));
    EXPECT_FALSE(original.isOpen());
    EXPECT_EQ(moved.getDescriptor(), descriptor);
    EXPECT_EQ(moved.name().getPort(), port);

    {
        csp_TcpSocket copy(moved);
        EXPECT_EQ(copy, moved);
        copy.setToAutoClose(false);
    }
    EXPECT_EQ(moved.name().getPort(), port); // the copy went without closing it

    csp_TcpSocket assigned(-1);
    assigned = moved;
    EXPECT_EQ(assigned.getDescriptor(), descriptor);
    assigned.setToAutoClose(false);

    csp_TcpSocket target(-1);
    target = std::move(moved);
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(target.name().getPort(), port);
}

TEST(Socket, WithoutAutoCloseDestructionLeavesThePlatformSocketOpen) {
    int descriptor = -1;
    int port = 0;
    {
        csp_TcpSocket socket(csp_TcpSocket::bindToAnyPort);
        socket.setToAutoClose(false);
        EXPECT_FALSE(socket.getAutoClose());
        descriptor = socket.getDescriptor();
        port = socket.name().getPort();
    }
    csp_TcpSocket adopted(descriptor);
    EXPECT_TRUE(adopted.getAutoClose());
    EXPECT_EQ(adopted.name().getPort(), port);
}

TEST(Socket, NameReportsTheAssignedPortAndRefusesAnUnboundSocket) {
    const csp_TcpSocket bound(csp_TcpSocket::bindToAnyPort);
    const csp_SocketAddress local = bound.name();
    EXPECT_FALSE(local.getIpAddress().isDefined());
    EXPECT_NE(local.getPort(), 0);

    const csp_TcpSocket unbound(csp_TcpSocket::doNotBind);
    const csp_NetworkException raised = raisedBy([&] { unbound.name(); });
    EXPECT_EQ(raised.getCode(), csp_NetworkException::system_call_failure);
    EXPECT_EQ(raised.Text(), "Error in csp_Socket::name");
    EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_Socket");
}

TEST(Socket, BindToAnAddressInUseRaisesFromTheSocketSource) {
    const csp_TcpSocket listener = csp_test::loopbackListener();
    const csp_SocketAddress taken = csp_test::loopback(listener.name().getPort());
    const csp_NetworkException raised = raisedBy([&] { csp_TcpSocket second(taken); });
    EXPECT_EQ(raised.getCode(), csp_NetworkException::system_call_failure);
    EXPECT_EQ(raised.Text(), "Error in csp_Socket::bind");
    EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_Socket");
}

TEST(Socket, OptionsReadBackWhatWasSet) {
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);

    // Distinct patterns, so that options translated onto each other would show.
    const bool patterns[][2] = {{true, false}, {false, true}, {true, true}, {false, false}};
    for (const auto& pattern : patterns) {
        socket.setKeepAlives(pattern[0]);
        socket.setReuseAddress(pattern[1]);
        EXPECT_EQ(socket.getKeepAlives(), pattern[0]);
        EXPECT_EQ(socket.getReuseAddress(), pattern[1]);
    }

    // Wine reports SO_DONTROUTE as set whatever was set.
    if (!RunningUnderWine()) {
        socket.setRouting(false);
        EXPECT_EQ(socket.getIntOption(SO_DONTROUTE), 1);
        EXPECT_FALSE(socket.getRouting());
        socket.setRouting(true);
        EXPECT_EQ(socket.getIntOption(SO_DONTROUTE), 0);
        EXPECT_TRUE(socket.getRouting());
    }

    // Some systems report more buffer than was asked for (Linux doubles it).
    socket.setReceiveBufferSize(20000);
    socket.setSendBufferSize(40000);
    EXPECT_GE(socket.getReceiveBufferSize(), 20000);
    EXPECT_LT(socket.getReceiveBufferSize(), 40000 * 2);
    EXPECT_GE(socket.getSendBufferSize(), 40000);

    EXPECT_EQ(socket.getSocketType(), SOCK_STREAM);
    EXPECT_EQ(socket.getPendingError(), 0);

    int seconds = -1;
    socket.setLinger(true, 7);
    EXPECT_TRUE(socket.getLinger(seconds));
    EXPECT_EQ(seconds, 7);
    socket.setLinger(true, 70000); // the record keeps the low 16 bits
    EXPECT_TRUE(socket.getLinger(seconds));
    EXPECT_EQ(seconds, 4464);
    socket.setLinger(false, 0);
    EXPECT_FALSE(socket.getLinger(seconds));
}

TEST(Socket, OptionsOnASocketThatIsNotOpenRaiseWithTheirOwnTexts) {
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    socket.close();
    const csp_NetworkException set = raisedBy([&] { socket.setKeepAlives(true); });
    EXPECT_EQ(set.Text(), "Error in csp_Socket::setOption");
    EXPECT_STREQ(set.SourceFile(), "csp/impl/csp_Socket");
    const csp_NetworkException get = raisedBy([&] { socket.getKeepAlives(); });
    EXPECT_EQ(get.Text(), "Error in csp_Socket::getOption()");
    const csp_NetworkException shutdown = raisedBy([&] { socket.shutdown(); });
    EXPECT_EQ(shutdown.Text(), "Error in csp_Socket::shutdown");
}

TEST(Socket, ResetReplacesTheDescriptorAndKeepsTheStatus) {
    csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    char buffer[4];
    EXPECT_THROW(socket.read(buffer, sizeof buffer), csp_NetworkException);
    socket.reset();
    EXPECT_TRUE(socket.isOpen());
    EXPECT_EQ(socket.getSocketType(), SOCK_STREAM);
    EXPECT_EQ(socket.read(buffer, sizeof buffer), -1); // still refused
    socket.close();
    socket.close(); // harmless
    EXPECT_FALSE(socket.isOpen());
}

TEST(Socket, PrintedForms) {
    Connection connection;
    const int descriptor = connection.client.getDescriptor();
    const std::string number = std::to_string(descriptor);
    const std::string port = std::to_string(connection.listener.name().getPort());

    EXPECT_EQ(printed(static_cast<const csp_Socket&>(connection.client)),
              "Socket( " + number + " )");
    EXPECT_EQ(printed(connection.client), "ConnectableSocket( " + number +
                                              ", SocketAddress( IpAddress( 127.0.0.1 ), port " +
                                              port + " ) )");
    const csp_TcpSocket never(csp_TcpSocket::doNotBind);
    EXPECT_EQ(printed(never), "ConnectableSocket( " + std::to_string(never.getDescriptor()) +
                                  ", connection is not defined )");
    connection.client.close();
    EXPECT_EQ(printed(static_cast<const csp_Socket&>(connection.client)),
              "Socket( Socket is not open )");
    EXPECT_EQ(printed(connection.client),
              "ConnectableSocket( connection is not currently opened )");
}

} // namespace
