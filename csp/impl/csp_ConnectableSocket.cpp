#include "csp/impl/csp_ConnectableSocket.h"

#include "base/aio_ostream.h"
#include "base/atr_translate.h"
#include "csp/impl/csp_NetworkEx.h"

#include <cstring>

namespace {

// The deadline of this thread's innermost WriteDeadline; null outside one.
thread_local const std::chrono::steady_clock::time_point* threadWriteDeadline = nullptr;

[[noreturn]] void raiseWithCode(int code, const char* text, int line) {
    csp_NetworkException exception(code, atr_translate(text).Result());
    exception.Throw("csp/impl/csp_ConnectableSocket", line);
}

// The system's error is kept before anything else runs: on Windows nearly any call clears it.
[[noreturn]] void raiseSystemCallFailure(const char* text, int line) {
    csp_NetworkException::rememberSystemError(wsa::WSAGetLastError());
    raiseWithCode(csp_NetworkException::system_call_failure, text, line);
}

[[noreturn]] void raiseTimeout(const char* text, int line) {
    csp_NetworkException::rememberSystemError(wsa::WSAGetLastError());
    raiseWithCode(csp_NetworkException::system_call_timout, text, line);
}

} // namespace

csp_ConnectableSocket::csp_ConnectableSocket(int descriptor) : csp_Socket(descriptor) {}

csp_ConnectableSocket::csp_ConnectableSocket(int type, int family, int protocol)
    : csp_Socket(type, family, protocol) {}

csp_ConnectableSocket::~csp_ConnectableSocket() = default;

void csp_ConnectableSocket::connectTo(const csp_SocketAddress& address) {
    const sockaddr_in block = address;
    connectTo(reinterpret_cast<const sockaddr*>(&block), csp_SocketAddress::getLength());
}

void csp_ConnectableSocket::connectTo(const sockaddr* address, int length) {
    if (wsa::connectWithin(descriptor, address, length, connectTimeoutMilliseconds * 1000L) ==
        SOCKET_ERROR) {
        if (wsa::WSAGetLastError() == WSAETIMEDOUT)
            raiseTimeout("Timed out in csp_ConnectableSocket::connectTo", __LINE__);
        raiseSystemCallFailure("Error in csp_ConnectableSocket::connectTo", __LINE__);
    }
    clearStatus();
    setIntOption(SO_SNDTIMEO, sendTimeoutMilliseconds);
}

int csp_ConnectableSocket::read(void* buffer, int size) {
    if (hasStatus(failed))
        return -1;
    const int received = wsa::recv(descriptor, static_cast<char*>(buffer), size, 0);
    if (received < 0) {
        status |= failed;
        csp_NetworkException::throwError(csp_NetworkException::read_failed, "socket_error");
    }
    if (received > 0)
        return received;
    if (hasStatus(endOfStreamSeen))
        return 0;
    status |= endOfStreamSeen;
    if (hasStatus(endOfStreamIsError))
        csp_NetworkException::throwError(csp_NetworkException::eof_encountered, cow_String());
    return 0;
}

csp_ConnectableSocket::WriteDeadline::WriteDeadline(std::chrono::steady_clock::time_point deadline)
    : outer(threadWriteDeadline), deadline(deadline) {
    threadWriteDeadline = &this->deadline;
}

csp_ConnectableSocket::WriteDeadline::~WriteDeadline() {
    threadWriteDeadline = outer;
}

// The send time-out is the socket's, so it is narrowed for this one send and set back after.
int csp_ConnectableSocket::sendBefore(std::chrono::steady_clock::time_point deadline,
                                      const char* data, int length) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
    if (left <= 0) {
        status |= failed;
        csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                         "the write did not end in time");
    }
    const int timeout =
        left < sendTimeoutMilliseconds ? static_cast<int>(left) : sendTimeoutMilliseconds;
    wsa::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                    sizeof timeout);
    const int sent = wsa::send(descriptor, data, length, 0);
    const int error = wsa::WSAGetLastError();
    const int usual = sendTimeoutMilliseconds;
    wsa::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&usual),
                    sizeof usual);
    wsa::WSASetLastError(error);
    return sent;
}

int csp_ConnectableSocket::write(const void* data, int length) {
    if (hasStatus(failed))
        return -1;
    const char* const bytes = static_cast<const char*>(data);
    const int sent = threadWriteDeadline != nullptr
                         ? sendBefore(*threadWriteDeadline, bytes, length)
                         : wsa::send(descriptor, bytes, length, 0);
    if (sent < 0) {
        status |= failed;
        csp_NetworkException::throwError(csp_NetworkException::write_failed, "socket_error");
    }
    status &= static_cast<unsigned short>(~endOfStreamSeen);
    return sent;
}

void csp_ConnectableSocket::writeAll(const void* data, int length) {
    const char* const bytes = static_cast<const char*>(data);
    int written = 0;
    while (written < length) {
        const int sent = write(bytes + written, length - written);
        if (sent <= 0) {
            status |= failed;
            csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                             "connection no longer writable");
        }
        written += sent;
    }
}

int csp_ConnectableSocket::receiveFrom(csp_SocketAddress& from, void* buffer, int size) {
    if (!isUsable())
        return -1;
    sockaddr_in block;
    std::memset(&block, 0, sizeof block);
    int length = csp_SocketAddress::getLength();
    const int received = wsa::recvfrom(descriptor, static_cast<char*>(buffer), size, 0,
                                       reinterpret_cast<sockaddr*>(&block), &length);
    if (received < 0)
        raiseSystemCallFailure("Error in receive from", __LINE__);
    from = block;
    return received;
}

csp_SocketAddress csp_ConnectableSocket::peerAddress() const {
    sockaddr_in block;
    std::memset(&block, 0, sizeof block);
    int length = csp_SocketAddress::getLength();
    if (wsa::getpeername(descriptor, reinterpret_cast<sockaddr*>(&block), &length) == SOCKET_ERROR)
        raiseSystemCallFailure("Error in peerAddress", __LINE__);
    return csp_SocketAddress(block);
}

bool csp_ConnectableSocket::isConnected() const {
    try {
        peerAddress();
        return true;
    } catch (const csp_NetworkException&) {
        return false;
    }
}

void csp_ConnectableSocket::setEndOfStreamIsError(bool on) {
    if (on)
        status |= endOfStreamIsError;
    else
        status &= static_cast<unsigned short>(~endOfStreamIsError);
}

aio_ostream& operator<<(aio_ostream& stream, const csp_ConnectableSocket& socket) {
    stream << "ConnectableSocket( ";
    if (!socket.isOpen())
        stream << "connection is not currently opened";
    else if (socket.isConnected())
        stream << socket.getDescriptor() << ", " << socket.peerAddress();
    else
        stream << socket.getDescriptor() << ", "
               << "connection is not defined";
    return stream << " )";
}
