#ifndef CSP_IMPL_CSP_CONNECTABLESOCKET_H
#define CSP_IMPL_CSP_CONNECTABLESOCKET_H

#include "base/base_Export.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_Socket.h"

#include <chrono>

class aio_ostream;

// A socket that connects, reads and writes. The status word refuses reads and writes once
// one has failed, until the next successful connectTo, and tells a first end of stream
// from a repeated one.
class QORKEL_API csp_ConnectableSocket : public csp_Socket {
public:
    // A connect that has not completed by then raises system_call_timout; the socket must be
    // reset before the next attempt.
    static constexpr int connectTimeoutMilliseconds = 5000;
    // Once connected, a send that makes no progress for this long fails (write_failed): a
    // peer that stops reading cannot hold the writer for ever.
    static constexpr int sendTimeoutMilliseconds = 5000;

    // While it lives, every write the constructing thread makes on a connectable socket ends
    // by the deadline, however slowly the peer reads: one still unfinished then fails
    // (write_failed, the socket marked failed). Scopes nest; the inner deadline counts.
    class QORKEL_API WriteDeadline {
    public:
        explicit WriteDeadline(std::chrono::steady_clock::time_point deadline);
        ~WriteDeadline();
        WriteDeadline(const WriteDeadline&) = delete;
        WriteDeadline& operator=(const WriteDeadline&) = delete;

    private:
        const std::chrono::steady_clock::time_point* outer;
        std::chrono::steady_clock::time_point deadline;
    };

    explicit csp_ConnectableSocket(int descriptor);
    csp_ConnectableSocket(int type, int family, int protocol);
    csp_ConnectableSocket(const csp_ConnectableSocket& other) = default;
    csp_ConnectableSocket(csp_ConnectableSocket&& other) noexcept = default;
    csp_ConnectableSocket& operator=(const csp_ConnectableSocket& other) = default;
    csp_ConnectableSocket& operator=(csp_ConnectableSocket&& other) noexcept = default;
    ~csp_ConnectableSocket() override;

    // Gives up after connectTimeoutMilliseconds. Clears the status word except
    // endOfStreamIsError and bounds every later send by sendTimeoutMilliseconds.
    void connectTo(const csp_SocketAddress& address);

    // One platform call each; the count may be short. -1 without a call once a read or
    // write has failed.
    int read(void* buffer, int size);
    int write(const void* data, int length);
    // The same without raising: -1 with the cause in `error` (wouldBlock on a non-blocking
    // socket that has nothing to read or no room to write, which is no failure); 0 from read
    // at the end of the stream, whatever endOfStreamIsError says.
    int read(void* buffer, int size, csp_SocketError& error);
    int write(const void* data, int length, csp_SocketError& error);
    // Writes every byte, one write after another; raises write_failed (with the socket marked
    // failed) when a write fails or the connection takes nothing more, so that no caller can
    // leave half a message on the wire unnoticed.
    void writeAll(const void* data, int length);
    int receiveFrom(csp_SocketAddress& from, void* buffer, int size);

    csp_SocketAddress peerAddress() const;
    // The platform reports a peer (a peer that has closed may still count).
    bool isConnected() const;

    bool getEndOfStreamSeen() const { return hasStatus(endOfStreamSeen); }
    bool getEndOfStreamIsError() const { return hasStatus(endOfStreamIsError); }
    void setEndOfStreamIsError(bool on);
    bool isUsable() const { return isOpen() && !hasStatus(failed); }
    bool canRead() const { return isUsable() && !hasStatus(endOfStreamSeen); }
    void clearStatus() { status &= endOfStreamIsError; }
    bool hasStatus(unsigned short mask) const { return (status & mask) == mask; }

protected:
    void connectTo(const sockaddr* address, int length);

private:
    int sendBefore(std::chrono::steady_clock::time_point deadline, const char* data, int length,
                   csp_SocketError& error);
};

QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const csp_ConnectableSocket& socket);

#endif
