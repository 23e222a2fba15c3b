#include "csp/impl/csp_ConnectableSocket.h"

#include "base/aio_ostream.h"
#include "base/atr_translate.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp/impl/csp_SocketOps.h"

namespace {

// The deadline of this thread's innermost WriteDeadline; null outside one.
thread_local const std::chrono::steady_clock::time_point* threadWriteDeadline = nullptr;

bool writeDeadlinePassed() {
    return threadWriteDeadline != nullptr &&
           std::chrono::steady_clock::now() >= *threadWriteDeadline;
}

[[noreturn]] void raiseWithCode(int code, const char* text, int line,
                                const csp_SocketError& error) {
    csp_NetworkException exception(code, atr_translate(text).Result(), error);
    exception.Throw("csp/impl/csp_ConnectableSocket", line);
}

[[noreturn]] void raiseSystemCallFailure(const char* text, int line, const csp_SocketError& error) {
    raiseWithCode(csp_NetworkException::system_call_failure, text, line, error);
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
    csp_SocketError error;
    if (!csp_SocketOps::connectWithin(descriptor, address, length,
                                      connectTimeoutMilliseconds * 1000L, error)) {
        if (error.kind() == csp_SocketError::timedOut)
            raiseWithCode(csp_NetworkException::system_call_timout,
                          "Timed out in csp_ConnectableSocket::connectTo", __LINE__, error);
        raiseSystemCallFailure("Error in csp_ConnectableSocket::connectTo", __LINE__, error);
    }
    clearStatus();
    setIntOption(SO_SNDTIMEO, sendTimeoutMilliseconds);
}

int csp_ConnectableSocket::read(void* buffer, int size) {
    const bool endOfStreamSeenBefore = hasStatus(endOfStreamSeen);
    csp_SocketError error;
    const int received = read(buffer, size, error);
    if (error.failed()) {
        status |= failed;
        csp_NetworkException::throwError(csp_NetworkException::read_failed, "socket_error", error);
    }
    if (received == 0 && !endOfStreamSeenBefore && hasStatus(endOfStreamIsError))
        csp_NetworkException::throwError(csp_NetworkException::eof_encountered, cow_String());
    return received;
}

int csp_ConnectableSocket::read(void* buffer, int size, csp_SocketError& error) {
    error = csp_SocketError();
    if (hasStatus(failed))
        return -1;
    const int received =
        csp_SocketOps::receive(descriptor, static_cast<char*>(buffer), size, error);
    if (received < 0) {
        // Nothing there yet on a non-blocking socket is no failure.
        if (error.kind() != csp_SocketError::wouldBlock)
            status |= failed;
        return -1;
    }
    if (received == 0)
        status |= endOfStreamSeen;
    return received;
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
                                      const char* data, int length, csp_SocketError& error) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
    if (left <= 0) {
        error = csp_SocketError(WSAETIMEDOUT);
        return -1;
    }
    const int timeout =
        left < sendTimeoutMilliseconds ? static_cast<int>(left) : sendTimeoutMilliseconds;
    csp_SocketError ignored;
    csp_SocketOps::setOption(descriptor, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                             sizeof timeout, ignored);
    const int sent = csp_SocketOps::send(descriptor, data, length, error);
    const int usual = sendTimeoutMilliseconds;
    csp_SocketOps::setOption(descriptor, SO_SNDTIMEO, reinterpret_cast<const char*>(&usual),
                             sizeof usual, ignored);
    return sent;
}

int csp_ConnectableSocket::write(const void* data, int length) {
    if (hasStatus(failed))
        return -1;
    if (writeDeadlinePassed()) {
        status |= failed;
        csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                         "the write did not end in time");
    }
    csp_SocketError error;
    const int sent = write(data, length, error);
    if (sent < 0) {
        status |= failed;
        csp_NetworkException::throwError(csp_NetworkException::write_failed, "socket_error", error);
    }
    return sent;
}

int csp_ConnectableSocket::write(const void* data, int length, csp_SocketError& error) {
    error = csp_SocketError();
    if (hasStatus(failed))
        return -1;
    const char* const bytes = static_cast<const char*>(data);
    const int sent = threadWriteDeadline != nullptr
                         ? sendBefore(*threadWriteDeadline, bytes, length, error)
                         : csp_SocketOps::send(descriptor, bytes, length, error);
    if (sent < 0) {
        // No room yet on a non-blocking socket is no failure.
        if (error.kind() != csp_SocketError::wouldBlock)
            status |= failed;
        return -1;
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
    csp_SocketError error;
    const int received =
        csp_SocketOps::receiveFrom(descriptor, static_cast<char*>(buffer), size, block, error);
    if (received < 0)
        raiseSystemCallFailure("Error in receive from", __LINE__, error);
    from = block;
    return received;
}

csp_SocketAddress csp_ConnectableSocket::peerAddress() const {
    sockaddr_in block;
    csp_SocketError error;
    if (!csp_SocketOps::peerName(descriptor, block, error))
        raiseSystemCallFailure("Error in peerAddress", __LINE__, error);
    return csp_SocketAddress(block);
}

bool csp_ConnectableSocket::isConnected() const {
    sockaddr_in block;
    csp_SocketError error;
    return csp_SocketOps::peerName(descriptor, block, error);
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
