#include "platform/platform_PosixSupport.h"
#include "platform/platform_Sockets.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

using wsa_posix::recordError;
using wsa_posix::recordSystemError;

typedef std::chrono::steady_clock Clock;

// Windows' linger record.
struct WindowsLinger {
    unsigned short onOff;
    unsigned short seconds;
};

std::atomic<int> startupCount{0};

int failWithSystemError() {
    recordSystemError();
    return SOCKET_ERROR;
}

int failWith(int windowsError) {
    recordError(windowsError);
    return SOCKET_ERROR;
}

// A host that starts other programs must not hand them the monitor connection.
void keepFromChildren(int descriptor) {
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<int>((left.count() + 999) / 1000);
}

void sleepUntil(Clock::time_point deadline) {
    int left;
    while ((left = millisecondsUntil(deadline)) > 0)
        ::poll(nullptr, 0, left);
}

// One descriptor's readiness, resumed after signals with the time that is left; a negative
// time waits without limit. Answers poll's result.
int pollOne(int descriptor, short events, short& happened, long microseconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(microseconds);
    for (;;) {
        pollfd entry = {descriptor, events, 0};
        const int timeout = microseconds < 0 ? -1 : millisecondsUntil(deadline);
        const int result = ::poll(&entry, 1, timeout);
        if (result < 0 && errno == EINTR)
            continue;
        happened = entry.revents;
        return result;
    }
}

bool hasPeer(int descriptor) {
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    return ::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
}

// A connection that ended (reset or closed by the peer) leaves the socket readable with
// the end of stream; a socket that never connected only reports a hang-up.
bool connectionHasEnded(int descriptor) {
    short happened = 0;
    return pollOne(descriptor, POLLIN, happened, 0) > 0 && (happened & (POLLIN | POLLERR)) != 0;
}

// The system reports every send on a stream that cannot send as a broken pipe; Windows
// tells a local shutdown, a connection the peer ended and one that never existed apart.
int brokenPipeError(int descriptor) {
    if (hasPeer(descriptor))
        return WSAESHUTDOWN;
    return connectionHasEnded(descriptor) ? WSAECONNRESET : WSAENOTCONN;
}

int copyAddressOut(const sockaddr_storage& found, socklen_t foundLength, sockaddr* address,
                   int* length) {
    if (address == nullptr || length == nullptr || *length < static_cast<int>(foundLength))
        return failWith(WSAEFAULT);
    std::memcpy(address, &found, foundLength);
    *length = static_cast<int>(foundLength);
    return 0;
}

bool isUnboundName(const sockaddr_storage& name) {
    if (name.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(name).sin_port == 0;
    if (name.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6&>(name).sin6_port == 0;
    return false;
}

int setLinger(int descriptor, int level, int option, const char* value, int length) {
    if (value == nullptr || length < static_cast<int>(sizeof(WindowsLinger)))
        return failWith(WSAEFAULT);
    WindowsLinger record;
    std::memcpy(&record, value, sizeof record);
    linger systemRecord;
    systemRecord.l_onoff = record.onOff;
    systemRecord.l_linger = record.seconds;
    if (::setsockopt(descriptor, level, option, &systemRecord, sizeof systemRecord) != 0)
        return failWithSystemError();
    return 0;
}

int getLinger(int descriptor, int level, int option, char* value, int* length) {
    if (value == nullptr || length == nullptr || *length < static_cast<int>(sizeof(WindowsLinger)))
        return failWith(WSAEFAULT);
    linger systemRecord;
    socklen_t systemLength = sizeof systemRecord;
    if (::getsockopt(descriptor, level, option, &systemRecord, &systemLength) != 0)
        return failWithSystemError();
    WindowsLinger record;
    record.onOff = systemRecord.l_onoff != 0 ? 1 : 0;
    record.seconds = static_cast<unsigned short>(systemRecord.l_linger);
    std::memcpy(value, &record, sizeof record);
    *length = sizeof record;
    return 0;
}

// Windows keeps the send and receive time-outs as a count of milliseconds.
int setTimeout(int descriptor, int level, int option, const char* value, int length) {
    std::uint32_t milliseconds = 0;
    if (value == nullptr || length < static_cast<int>(sizeof milliseconds))
        return failWith(WSAEFAULT);
    std::memcpy(&milliseconds, value, sizeof milliseconds);
    timeval systemRecord;
    systemRecord.tv_sec = static_cast<time_t>(milliseconds / 1000);
    systemRecord.tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000);
    if (::setsockopt(descriptor, level, option, &systemRecord, sizeof systemRecord) != 0)
        return failWithSystemError();
    return 0;
}

int getTimeout(int descriptor, int level, int option, char* value, int* length) {
    if (value == nullptr || length == nullptr || *length < static_cast<int>(sizeof(std::uint32_t)))
        return failWith(WSAEFAULT);
    timeval systemRecord;
    socklen_t systemLength = sizeof systemRecord;
    if (::getsockopt(descriptor, level, option, &systemRecord, &systemLength) != 0)
        return failWithSystemError();
    const std::uint32_t milliseconds =
        static_cast<std::uint32_t>(systemRecord.tv_sec * 1000 + systemRecord.tv_usec / 1000);
    std::memcpy(value, &milliseconds, sizeof milliseconds);
    *length = sizeof milliseconds;
    return 0;
}

bool isBlocking(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

// A blocking socket reports an expired send or receive time-out as "would block"; Windows
// reports it as a time-out.
int failWithTransferError(int descriptor) {
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && isBlocking(descriptor))
        return failWith(WSAETIMEDOUT);
    return failWithSystemError();
}

bool setBlocking(int descriptor, bool blocking) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return wanted == flags || ::fcntl(descriptor, F_SETFL, wanted) == 0;
}

// The outcome of a non-blocking connect that the system reports as under way.
int awaitConnection(int descriptor, long microseconds) {
    short happened = 0;
    const int ready = pollOne(descriptor, POLLOUT, happened, microseconds);
    if (ready < 0)
        return failWithSystemError();
    if (ready == 0)
        return failWith(WSAETIMEDOUT);
    // Through the stand-in: the option names in this file are Windows' numbers.
    int error = 0;
    int errorLength = sizeof error;
    if (wsa::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                        &errorLength) != 0)
        return SOCKET_ERROR;
    if (error != 0)
        return failWith(error);
    // A connect that another thread interrupted ends without an error, and without a peer.
    if (!hasPeer(descriptor))
        return failWith(WSAECONNABORTED);
    return 0;
}

} // namespace

namespace wsa {

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (data == nullptr)
        return WSAEFAULT;
    const WORD highest = MAKEWORD(2, 2);
    const bool aboveHighest = LOBYTE(versionRequested) > 2 ||
                              (LOBYTE(versionRequested) == 2 && HIBYTE(versionRequested) > 2);
    std::memset(data, 0, sizeof *data);
    data->wVersion = aboveHighest ? highest : versionRequested;
    data->wHighVersion = highest;
    std::strcpy(data->szDescription, "POSIX sockets");
    std::strcpy(data->szSystemStatus, "Running");
    ++startupCount;
    return 0;
}

int WSACleanup() {
    int count = startupCount.load();
    while (count > 0 && !startupCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0)
        return failWith(10093); // WSANOTINITIALISED
    return 0;
}

SOCKET socket(int family, int type, int protocol) {
    const int descriptor = ::socket(family, type, protocol);
    if (descriptor < 0)
        return failWithSystemError();
    keepFromChildren(descriptor);
    return descriptor;
}

int closesocket(SOCKET s) {
    // Not retried after a signal: the descriptor is released whatever close answers.
    if (::close(s) != 0)
        return failWithSystemError();
    return 0;
}

int bind(SOCKET s, const sockaddr* address, int length) {
    if (length < 0)
        return failWith(WSAEFAULT);
    if (::bind(s, address, static_cast<socklen_t>(length)) != 0)
        return failWithSystemError();
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (::listen(s, backlog) != 0)
        return failWithSystemError();
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, int* length) {
    sockaddr_storage peer;
    for (;;) {
        socklen_t peerLength = sizeof peer;
        const int descriptor = ::accept(s, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (descriptor < 0) {
            if (errno == EINTR)
                continue;
            return failWithSystemError();
        }
        keepFromChildren(descriptor);
        if (address != nullptr && length != nullptr) {
            const socklen_t copied = std::min(peerLength, static_cast<socklen_t>(*length));
            std::memcpy(address, &peer, copied);
            *length = static_cast<int>(copied);
        }
        return descriptor;
    }
}

int connect(SOCKET s, const sockaddr* address, int length) {
    if (length < 0)
        return failWith(WSAEFAULT);
    if (::connect(s, address, static_cast<socklen_t>(length)) == 0)
        return 0;
    if (errno != EINTR)
        return failWithSystemError();
    // Interrupted, the attempt goes on in the background: wait for its outcome.
    short happened = 0;
    if (pollOne(s, POLLOUT, happened, -1) < 0)
        return failWithSystemError();
    int error = 0;
    int errorLength = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLength) != 0)
        return SOCKET_ERROR;
    if (error != 0)
        return failWith(error);
    return 0;
}

int send(SOCKET s, const char* data, int length, int flags) {
    if (length < 0)
        return failWith(WSAEFAULT);
    for (;;) {
        const ssize_t sent = ::send(s, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno == EINTR)
            continue;
        if (errno == EPIPE)
            return failWith(brokenPipeError(s));
        return failWithTransferError(s);
    }
}

int recv(SOCKET s, char* buffer, int size, int flags) {
    if (size < 0)
        return failWith(WSAEFAULT);
    for (;;) {
        const ssize_t received = ::recv(s, buffer, static_cast<size_t>(size), flags);
        if (received >= 0)
            return static_cast<int>(received);
        if (errno != EINTR)
            return failWithTransferError(s);
    }
}

int recvfrom(SOCKET s, char* buffer, int size, int flags, sockaddr* from, int* fromLength) {
    if (size < 0)
        return failWith(WSAEFAULT);
    sockaddr_storage sender;
    for (;;) {
        socklen_t senderLength = sizeof sender;
        std::memset(&sender, 0, sizeof sender);
        const ssize_t received = ::recvfrom(s, buffer, static_cast<size_t>(size), flags,
                                            reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return failWithSystemError();
        }
        if (from != nullptr && fromLength != nullptr) {
            const socklen_t copied = std::min(senderLength, static_cast<socklen_t>(*fromLength));
            std::memcpy(from, &sender, copied);
            *fromLength = static_cast<int>(copied);
        }
        return static_cast<int>(received);
    }
}

int shutdown(SOCKET s, int how) {
    if (hasPeer(s)) {
        if (::shutdown(s, how) == 0)
            return 0;
        if (errno != ENOTCONN)
            return failWithSystemError();
    } else if (errno != ENOTCONN) {
        return failWithSystemError();
    }
    // No connection (any more). One that the peer ended shuts down quietly, as under Windows;
    // one that never existed is refused without calling the system, which would otherwise
    // mark the socket shut down and report it readable from then on.
    if (connectionHasEnded(s))
        return 0;
    return failWith(WSAENOTCONN);
}

int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    int systemLevel = 0;
    int systemOption = 0;
    if (!wsa_posix::systemOption(level, option, systemLevel, systemOption))
        return failWith(WSAENOPROTOOPT);
    if (wsa_posix::isLingerOption(level, option))
        return setLinger(s, systemLevel, systemOption, value, length);
    if (wsa_posix::isTimeoutOption(level, option))
        return setTimeout(s, systemLevel, systemOption, value, length);
    if (length < 0)
        return failWith(WSAEFAULT);
    if (::setsockopt(s, systemLevel, systemOption, value, static_cast<socklen_t>(length)) != 0)
        return failWithSystemError();
    return 0;
}

int getsockopt(SOCKET s, int level, int option, char* value, int* length) {
    int systemLevel = 0;
    int systemOption = 0;
    if (!wsa_posix::systemOption(level, option, systemLevel, systemOption))
        return failWith(WSAENOPROTOOPT);
    if (wsa_posix::isLingerOption(level, option))
        return getLinger(s, systemLevel, systemOption, value, length);
    if (wsa_posix::isTimeoutOption(level, option))
        return getTimeout(s, systemLevel, systemOption, value, length);
    if (length == nullptr || *length < 0)
        return failWith(WSAEFAULT);
    socklen_t systemLength = static_cast<socklen_t>(*length);
    if (::getsockopt(s, systemLevel, systemOption, value, &systemLength) != 0)
        return failWithSystemError();
    *length = static_cast<int>(systemLength);
    if (wsa_posix::isErrorOption(level, option) && systemLength >= sizeof(int)) {
        int error = 0;
        std::memcpy(&error, value, sizeof error);
        error = wsa_posix::windowsError(error);
        std::memcpy(value, &error, sizeof error);
    }
    return 0;
}

int getsockname(SOCKET s, sockaddr* address, int* length) {
    sockaddr_storage name;
    socklen_t nameLength = sizeof name;
    std::memset(&name, 0, sizeof name);
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&name), &nameLength) != 0)
        return failWithSystemError();
    // The system names an unbound socket with port 0; Windows refuses to name it.
    if (isUnboundName(name))
        return failWith(WSAEINVAL);
    return copyAddressOut(name, nameLength, address, length);
}

int getpeername(SOCKET s, sockaddr* address, int* length) {
    sockaddr_storage name;
    socklen_t nameLength = sizeof name;
    std::memset(&name, 0, sizeof name);
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&name), &nameLength) != 0)
        return failWithSystemError();
    return copyAddressOut(name, nameLength, address, length);
}

int waitUntilReadable(SOCKET s, long microseconds) {
    if (s < 0)
        return failWith(WSAENOTSOCK);
    if (microseconds < 0)
        microseconds = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(microseconds);
    short happened = 0;
    const int result = pollOne(s, POLLIN, happened, microseconds);
    if (result < 0)
        return failWithSystemError();
    if (result == 0)
        return 0;
    if (happened & POLLNVAL)
        return failWith(WSAENOTSOCK);
    if (happened & (POLLIN | POLLERR))
        return 1;
    // A bare hang-up is a stream socket that never connected: Windows reports nothing for it
    // and lets the time run out.
    sleepUntil(deadline);
    return 0;
}

int waitUntilWritable(SOCKET s, long microseconds) {
    if (s < 0)
        return failWith(WSAENOTSOCK);
    short happened = 0;
    const int result = pollOne(s, POLLOUT, happened, microseconds < 0 ? 0 : microseconds);
    if (result < 0)
        return failWithSystemError();
    if (result == 0)
        return 0;
    if (happened & POLLNVAL)
        return failWith(WSAENOTSOCK);
    return 1;
}

int waitUntilAnyReadable(const SOCKET* sockets, int count, bool* readable, long microseconds) {
    if (count < 0 || (count > 0 && (sockets == nullptr || readable == nullptr)))
        return failWith(WSAEFAULT);
    std::vector<pollfd> polled(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        polled[i] = pollfd{sockets[i], POLLIN, 0};
    const int timeout = microseconds <= 0 ? 0 : static_cast<int>((microseconds + 999) / 1000);
    const int result = ::poll(polled.data(), static_cast<nfds_t>(count), timeout);
    for (int i = 0; i < count; ++i)
        readable[i] = result > 0 && polled[i].revents != 0;
    if (result < 0)
        return errno == EINTR ? 0 : failWithSystemError();
    return result;
}

int mostSocketsPerWait() {
    return INT_MAX;
}

int setNonBlocking(SOCKET s, bool on) {
    if (!setBlocking(s, !on))
        return failWithSystemError();
    return 0;
}

int allowQuickRebind(SOCKET s) {
    const int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
}

int connectWithin(SOCKET s, const sockaddr* address, int length, long microseconds) {
    if (length < 0)
        return failWith(WSAEFAULT);
    if (!setBlocking(s, false))
        return failWithSystemError();
    int result = ::connect(s, address, static_cast<socklen_t>(length));
    if (result != 0) {
        if (errno == EINPROGRESS || errno == EINTR)
            result = awaitConnection(s, microseconds < 0 ? 0 : microseconds);
        else
            result = failWithSystemError();
    }
    const int error = WSAGetLastError();
    setBlocking(s, true);
    WSASetLastError(error);
    return result == 0 ? 0 : SOCKET_ERROR;
}

// The system's own shutdown, whatever state the connection is in: on a connect in progress it
// abandons the attempt, which the stand-in's shutdown (modelled on Windows) refuses to do.
int interruptSocket(SOCKET s) {
    if (::shutdown(s, SHUT_RDWR) != 0 && errno != ENOTCONN)
        return failWithSystemError();
    return 0;
}

} // namespace wsa
