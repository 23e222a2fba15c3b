#ifndef PLATFORM_PLATFORM_POSIXSOCKETS_H
#define PLATFORM_PLATFORM_POSIXSOCKETS_H

// POSIX: a stand-in for the part of Windows Sockets the library calls, under Windows'
// names and signatures, in namespace wsa so that it never collides with the system's own
// functions of the same name. Include platform/platform_Sockets.h rather than this header.

#include "base/base_Export.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// Windows' numbering of the socket-level options. The stand-in's setsockopt and getsockopt
// translate them to the system's own; the system's values are not visible past this point.
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_SNDTIMEO
#undef SO_RCVTIMEO
#undef SO_ERROR
#undef SO_TYPE
#define SOL_SOCKET 0xffff
#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDTIMEO 0x1005
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008

#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

#ifndef MAKEWORD
#define MAKEWORD(low, high)                                                                        \
    (static_cast<unsigned short>((static_cast<unsigned>(low) & 0xff) |                             \
                                 ((static_cast<unsigned>(high) & 0xff) << 8)))
#endif
#ifndef LOBYTE
#define LOBYTE(word) (static_cast<unsigned char>(static_cast<unsigned>(word) & 0xff))
#endif
#ifndef HIBYTE
#define HIBYTE(word) (static_cast<unsigned char>((static_cast<unsigned>(word) >> 8) & 0xff))
#endif

// Windows' error numbers, as WSAGetLastError reports them.
#define WSA_NOT_ENOUGH_MEMORY 8
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETOOMANYREFS 10059
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSCALLFAILURE 10107
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

namespace wsa {

typedef int SOCKET;
typedef unsigned short WORD;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};

// Grants the version asked for up to 2.2; there is nothing to start on POSIX.
QORKEL_API int WSAStartup(WORD versionRequested, WSADATA* data);
QORKEL_API int WSACleanup();
// The Windows error number of the calling thread's last failed call of this stand-in.
QORKEL_API int WSAGetLastError();
QORKEL_API void WSASetLastError(int error);

QORKEL_API SOCKET socket(int family, int type, int protocol);
QORKEL_API int closesocket(SOCKET socket);
QORKEL_API int bind(SOCKET socket, const sockaddr* address, int length);
QORKEL_API int listen(SOCKET socket, int backlog);
QORKEL_API SOCKET accept(SOCKET socket, sockaddr* address, int* length);
QORKEL_API int connect(SOCKET socket, const sockaddr* address, int length);
// Never raises SIGPIPE: a peer that has gone makes the call fail. A blocking socket whose
// send time-out (SO_SNDTIMEO) passes without progress fails with WSAETIMEDOUT; one that made
// some progress answers the short count.
QORKEL_API int send(SOCKET socket, const char* data, int length, int flags);
// The receive time-out (SO_RCVTIMEO) fails the same way, with WSAETIMEDOUT.
QORKEL_API int recv(SOCKET socket, char* buffer, int size, int flags);
QORKEL_API int recvfrom(SOCKET socket, char* buffer, int size, int flags, sockaddr* from,
                        int* fromLength);
// A connection that the peer has already torn down shuts down without complaint.
QORKEL_API int shutdown(SOCKET socket, int how);
// The linger record is Windows' 4 bytes: 16-bit on-flag, then 16-bit seconds; the send and
// receive time-outs are Windows' 4-byte count of milliseconds (0: none).
QORKEL_API int setsockopt(SOCKET socket, int level, int option, const char* value, int length);
QORKEL_API int getsockopt(SOCKET socket, int level, int option, char* value, int* length);
// An unbound socket has no name: WSAEINVAL.
QORKEL_API int getsockname(SOCKET socket, sockaddr* address, int* length);
QORKEL_API int getpeername(SOCKET socket, sockaddr* address, int* length);

// Results live in storage of the calling thread until its next lookup, so several threads
// may resolve at once. The empty name (or null) is the local machine.
QORKEL_API hostent* gethostbyname(const char* name);
QORKEL_API hostent* gethostbyaddr(const char* address, int length, int family);
QORKEL_API int gethostname(char* name, int length);
QORKEL_API char* inet_ntoa(in_addr address);

// Waits until the socket is readable or the time has passed, for any descriptor value
// (also above FD_SETSIZE), resuming after signals. A socket that is not connected is never
// readable, as under Windows. Answers 1, 0 on time-out, or SOCKET_ERROR.
QORKEL_API int waitUntilReadable(SOCKET socket, long microseconds);
// The same for room to send; a connection that has ended reads as writable (the send fails).
QORKEL_API int waitUntilWritable(SOCKET socket, long microseconds);

// One wait over many descriptors (any descriptor here, not only sockets): sets readable[i]
// for each one that is readable, has ended or has failed. A signal ends the wait early, so
// that a program that catches it gets to look at once. Answers how many are set, 0 on
// time-out or signal, or SOCKET_ERROR.
QORKEL_API int waitUntilAnyReadable(const SOCKET* sockets, int count, bool* readable,
                                    long microseconds);
// How many sockets one waitUntilAnyReadable takes.
QORKEL_API int mostSocketsPerWait();

// Calls on the socket return at once (WSAEWOULDBLOCK) instead of waiting, or wait again.
QORKEL_API int setNonBlocking(SOCKET socket, bool on);
// A listener bound afterwards gets its port back while the old connections on it linger in
// TIME_WAIT; a port that another listener holds is still refused.
QORKEL_API int allowQuickRebind(SOCKET socket);

// connect that gives up once the time has passed (WSAETIMEDOUT); the socket is then left
// half-connected and must be reset before it is used again. The socket is blocking again
// afterwards, whatever the outcome.
QORKEL_API int connectWithin(SOCKET socket, const sockaddr* address, int length, long microseconds);

// Wakes the calls other threads are blocked in on this socket (a connect in progress, a send,
// a wait for data) and makes later ones fail at once; the descriptor stays open until it is
// closed. The caller keeps the descriptor from being closed meanwhile.
QORKEL_API int interruptSocket(SOCKET socket);

} // namespace wsa

#endif
