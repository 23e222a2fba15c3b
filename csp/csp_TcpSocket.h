#ifndef CSP_CSP_TCPSOCKET_H
#define CSP_CSP_TCPSOCKET_H

#include "base/base_Export.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_ConnectableSocket.h"

// A TCP stream socket: the binding choices, keep-alives, listening and accepting.
class QORKEL_API csp_TcpSocket : public csp_ConnectableSocket {
public:
    enum TcpBinding { bindToAnyPort = 0, doNotBind = 1 };

    // Adopts the descriptor (an accepted connection).
    explicit csp_TcpSocket(int descriptor);
    // A socket bound to the local address; a failing bind closes it and raises.
    explicit csp_TcpSocket(const csp_SocketAddress& local);
    // bindToAnyPort lets the platform pick the local port; doNotBind leaves it unbound.
    explicit csp_TcpSocket(TcpBinding binding);
    csp_TcpSocket(const csp_TcpSocket& other) = default;
    csp_TcpSocket(csp_TcpSocket&& other) noexcept = default;
    csp_TcpSocket& operator=(const csp_TcpSocket& other) = default;
    csp_TcpSocket& operator=(csp_TcpSocket&& other) noexcept = default;
    ~csp_TcpSocket() override;

    using csp_Socket::reset;
    // A fresh unbound TCP socket in place of the current one.
    void reset();

    void setKeepAlives(bool on);
    bool getKeepAlives() const;

    // The platform's result: 0, or -1 on failure; raises nothing.
    int listen(int backlog) const;
    // The next connection; on failure writes "accept error: <number>" on aio_cout and
    // returns a socket that is not open. Assign it by move (or construct from it): a copy
    // from the temporary would be closed when the temporary dies.
    csp_TcpSocket acceptConnection() const;

    // A server's calls, raising nothing. A listener on the local address: a port whose old
    // connections still linger is taken again, one that another listener holds is refused
    // (addressInUse). Not open on failure.
    static csp_TcpSocket listenOn(const csp_SocketAddress& local, int backlog,
                                  csp_SocketError& error);
    // The next connection and its peer's address; not open on failure (wouldBlock when none
    // is waiting at a non-blocking listener), and nothing written anywhere.
    csp_TcpSocket acceptConnection(csp_SocketAddress& peer, csp_SocketError& error) const;

private:
    void bindOrClose(const csp_SocketAddress& local);
};

#endif
