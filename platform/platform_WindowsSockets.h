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

} // namespace wsa

#endif
