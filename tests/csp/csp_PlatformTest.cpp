#include "csp/csp_TcpSocket.h"
#include "csp_TestSupport.h"
#include "platform/platform_Sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using csp_test::Connection;
using csp_test::secondsSince;
using csp_test::writeText;

namespace {

typedef std::chrono::steady_clock Clock;

TEST(Platform, ErrorNumbersAreWindowsOwn) {
    csp_TcpSocket never(csp_TcpSocket::doNotBind);
    char buffer[4];
    EXPECT_EQ(wsa::recv(never.getDescriptor(), buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(wsa::WSAGetLastError(), WSAENOTCONN);

    sockaddr_in name;
    int length = sizeof name;
    EXPECT_EQ(wsa::getsockname(never.getDescriptor(), reinterpret_cast<sockaddr*>(&name), &length),
              SOCKET_ERROR);
    EXPECT_EQ(wsa::WSAGetLastError(), WSAEINVAL);

    EXPECT_EQ(wsa::waitUntilReadable(INVALID_SOCKET, 1000), SOCKET_ERROR);
    EXPECT_EQ(wsa::WSAGetLastError(), WSAENOTSOCK);

    EXPECT_EQ(wsa::setsockopt(never.getDescriptor(), SOL_SOCKET, 0x7777, "", 0), SOCKET_ERROR);
    EXPECT_EQ(wsa::WSAGetLastError(), WSAENOPROTOOPT);

    wsa::WSASetLastError(12345);
    EXPECT_EQ(wsa::WSAGetLastError(), 12345);
}

TEST(Platform, TheLastErrorBelongsToTheCallingThread) {
    csp_TcpSocket never(csp_TcpSocket::doNotBind);
    // Windows' thread library overwrites the caller's last error when it starts and joins a
    // thread: start the other thread first and read the error before the join.
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!go)
            std::this_thread::yield();
        wsa::WSASetLastError(WSAETIMEDOUT);
        done = true;
    });
    char buffer[4];
    EXPECT_EQ(wsa::recv(never.getDescriptor(), buffer, sizeof buffer, 0), SOCKET_ERROR);
    go = true;
    while (!done)
        std::this_thread::yield();
    EXPECT_EQ(wsa::WSAGetLastError(), WSAENOTCONN);
    other.join();
}

TEST(Platform, StartupGrantsVersionTwoAsked) {
    wsa::WSADATA data;
    ASSERT_EQ(wsa::WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(LOBYTE(data.wVersion), 2);
    EXPECT_EQ(HIBYTE(data.wVersion), 0);
    EXPECT_EQ(wsa::WSACleanup(), 0);
}

TEST(Platform, WaitReportsDataAndTimesOutOtherwise) {
    Connection connection;
    const int client = connection.client.getDescriptor();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(wsa::waitUntilReadable(client, 60000), 0);
    EXPECT_GE(secondsSince(start), 0.055);
    // The time-out is the caller's: a second wait waits as long again.
    const Clock::time_point again = Clock::now();
    EXPECT_EQ(wsa::waitUntilReadable(client, 60000), 0);
    EXPECT_GE(secondsSince(again), 0.055);

    writeText(connection.server, "x");
    EXPECT_EQ(wsa::waitUntilReadable(client, 2000000), 1);
}

TEST(Platform, AnUnconnectedSocketIsNeverReadable) {
    csp_TcpSocket never(csp_TcpSocket::doNotBind);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(wsa::waitUntilReadable(never.getDescriptor(), 80000), 0);
    EXPECT_GE(secondsSince(start), 0.075);

    // Not even after a refused shutdown of both directions.
    EXPECT_EQ(wsa::shutdown(never.getDescriptor(), SD_BOTH), SOCKET_ERROR);
    EXPECT_EQ(wsa::WSAGetLastError(), WSAENOTCONN);
    EXPECT_EQ(wsa::waitUntilReadable(never.getDescriptor(), 20000), 0);
}

TEST(Platform, AConnectionThePeerResetShutsDownQuietly) {
    Connection connection;
    connection.resetFromServer();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(wsa::shutdown(connection.client.getDescriptor(), SD_SEND), 0);
}

} // namespace
