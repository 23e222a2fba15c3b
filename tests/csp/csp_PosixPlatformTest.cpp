// What only a POSIX system can get wrong: descriptor numbers, signals.
#if !defined(_WIN32)

#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp_TestSupport.h"
#include "platform/platform_Sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <thread>
#include <unistd.h>

using csp_test::Connection;
using csp_test::readBytes;
using csp_test::writeText;

namespace {

// A copy of the descriptor numbered above what select can handle, or -1.
int duplicateAboveSelectLimit(int descriptor) {
    const rlim_t wanted = FD_SETSIZE + 64;
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < wanted && limit.rlim_max >= wanted) {
        limit.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return fcntl(descriptor, F_DUPFD, FD_SETSIZE + 10);
}

TEST(PosixPlatform, ADescriptorAboveTheSelectLimitIsWaitedOnCorrectly) {
    Connection connection;
    const int high = duplicateAboveSelectLimit(connection.client.getDescriptor());
    if (high < 0)
        GTEST_SKIP() << "no descriptor above FD_SETSIZE available";
    ASSERT_GE(high, FD_SETSIZE);
    csp_TcpSocket client(high);

    EXPECT_EQ(wsa::waitUntilReadable(high, 30000), 0);
    writeText(connection.server, "over");
    EXPECT_EQ(wsa::waitUntilReadable(high, 2000000), 1);
    EXPECT_EQ(readBytes(client, 4), "over");

    // The drain waits on the same descriptor.
    connection.server.close();
    EXPECT_NO_THROW(client.disconnect());
}

extern "C" void ignoreSignal(int) {}

// Interrupts the given thread with SIGUSR1, installed without automatic restart, and
// sends data on the peer afterwards.
class InterruptingPeer {
public:
    InterruptingPeer(csp_TcpSocket& peer, pthread_t target) {
        struct sigaction action = {};
        action.sa_handler = ignoreSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous);
        thread = std::thread([&peer, target] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            writeText(peer, "late");
        });
    }
    ~InterruptingPeer() {
        thread.join();
        sigaction(SIGUSR1, &previous, nullptr);
    }

private:
    struct sigaction previous;
    std::thread thread;
};

TEST(PosixPlatform, WaitsAndReadsInterruptedByASignalAreResumed) {
    {
        Connection connection;
        InterruptingPeer peer(connection.server, pthread_self());
        EXPECT_EQ(wsa::waitUntilReadable(connection.client.getDescriptor(), 3000000), 1);
    }
    {
        Connection connection;
        InterruptingPeer peer(connection.server, pthread_self());
        char buffer[8];
        EXPECT_EQ(connection.client.read(buffer, sizeof buffer), 4);
    }
}

TEST(PosixPlatform, AConstructorWhoseBindFailsClosesItsSocket) {
    const csp_TcpSocket listener = csp_test::loopbackListener();
    const csp_SocketAddress taken = csp_test::loopback(listener.name().getPort());
    const int nextFree = dup(0);
    close(nextFree);
    EXPECT_THROW(csp_TcpSocket second(taken), csp_NetworkException);
    // The system hands out the lowest free number: the failed socket's is free again.
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, nextFree);
}

TEST(PosixPlatform, SocketsAreNotInheritedByStartedPrograms) {
    const csp_TcpSocket socket(csp_TcpSocket::doNotBind);
    EXPECT_NE(fcntl(socket.getDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
}

} // namespace

#endif
