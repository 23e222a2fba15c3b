#ifndef PLATFORM_PLATFORM_SOCKETS_H
#define PLATFORM_PLATFORM_SOCKETS_H

// The socket API the library is written against: Windows Sockets 2. Every call goes
// through namespace wsa, which on Windows names the real functions and on POSIX holds a
// stand-in that behaves as Windows does where the library relies on it (error numbers,
// option numbering, no SIGPIPE, resumed calls, thread-safe host lookups).
//
// Common to both platforms:
//   wsa::SOCKET, wsa::WSADATA, wsa::WORD
//   wsa::WSAStartup, WSACleanup, WSAGetLastError, WSASetLastError
//   wsa::socket, closesocket, bind, listen, accept, connect, send, recv, recvfrom, shutdown,
//   setsockopt, getsockopt, getsockname, getpeername
//   wsa::gethostbyname, gethostbyaddr, gethostname, inet_ntoa
//   wsa::waitUntilReadable(socket, microseconds): 1 readable, 0 timed out, SOCKET_ERROR
//   wsa::waitUntilWritable(socket, microseconds): 1 writable, 0 timed out, SOCKET_ERROR
//   wsa::waitUntilAnyReadable(sockets, count, readable, microseconds): one wait over many
//   wsa::mostSocketsPerWait(): how many sockets one such wait takes
//   wsa::connectWithin(socket, address, length, microseconds): connect with a time limit
//   wsa::interruptSocket(socket): wakes the calls other threads are blocked in on it
//   wsa::setNonBlocking(socket, on): calls on it return at once instead of waiting
//   wsa::allowQuickRebind(socket): a listener may take a port whose old connections linger
//   the macros INVALID_SOCKET, SOCKET_ERROR, SD_*, WSAE*, SOL_SOCKET and SO_* (Windows values)
// The byte-order conversions (htonl, ntohl, htons, ntohs) and inet_addr are the system's own,
// called unqualified: some systems define them as macros.

#if defined(_WIN32)
#include "platform/platform_WindowsSockets.h"
#else
#include "platform/platform_PosixSockets.h"
#endif

#endif
