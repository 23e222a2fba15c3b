#include "platform/platform_Sockets.h"

#include <chrono>
#include <mutex>
#include <set>

namespace {

typedef std::chrono::steady_clock Clock;

// How long one select waits before looking whether the socket has been interrupted.
const long sliceMicroseconds = 50000;

// Windows wakes no select when another thread shuts the socket down, so the sockets that
// were interrupted are remembered here until they are closed.
std::mutex interruptedLock;

std::set<SOCKET>& interruptedSockets() {
    static std::set<SOCKET>* const sockets = new std::set<SOCKET>;
    return *sockets;
}

bool isInterrupted(SOCKET s) {
    std::lock_guard<std::mutex> lock(interruptedLock);
    return interruptedSockets().count(s) != 0;
}

long microsecondsUntil(Clock::time_point deadline) {
    const long long left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<long>(left) : 0;
}

timeval timeoutOf(long microseconds) {
    timeval timeout;
    timeout.tv_sec = microseconds / 1000000;
    timeout.tv_usec = microseconds % 1000000;
    return timeout;
}

// A blocking send or receive is an overlapped request that Windows waits for; cancelling
// the socket's requests ends the wait. Looked up at run time: older systems lack it.
void cancelPendingRequests(SOCKET s) {
    typedef BOOL(WINAPI * CancelIoEx)(HANDLE, LPOVERLAPPED);
    static const CancelIoEx cancel = reinterpret_cast<CancelIoEx>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIoEx")));
    if (cancel != nullptr)
        cancel(reinterpret_cast<HANDLE>(s), nullptr);
}

// The outcome of a non-blocking connect under way: 0, or the error to report.
int awaitConnection(SOCKET s, long microseconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(microseconds);
    for (;;) {
        if (isInterrupted(s))
            return WSAECONNABORTED;
        const long left = microsecondsUntil(deadline);
        if (left == 0)
            return WSAETIMEDOUT;
        fd_set writeSet;
        fd_set errorSet;
        FD_ZERO(&writeSet);
        FD_ZERO(&errorSet);
        FD_SET(s, &writeSet);
        FD_SET(s, &errorSet);
        timeval timeout = timeoutOf(left < sliceMicroseconds ? left : sliceMicroseconds);
        const int ready = ::select(0, nullptr, &writeSet, &errorSet, &timeout);
        if (ready == SOCKET_ERROR)
            return ::WSAGetLastError();
        if (ready == 0)
            continue;
        if (FD_ISSET(s, &errorSet)) {
            int pending = 0;
            int pendingLength = sizeof pending;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending),
                         &pendingLength);
            return pending != 0 ? pending : WSAECONNREFUSED;
        }
        return 0;
    }
}

// In slices, so that an interruption from another thread is seen while the wait lasts.
int waitUntilReady(SOCKET s, long microseconds, bool forWriting) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::microseconds(microseconds > 0 ? microseconds : 0);
    for (;;) {
        if (isInterrupted(s))
            return 1;
        const long left = microsecondsUntil(deadline);
        fd_set waited;
        FD_ZERO(&waited);
        FD_SET(s, &waited);
        timeval timeout = timeoutOf(left < sliceMicroseconds ? left : sliceMicroseconds);
        const int ready = forWriting ? ::select(0, nullptr, &waited, nullptr, &timeout)
                                     : ::select(0, &waited, nullptr, nullptr, &timeout);
        if (ready != 0 || left <= sliceMicroseconds)
            return ready;
    }
}

} // namespace

namespace wsa {

int closesocket(SOCKET s) {
    {
        std::lock_guard<std::mutex> lock(interruptedLock);
        interruptedSockets().erase(s);
    }
    return ::closesocket(s);
}

int waitUntilReadable(SOCKET s, long microseconds) {
    return waitUntilReady(s, microseconds, false);
}

int waitUntilWritable(SOCKET s, long microseconds) {
    return waitUntilReady(s, microseconds, true);
}

int setNonBlocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &mode);
}

int allowQuickRebind(SOCKET) {
    return 0;
}

int connectWithin(SOCKET s, const sockaddr* address, int length, long microseconds) {
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return SOCKET_ERROR;
    int error = 0;
    if (::connect(s, address, length) == SOCKET_ERROR) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            error = awaitConnection(s, microseconds > 0 ? microseconds : 0);
    }
    u_long blocking = 0;
    ::ioctlsocket(s, FIONBIO, &blocking);
    if (error != 0) {
        ::WSASetLastError(error);
        return SOCKET_ERROR;
    }
    return 0;
}

int interruptSocket(SOCKET s) {
    {
        std::lock_guard<std::mutex> lock(interruptedLock);
        interruptedSockets().insert(s);
    }
    const int result = ::shutdown(s, SD_BOTH);
    cancelPendingRequests(s);
    return result;
}

} // namespace wsa
