#include "csp/csp_TcpSocket.h"

#include "base/aio_ostream.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp/impl/csp_SocketOps.h"

csp_TcpSocket::csp_TcpSocket(int descriptor) : csp_ConnectableSocket(descriptor) {}

csp_TcpSocket::csp_TcpSocket(const csp_SocketAddress& local)
    : csp_ConnectableSocket(SOCK_STREAM, local.getFamily(), 0) {
    bindOrClose(local);
}

csp_TcpSocket::csp_TcpSocket(TcpBinding binding) : csp_ConnectableSocket(SOCK_STREAM, AF_INET, 0) {
    if (binding == bindToAnyPort)
        bindOrClose(csp_SocketAddress(0));
}

csp_TcpSocket::~csp_TcpSocket() = default;

// The destructor does not run for a constructor that raises, so the half-built socket is
// closed here.
void csp_TcpSocket::bindOrClose(const csp_SocketAddress& local) {
    try {
        bind(local);
    } catch (...) {
        close();
        throw;
    }
}

void csp_TcpSocket::reset() {
    csp_Socket::reset(SOCK_STREAM, AF_INET, 0);
}

void csp_TcpSocket::setKeepAlives(bool on) {
    setBoolOption(SO_KEEPALIVE, on);
}

bool csp_TcpSocket::getKeepAlives() const {
    return getBoolOption(SO_KEEPALIVE);
}

int csp_TcpSocket::listen(int backlog) const {
    csp_SocketError error;
    return csp_SocketOps::listen(descriptor, backlog, error) ? 0 : SOCKET_ERROR;
}

csp_TcpSocket csp_TcpSocket::acceptConnection() const {
    csp_SocketAddress peer(0);
    csp_SocketError error;
    csp_TcpSocket accepted = acceptConnection(peer, error);
    if (error.failed()) {
        aio_cout << "accept error: " << error.code() << "\n";
        aio_cout.flush();
    }
    return accepted;
}

csp_TcpSocket csp_TcpSocket::listenOn(const csp_SocketAddress& local, int backlog,
                                      csp_SocketError& error) {
    // The object first: it starts the platform's socket service, which the calls need.
    csp_TcpSocket listener(-1);
    listener.descriptor = csp_SocketOps::open(local.getFamily(), SOCK_STREAM, 0, error);
    if (!listener.isOpen())
        return listener;
    const sockaddr_in block = local;
    if (!csp_SocketOps::allowQuickRebind(listener.descriptor, error) ||
        !csp_SocketOps::bind(listener.descriptor, reinterpret_cast<const sockaddr*>(&block),
                             csp_SocketAddress::getLength(), error) ||
        !csp_SocketOps::listen(listener.descriptor, backlog, error))
        listener.close();
    return listener;
}

csp_TcpSocket csp_TcpSocket::acceptConnection(csp_SocketAddress& peer,
                                              csp_SocketError& error) const {
    sockaddr_in block;
    const int accepted = csp_SocketOps::accept(descriptor, block, error);
    if (accepted != -1)
        peer = block;
    return csp_TcpSocket(accepted);
}
