#include "csp/impl/csp_SocketError.h"

#include "platform/platform_Sockets.h"

namespace {

struct Known {
    int code;
    csp_SocketError::Kind kind;
    const char* text;
};

const Known known[] = {
    {WSAEWOULDBLOCK, csp_SocketError::wouldBlock, "nothing can be done without waiting"},
    {WSAEINTR, csp_SocketError::interrupted, "interrupted"},
    {WSAETIMEDOUT, csp_SocketError::timedOut, "no answer: timed out"},
    {WSAECONNREFUSED, csp_SocketError::refused, "connection refused: nothing listens on that port"},
    {WSAECONNRESET, csp_SocketError::reset, "connection reset"},
    {WSAECONNABORTED, csp_SocketError::aborted, "connection aborted"},
    {WSAENOTCONN, csp_SocketError::notConnected, "not connected"},
    {WSAESHUTDOWN, csp_SocketError::shutDown, "the connection is shut down"},
    {WSAEADDRINUSE, csp_SocketError::addressInUse, "address already in use"},
    {WSAEADDRNOTAVAIL, csp_SocketError::addressNotAvailable, "address not available"},
    {WSAENETUNREACH, csp_SocketError::networkUnreachable, "network unreachable"},
    {WSAEHOSTUNREACH, csp_SocketError::hostUnreachable, "host unreachable"},
    {WSAEACCES, csp_SocketError::permissionDenied, "permission denied"},
    {WSAEMFILE, csp_SocketError::noDescriptors, "no file descriptors left"},
    {WSAENOTSOCK, csp_SocketError::notASocket, "not an open socket"},
};

const Known* find(int code) {
    for (const Known& entry : known)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

} // namespace

csp_SocketError::Kind csp_SocketError::kind() const {
    if (number == 0)
        return none;
    const Known* entry = find(number);
    return entry != nullptr ? entry->kind : other;
}

std::string csp_SocketError::text() const {
    if (number == 0)
        return "no error";
    const Known* entry = find(number);
    return entry != nullptr ? entry->text : "socket error " + std::to_string(number);
}
