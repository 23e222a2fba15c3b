#ifndef PLATFORM_PLATFORM_WINDOWSSOCKETS_H
#define PLATFORM_PLATFORM_WINDOWSSOCKETS_H

// Windows: the real Windows Sockets, named through namespace wsa like the POSIX stand-in.
// Include platform/platform_Sockets.h rather than this header.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

namespace wsa {

using ::SOCKET;
using ::WORD;
using ::WSADATA;

using ::WSACleanup;
using ::WSAGetLastError;
using ::WSASetLastError;
using ::WSAStartup;

using ::accept;
using ::bind;
using ::closesocket;
using ::connect;
using ::getpeername;
using ::getsockname;
using ::getsockopt;
using ::listen;
using ::recv;
using ::recvfrom;
using ::send;
using ::setsockopt;
using ::shutdown;
using ::socket;

using ::gethostbyaddr;
using ::gethostbyname;
using ::gethostname;
using ::inet_ntoa;

// Windows' select copes with any socket value and restarts nothing, so one call suffices.
inline int waitUntilReadable(SOCKET s, long microseconds) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval timeout;
    timeout.tv_sec = microseconds / 1000000;
    timeout.tv_usec = microseconds % 1000000;
    return ::select(0, &readSet, nullptr, nullptr, &timeout);
}

// The attempt runs non-blocking, so that select can bound it; the outcome is read back from
// the socket's pending error.
inline int connectWithin(SOCKET s, const sockaddr* address, int length, long microseconds) {
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return SOCKET_ERROR;
    int result = ::connect(s, address, length);
    int error = result == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    if (result == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
        fd_set writeSet;
        fd_set errorSet;
        FD_ZERO(&writeSet);
        FD_ZERO(&errorSet);
        FD_SET(s, &writeSet);
        FD_SET(s, &errorSet);
        timeval timeout;
        timeout.tv_sec = microseconds / 1000000;
        timeout.tv_usec = microseconds % 1000000;
        const int ready = ::select(0, nullptr, &writeSet, &errorSet, &timeout);
        if (ready == 0) {
            error = WSAETIMEDOUT;
        } else if (ready == SOCKET_ERROR) {
            error = ::WSAGetLastError();
        } else if (FD_ISSET(s, &errorSet)) {
            int pending = 0;
            int pendingLength = sizeof pending;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending),
                         &pendingLength);
            error = pending != 0 ? pending : WSAECONNREFUSED;
        } else {
            result = 0;
            error = 0;
        }
    }
    u_long blocking = 0;
    ::ioctlsocket(s, FIONBIO, &blocking);
    if (result == SOCKET_ERROR || error != 0) {
        ::WSASetLastError(error);
        return SOCKET_ERROR;
    }
    return 0;
}

// Windows wakes a blocked send or receive on a shut-down socket; a connect in progress runs
// to the bound its caller gave it.
inline int interruptSocket(SOCKET s) {
    return ::shutdown(s, SD_BOTH);
}

} // namespace wsa

#endif
