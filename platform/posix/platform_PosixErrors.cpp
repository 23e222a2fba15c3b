#include "platform/platform_PosixSupport.h"
#include "platform/platform_Sockets.h"

#include <cerrno>

namespace {

// Each thread has its own last error, as under Windows.
thread_local int lastError = 0;

struct ErrorPair {
    int systemError;
    int windowsError;
};

const ErrorPair errorTable[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSA_NOT_ENOUGH_MEMORY},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    // The system reports a send on a connection closed for sending as a broken pipe.
    {EPIPE, WSAESHUTDOWN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

} // namespace

namespace wsa_posix {

int windowsError(int systemError) {
    if (systemError == 0)
        return 0;
    if (systemError == EWOULDBLOCK)
        return WSAEWOULDBLOCK;
    for (const ErrorPair& pair : errorTable) {
        if (pair.systemError == systemError)
            return pair.windowsError;
    }
    return WSASYSCALLFAILURE;
}

void recordSystemError() {
    lastError = windowsError(errno);
}

void recordError(int error) {
    lastError = error;
}

} // namespace wsa_posix

namespace wsa {

int WSAGetLastError() {
    return lastError;
}

void WSASetLastError(int error) {
    lastError = error;
}

} // namespace wsa
