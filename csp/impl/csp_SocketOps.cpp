#include "csp/impl/csp_SocketOps.h"

#include <cstring>

namespace {

// The check and the first step of every call: a descriptor that is not open fails as the
// platform would fail it, without a call; otherwise the platform's error starts clear.
bool begin(int descriptor, csp_SocketError& error) {
    if (descriptor == -1) {
        error = csp_SocketError(WSAENOTSOCK);
        return false;
    }
    wsa::WSASetLastError(0);
    error = csp_SocketError();
    return true;
}

// The last step: a failed call's error, read before anything else runs. A call that failed
// without saying why still counts as failed.
bool end(bool succeeded, csp_SocketError& error) {
    if (succeeded)
        return true;
    const int code = wsa::WSAGetLastError();
    error = csp_SocketError(code != 0 ? code : WSASYSCALLFAILURE);
    return false;
}

int endCount(int result, csp_SocketError& error) {
    return end(result != SOCKET_ERROR, error) ? result : -1;
}

void clearAddress(sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
}

} // namespace

int csp_SocketOps::open(int family, int type, int protocol, csp_SocketError& error) {
    wsa::WSASetLastError(0);
    error = csp_SocketError();
    const wsa::SOCKET created = wsa::socket(family, type, protocol);
    if (!end(created != INVALID_SOCKET, error))
        return -1;
    return static_cast<int>(created);
}

void csp_SocketOps::close(int descriptor) {
    if (descriptor != -1)
        wsa::closesocket(descriptor);
}

bool csp_SocketOps::bind(int descriptor, const sockaddr* address, int length,
                         csp_SocketError& error) {
    return begin(descriptor, error) &&
           end(wsa::bind(descriptor, address, length) != SOCKET_ERROR, error);
}

bool csp_SocketOps::listen(int descriptor, int backlog, csp_SocketError& error) {
    return begin(descriptor, error) && end(wsa::listen(descriptor, backlog) != SOCKET_ERROR, error);
}

int csp_SocketOps::accept(int descriptor, sockaddr_in& peer, csp_SocketError& error) {
    clearAddress(peer);
    if (!begin(descriptor, error))
        return -1;
    int length = static_cast<int>(sizeof peer);
    const wsa::SOCKET accepted =
        wsa::accept(descriptor, reinterpret_cast<sockaddr*>(&peer), &length);
    if (!end(accepted != INVALID_SOCKET, error))
        return -1;
    return static_cast<int>(accepted);
}

bool csp_SocketOps::connectWithin(int descriptor, const sockaddr* address, int length,
                                  long microseconds, csp_SocketError& error) {
    return begin(descriptor, error) &&
           end(wsa::connectWithin(descriptor, address, length, microseconds) != SOCKET_ERROR,
               error);
}

int csp_SocketOps::send(int descriptor, const char* data, int length, csp_SocketError& error) {
    if (!begin(descriptor, error))
        return -1;
    return endCount(wsa::send(descriptor, data, length, 0), error);
}

int csp_SocketOps::receive(int descriptor, char* buffer, int size, csp_SocketError& error) {
    if (!begin(descriptor, error))
        return -1;
    return endCount(wsa::recv(descriptor, buffer, size, 0), error);
}

int csp_SocketOps::receiveFrom(int descriptor, char* buffer, int size, sockaddr_in& from,
                               csp_SocketError& error) {
    clearAddress(from);
    if (!begin(descriptor, error))
        return -1;
    int length = static_cast<int>(sizeof from);
    return endCount(
        wsa::recvfrom(descriptor, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &length),
        error);
}

bool csp_SocketOps::shutdown(int descriptor, int how, csp_SocketError& error) {
    return begin(descriptor, error) && end(wsa::shutdown(descriptor, how) != SOCKET_ERROR, error);
}

bool csp_SocketOps::setOption(int descriptor, int option, const char* value, int length,
                              csp_SocketError& error) {
    return begin(descriptor, error) &&
           end(wsa::setsockopt(descriptor, SOL_SOCKET, option, value, length) != SOCKET_ERROR,
               error);
}

bool csp_SocketOps::getOption(int descriptor, int option, char* value, int& length,
                              csp_SocketError& error) {
    if (!begin(descriptor, error))
        return false;
    int platformLength = length;
    const int result = wsa::getsockopt(descriptor, SOL_SOCKET, option, value, &platformLength);
    const bool succeeded = end(result != SOCKET_ERROR, error);
    length = platformLength;
    return succeeded;
}

bool csp_SocketOps::localName(int descriptor, sockaddr_in& name, csp_SocketError& error) {
    clearAddress(name);
    if (!begin(descriptor, error))
        return false;
    int length = static_cast<int>(sizeof name);
    return end(wsa::getsockname(descriptor, reinterpret_cast<sockaddr*>(&name), &length) !=
                   SOCKET_ERROR,
               error);
}

bool csp_SocketOps::peerName(int descriptor, sockaddr_in& name, csp_SocketError& error) {
    clearAddress(name);
    if (!begin(descriptor, error))
        return false;
    int length = static_cast<int>(sizeof name);
    return end(wsa::getpeername(descriptor, reinterpret_cast<sockaddr*>(&name), &length) !=
                   SOCKET_ERROR,
               error);
}

int csp_SocketOps::waitReadable(int descriptor, long microseconds, csp_SocketError& error) {
    if (!begin(descriptor, error))
        return -1;
    return endCount(wsa::waitUntilReadable(descriptor, microseconds < 0 ? 0 : microseconds), error);
}

int csp_SocketOps::waitWritable(int descriptor, long microseconds, csp_SocketError& error) {
    if (!begin(descriptor, error))
        return -1;
    return endCount(wsa::waitUntilWritable(descriptor, microseconds < 0 ? 0 : microseconds), error);
}

bool csp_SocketOps::setNonBlocking(int descriptor, bool on, csp_SocketError& error) {
    return begin(descriptor, error) &&
           end(wsa::setNonBlocking(descriptor, on) != SOCKET_ERROR, error);
}

bool csp_SocketOps::allowQuickRebind(int descriptor, csp_SocketError& error) {
    return begin(descriptor, error) &&
           end(wsa::allowQuickRebind(descriptor) != SOCKET_ERROR, error);
}

bool csp_SocketOps::interrupt(int descriptor, csp_SocketError& error) {
    return begin(descriptor, error) && end(wsa::interruptSocket(descriptor) != SOCKET_ERROR, error);
}
