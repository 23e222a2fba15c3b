#include "csp/csp_TcpSocket.h"

#include "base/aio_ostream.h"
#include "csp/impl/csp_NetworkEx.h"

#include <cstring>

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
    return wsa::listen(descriptor, backlog);
}

csp_TcpSocket csp_TcpSocket::acceptConnection() const {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    int length = csp_SocketAddress::getLength();
    const wsa::SOCKET accepted =
        wsa::accept(descriptor, reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted == INVALID_SOCKET) {
        aio_cout << "accept error: " << wsa::WSAGetLastError() << "\n";
        aio_cout.flush();
        return csp_TcpSocket(-1);
    }
    return csp_TcpSocket(static_cast<int>(accepted));
}
