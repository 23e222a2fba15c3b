#ifndef CSP_IMPL_CSP_SOCKET_H
#define CSP_IMPL_CSP_SOCKET_H

#include "base/base_Export.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_SocketError.h"

#include <mutex>

class aio_ostream;
struct sockaddr;

// Owns a platform socket descriptor (-1: not open). Copies refer to the same platform
// socket, and whichever copy with autoClose set goes first closes it for all; a move hands
// the descriptor over and leaves the source not open. Every object holds one start-up of
// the platform's socket service. Failures raise csp_NetworkException, carrying the
// platform's error, except disconnect, which throws omi_FatalError; the calls that take a
// csp_SocketError raise nothing and report there instead, for a caller that takes no
// exception from the library (a Windows program with a runtime of its own).
class QORKEL_API csp_Socket {
public:
    enum csp_SocketShutdownMode { shutdownReceives = 0, shutdownSends = 1, shutdownBoth = 2 };

    // Adopts the descriptor; no platform call.
    explicit csp_Socket(int descriptor);
    csp_Socket(int type, int family, int protocol);
    csp_Socket(const csp_Socket& other);
    csp_Socket(csp_Socket&& other) noexcept;
    // Assignment lets go of the previous descriptor as destruction would, then takes the
    // source's: a copy shares it, a move takes it over.
    csp_Socket& operator=(const csp_Socket& other);
    csp_Socket& operator=(csp_Socket&& other) noexcept;
    virtual ~csp_Socket();

    int getDescriptor() const { return descriptor; }
    bool isOpen() const { return descriptor != -1; }
    void setToAutoClose(bool on) { autoClose = on; }
    bool getAutoClose() const { return autoClose; }

    // Harmless on a socket that is not open; the status word is kept.
    void close();
    // For another thread than the one using the socket: wakes the calls it is blocked in on
    // this socket (connect, send, a wait for data) and makes later ones fail, until the socket
    // is reset. Safe against this object's own close and reset; never raises.
    void interrupt();
    // In a child made by fork(), whose parent goes on using the socket: closes this process's
    // copy of the descriptor, without shutting the connection down and without the lock a
    // thread of the parent may have held at the fork. Call it while no other thread of the
    // child uses the object.
    void closeInheritedCopy();
    // A fresh descriptor in place of the current one; status and autoClose are kept.
    void reset(int type, int family, int protocol);
    void bind(const csp_SocketAddress& address);
    void bind(const sockaddr* address, int length);
    bool bind(const csp_SocketAddress& address, csp_SocketError& error);
    void shutdown(csp_SocketShutdownMode mode);
    void shutdown() { shutdown(shutdownBoth); }
    void shutdownSocketReceives() { shutdown(shutdownReceives); }
    void shutdownSocketSends() { shutdown(shutdownSends); }

    // Socket-level options; the platform's updated length is stored back into `length`.
    void setOption(int option, const char* value, int length);
    void getOption(int option, char* value, int& length) const;
    void setIntOption(int option, int value);
    int getIntOption(int option) const;
    void setBoolOption(int option, bool value);
    bool getBoolOption(int option) const;
    void setReuseAddress(bool on);
    bool getReuseAddress() const;
    // Stored inverted, as the platform's "do not route" flag.
    void setRouting(bool routing);
    bool getRouting() const;
    void setReceiveBufferSize(int size);
    int getReceiveBufferSize() const;
    void setSendBufferSize(int size);
    int getSendBufferSize() const;
    int getSocketType() const;
    int getPendingError() const;
    // The 4-byte linger record: 16-bit on-flag, then the low 16 bits of the seconds.
    void setLinger(bool on, int seconds);
    bool getLinger(int& seconds) const;

    // The local address; an unbound socket has none and raises.
    csp_SocketAddress name() const;

    // Waits at most the time for data (or the end of the stream, or a failure) to read, or
    // for room to write: 1 when there is, 0 when the time has passed, -1 when the wait
    // itself failed. A socket another thread interrupted answers 1 at once.
    int waitReadable(int milliseconds, csp_SocketError& error) const;
    int waitWritable(int milliseconds, csp_SocketError& error) const;
    // Whether data is there to read within the time; a failed wait answers false.
    bool waitReadable(int milliseconds) const;
    // Calls on a non-blocking socket return at once, failing with wouldBlock where they
    // would wait.
    bool setNonBlocking(bool on, csp_SocketError& error);

    // Orderly end of a connection: shuts down sending, then drains what the peer still
    // sends until it closes, resets, or stays silent for 5 seconds. Neither closes the
    // descriptor nor changes the status word.
    void disconnect();

    bool operator==(const csp_Socket& other) const { return descriptor == other.descriptor; }
    bool operator!=(const csp_Socket& other) const { return descriptor != other.descriptor; }
    bool operator<(const csp_Socket& other) const { return descriptor < other.descriptor; }

private:
    // One start-up of the platform's socket service, released with the object; copies
    // take their own, assignment takes none.
    class ServiceReference {
    public:
        ServiceReference();
        ServiceReference(const ServiceReference&);
        ServiceReference& operator=(const ServiceReference&) { return *this; }
        ~ServiceReference();

    private:
        bool held;
    };

    ServiceReference service;
    // Held while the descriptor is replaced or closed, so that interrupt() never reaches a
    // descriptor number that the system has meanwhile handed to someone else.
    std::mutex descriptorGuard;

protected:
    enum StatusBit : unsigned short {
        endOfStreamSeen = 1,
        failed = 2,
        endOfStreamIsError = 4,
    };

    int descriptor;
    bool autoClose;
    unsigned short status;

private:
    void letGoOfDescriptor(int incoming);
    void closeDescriptor();
};

QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const csp_Socket& socket);

#endif
