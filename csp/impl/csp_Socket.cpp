#include "csp/impl/csp_Socket.h"

#include "base/aio_ostream.h"
#include "base/atr_translate.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp/impl/csp_SocketOps.h"

#include <cstring>

namespace {

const long drainWaitMicroseconds = 5L * 1000 * 1000;
const int drainBufferSize = 1024;
// The platform's waits take a count of microseconds in a long, 32 bits on Windows.
const int longestWaitSlice = 1000 * 1000;

[[noreturn]] void raiseSystemCallFailure(const char* text, int line, const csp_SocketError& error) {
    csp_NetworkException exception(csp_NetworkException::system_call_failure,
                                   atr_translate(text).Result(), error);
    exception.Throw("csp/impl/csp_Socket", line);
}

// A wait of any length in slices the platform takes.
int waitInSlices(int descriptor, int milliseconds, csp_SocketError& error,
                 int (*wait)(int, long, csp_SocketError&)) {
    int left = milliseconds < 0 ? 0 : milliseconds;
    for (;;) {
        const int slice = left < longestWaitSlice / 1000 ? left : longestWaitSlice / 1000;
        const int ready = wait(descriptor, slice * 1000L, error);
        left -= slice;
        if (ready != 0 || left <= 0)
            return ready;
    }
}

// Windows' linger record.
struct LingerRecord {
    unsigned short onOff;
    unsigned short seconds;
};

} // namespace

csp_Socket::ServiceReference::ServiceReference() : held(false) {
    wsa::WSADATA data;
    // A start-up that failed took nothing, so there is nothing to release for it.
    if (wsa::WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return;
    if (LOBYTE(data.wVersion) != 2) {
        wsa::WSACleanup();
        return;
    }
    held = true;
}

csp_Socket::ServiceReference::ServiceReference(const ServiceReference&) : ServiceReference() {}

csp_Socket::ServiceReference::~ServiceReference() {
    if (held)
        wsa::WSACleanup();
}

csp_Socket::csp_Socket(int descriptor) : descriptor(descriptor), autoClose(true), status(0) {}

csp_Socket::csp_Socket(int type, int family, int protocol)
    : descriptor(-1), autoClose(true), status(0) {
    csp_SocketError error;
    const int created = csp_SocketOps::open(family, type, protocol, error);
    if (created == -1)
        raiseSystemCallFailure("Error in csp_Socket constructor", __LINE__, error);
    descriptor = created;
}

csp_Socket::csp_Socket(const csp_Socket& other)
    : service(other.service), descriptor(other.descriptor), autoClose(other.autoClose),
      status(other.status) {}

csp_Socket::csp_Socket(csp_Socket&& other) noexcept
    : descriptor(other.descriptor), autoClose(other.autoClose), status(other.status) {
    other.descriptor = -1;
}

csp_Socket& csp_Socket::operator=(const csp_Socket& other) {
    if (this != &other) {
        std::lock_guard<std::mutex> guard(descriptorGuard);
        letGoOfDescriptor(other.descriptor);
        descriptor = other.descriptor;
        autoClose = other.autoClose;
        status = other.status;
    }
    return *this;
}

csp_Socket& csp_Socket::operator=(csp_Socket&& other) noexcept {
    if (this != &other) {
        std::lock_guard<std::mutex> guard(descriptorGuard);
        letGoOfDescriptor(other.descriptor);
        descriptor = other.descriptor;
        autoClose = other.autoClose;
        status = other.status;
        other.descriptor = -1;
    }
    return *this;
}

csp_Socket::~csp_Socket() {
    if (autoClose)
        close();
}

void csp_Socket::letGoOfDescriptor(int incoming) {
    if (autoClose && descriptor != incoming)
        closeDescriptor();
}

void csp_Socket::closeDescriptor() {
    csp_SocketOps::close(descriptor);
    descriptor = -1;
}

void csp_Socket::close() {
    std::lock_guard<std::mutex> guard(descriptorGuard);
    closeDescriptor();
}

void csp_Socket::interrupt() {
    std::lock_guard<std::mutex> guard(descriptorGuard);
    csp_SocketError ignored;
    csp_SocketOps::interrupt(descriptor, ignored);
}

void csp_Socket::closeInheritedCopy() {
    closeDescriptor();
}

void csp_Socket::reset(int type, int family, int protocol) {
    std::lock_guard<std::mutex> guard(descriptorGuard);
    closeDescriptor();
    csp_SocketError error;
    const int created = csp_SocketOps::open(family, type, protocol, error);
    if (created == -1)
        raiseSystemCallFailure("Error in csp_Socket::reset", __LINE__, error);
    descriptor = created;
}

void csp_Socket::bind(const csp_SocketAddress& address) {
    const sockaddr_in block = address;
    bind(reinterpret_cast<const sockaddr*>(&block), csp_SocketAddress::getLength());
}

void csp_Socket::bind(const sockaddr* address, int length) {
    csp_SocketError error;
    if (!csp_SocketOps::bind(descriptor, address, length, error))
        raiseSystemCallFailure("Error in csp_Socket::bind", __LINE__, error);
}

bool csp_Socket::bind(const csp_SocketAddress& address, csp_SocketError& error) {
    const sockaddr_in block = address;
    return csp_SocketOps::bind(descriptor, reinterpret_cast<const sockaddr*>(&block),
                               csp_SocketAddress::getLength(), error);
}

void csp_Socket::shutdown(csp_SocketShutdownMode mode) {
    csp_SocketError error;
    if (!csp_SocketOps::shutdown(descriptor, mode, error))
        raiseSystemCallFailure("Error in csp_Socket::shutdown", __LINE__, error);
}

void csp_Socket::setOption(int option, const char* value, int length) {
    csp_SocketError error;
    if (!csp_SocketOps::setOption(descriptor, option, value, length, error))
        raiseSystemCallFailure("Error in csp_Socket::setOption", __LINE__, error);
}

void csp_Socket::getOption(int option, char* value, int& length) const {
    csp_SocketError error;
    if (!csp_SocketOps::getOption(descriptor, option, value, length, error))
        raiseSystemCallFailure("Error in csp_Socket::getOption()", __LINE__, error);
}

void csp_Socket::setIntOption(int option, int value) {
    setOption(option, reinterpret_cast<const char*>(&value), sizeof value);
}

int csp_Socket::getIntOption(int option) const {
    int value = 0;
    int length = sizeof value;
    getOption(option, reinterpret_cast<char*>(&value), length);
    return value;
}

void csp_Socket::setBoolOption(int option, bool value) {
    setIntOption(option, value ? 1 : 0);
}

bool csp_Socket::getBoolOption(int option) const {
    return getIntOption(option) != 0;
}

void csp_Socket::setReuseAddress(bool on) {
    setBoolOption(SO_REUSEADDR, on);
}

bool csp_Socket::getReuseAddress() const {
    return getBoolOption(SO_REUSEADDR);
}

void csp_Socket::setRouting(bool routing) {
    setIntOption(SO_DONTROUTE, routing ? 0 : 1);
}

bool csp_Socket::getRouting() const {
    return getIntOption(SO_DONTROUTE) == 0;
}

void csp_Socket::setReceiveBufferSize(int size) {
    setIntOption(SO_RCVBUF, size);
}

int csp_Socket::getReceiveBufferSize() const {
    return getIntOption(SO_RCVBUF);
}

void csp_Socket::setSendBufferSize(int size) {
    setIntOption(SO_SNDBUF, size);
}

int csp_Socket::getSendBufferSize() const {
    return getIntOption(SO_SNDBUF);
}

int csp_Socket::getSocketType() const {
    return getIntOption(SO_TYPE);
}

int csp_Socket::getPendingError() const {
    return getIntOption(SO_ERROR);
}

void csp_Socket::setLinger(bool on, int seconds) {
    LingerRecord record;
    record.onOff = on ? 1 : 0;
    record.seconds = static_cast<unsigned short>(seconds & 0xffff);
    char bytes[sizeof record];
    std::memcpy(bytes, &record, sizeof record);
    setOption(SO_LINGER, bytes, sizeof bytes);
}

bool csp_Socket::getLinger(int& seconds) const {
    char bytes[sizeof(LingerRecord)] = {0};
    int length = sizeof bytes;
    getOption(SO_LINGER, bytes, length);
    LingerRecord record;
    std::memcpy(&record, bytes, sizeof record);
    seconds = record.seconds;
    return record.onOff != 0;
}

csp_SocketAddress csp_Socket::name() const {
    sockaddr_in block;
    csp_SocketError error;
    if (!csp_SocketOps::localName(descriptor, block, error))
        raiseSystemCallFailure("Error in csp_Socket::name", __LINE__, error);
    return csp_SocketAddress(block);
}

int csp_Socket::waitReadable(int milliseconds, csp_SocketError& error) const {
    return waitInSlices(descriptor, milliseconds, error, csp_SocketOps::waitReadable);
}

int csp_Socket::waitWritable(int milliseconds, csp_SocketError& error) const {
    return waitInSlices(descriptor, milliseconds, error, csp_SocketOps::waitWritable);
}

bool csp_Socket::waitReadable(int milliseconds) const {
    csp_SocketError error;
    return waitReadable(milliseconds, error) == 1;
}

bool csp_Socket::setNonBlocking(bool on, csp_SocketError& error) {
    return csp_SocketOps::setNonBlocking(descriptor, on, error);
}

void csp_Socket::disconnect() {
    csp_SocketError error;
    if (!csp_SocketOps::shutdown(descriptor, shutdownSends, error))
        throw omi_FatalError{"shutdown", error.code()};
    char buffer[drainBufferSize];
    for (;;) {
        const int ready = csp_SocketOps::waitReadable(descriptor, drainWaitMicroseconds, error);
        if (ready == 0)
            return;
        if (ready < 0)
            throw omi_FatalError{"select", error.code()};
        const int received = csp_SocketOps::receive(descriptor, buffer, drainBufferSize, error);
        if (received == 0)
            return;
        if (received < 0) {
            if (error.kind() == csp_SocketError::reset || error.kind() == csp_SocketError::shutDown)
                return;
            throw omi_FatalError{"recv", error.code()};
        }
    }
}

aio_ostream& operator<<(aio_ostream& stream, const csp_Socket& socket) {
    stream << "Socket( ";
    if (socket.isOpen())
        stream << socket.getDescriptor();
    else
        stream << "Socket is not open";
    return stream << " )";
}
