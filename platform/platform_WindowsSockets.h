#ifndef PLATFORM_PLATFORM_WINDOWSSOCKETS_H
#define PLATFORM_PLATFORM_WINDOWSSOCKETS_H

// Windows: the real Windows Sockets, named through namespace wsa like the POSIX stand-in.
// Include platform/platform_Sockets.h rather than this header.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "base/base_Export.h"

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

// Closes the socket and forgets that it was interrupted (Windows reuses socket values).
QORKEL_API int closesocket(SOCKET s);

// Waits in short slices, so that a socket that another thread interrupts reads as readable
// at once: the read that follows fails. Windows' select copes with any socket value.
QORKEL_API int waitUntilReadable(SOCKET s, long microseconds);
// The same for room to send; an interrupted socket reads as writable (the send fails).
QORKEL_API int waitUntilWritable(SOCKET s, long microseconds);

// One select over many sockets, up to mostSocketsPerWait() of them; sets readable[i] for each
// one that is readable, has ended or has failed. Answers how many are set, 0 on time-out, or
// SOCKET_ERROR. Without sockets it waits out the time, as select would not.
QORKEL_API int waitUntilAnyReadable(const SOCKET* sockets, int count, bool* readable,
                                    long microseconds);
QORKEL_API int mostSocketsPerWait();

QORKEL_API int setNonBlocking(SOCKET s, bool on);
// Nothing to do: Windows gives a lingering port back anyway, and its SO_REUSEADDR would let
// two listeners share one.
QORKEL_API int allowQuickRebind(SOCKET s);

// The attempt runs non-blocking, so that select can bound it; the outcome is read back from
// the socket's pending error. An interrupt from another thread ends it at once.
QORKEL_API int connectWithin(SOCKET s, const sockaddr* address, int length, long microseconds);

// Shuts the socket down in both directions, cancels the send or receive that another thread
// is blocked in, and marks the socket, so that waits on it end at once until it is closed.
QORKEL_API int interruptSocket(SOCKET s);

} // namespace wsa

#endif
