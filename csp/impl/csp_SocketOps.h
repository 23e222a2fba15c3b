#ifndef CSP_IMPL_CSP_SOCKETOPS_H
#define CSP_IMPL_CSP_SOCKETOPS_H

#include "csp/impl/csp_SocketError.h"
#include "platform/platform_Sockets.h"

// Every platform socket call of the socket layer, in one shape: check the descriptor, clear
// the platform's error, make the call, and hand back what failed as a csp_SocketError read
// at once (on Windows nearly any call, an exception's unwinding included, replaces the
// platform's own). Nothing here raises; the socket classes decide what does. Descriptors
// are the socket layer's ints, -1 for none. Waits take microseconds; a negative time counts
// as none.
class csp_SocketOps {
public:
    // -1 on failure.
    static int open(int family, int type, int protocol, csp_SocketError& error);
    // The platform's close; its result does not matter to anyone.
    static void close(int descriptor);
    static bool bind(int descriptor, const sockaddr* address, int length, csp_SocketError& error);
    static bool listen(int descriptor, int backlog, csp_SocketError& error);
    // The accepted descriptor, -1 on failure; the peer's address into `peer`.
    static int accept(int descriptor, sockaddr_in& peer, csp_SocketError& error);
    static bool connectWithin(int descriptor, const sockaddr* address, int length,
                              long microseconds, csp_SocketError& error);
    // The count, or -1 on failure.
    static int send(int descriptor, const char* data, int length, csp_SocketError& error);
    static int receive(int descriptor, char* buffer, int size, csp_SocketError& error);
    static int receiveFrom(int descriptor, char* buffer, int size, sockaddr_in& from,
                           csp_SocketError& error);
    static bool shutdown(int descriptor, int how, csp_SocketError& error);
    // Socket-level options; `length` takes the platform's updated length either way.
    static bool setOption(int descriptor, int option, const char* value, int length,
                          csp_SocketError& error);
    static bool getOption(int descriptor, int option, char* value, int& length,
                          csp_SocketError& error);
    static bool localName(int descriptor, sockaddr_in& name, csp_SocketError& error);
    static bool peerName(int descriptor, sockaddr_in& name, csp_SocketError& error);
    // 1 once readable (or writable), 0 when the time has passed, -1 when the wait failed.
    static int waitReadable(int descriptor, long microseconds, csp_SocketError& error);
    static int waitWritable(int descriptor, long microseconds, csp_SocketError& error);
    static bool setNonBlocking(int descriptor, bool on, csp_SocketError& error);
    static bool allowQuickRebind(int descriptor, csp_SocketError& error);
    static bool interrupt(int descriptor, csp_SocketError& error);
};

#endif
