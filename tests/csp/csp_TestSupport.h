#ifndef TESTS_CSP_CSP_TESTSUPPORT_H
#define TESTS_CSP_CSP_TESTSUPPORT_H

#include "base/aio_ostream.h"
#include "base/cow_String.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "platform/platform_Sockets.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace csp_test {

const unsigned loopbackHostOrder = 0x7f000001u;

inline csp_SocketAddress loopback(int port) {
    return csp_SocketAddress(csp_IpAddress(loopbackHostOrder), port);
}

// A listener on 127.0.0.1 with a port the platform picked.
inline csp_TcpSocket loopbackListener() {
    csp_TcpSocket listener(loopback(0));
    listener.listen(4);
    return listener;
}

// A listener on a port of 127.0.0.1 that was in use shortly before, such as a monitor's that
// comes back: connections of the earlier one may linger.
inline csp_TcpSocket loopbackListenerOn(int port, int backlog = 4) {
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReuseAddress(true);
    listener.bind(loopback(port));
    listener.listen(backlog);
    return listener;
}

// A listener whose accept queue is full: listen(0) holds one connection nobody accepts, and
// the system drops the handshakes that come after it, so that a connect never completes.
struct FullListener {
    csp_TcpSocket listener = loopbackListenerOn(0, 0);
    std::vector<csp_TcpSocket> queued;

    FullListener() {
        for (int i = 0; i < 2; ++i) {
            queued.emplace_back(csp_TcpSocket::doNotBind);
            const sockaddr_in address = loopback(Port());
            wsa::connectWithin(queued.back().getDescriptor(),
                               reinterpret_cast<const sockaddr*>(&address), sizeof address, 200000);
        }
    }
    int Port() const { return listener.name().getPort(); }
};

inline csp_TcpSocket connectedTo(const csp_TcpSocket& listener) {
    csp_TcpSocket client(csp_TcpSocket::doNotBind);
    client.connectTo(loopback(listener.name().getPort()));
    return client;
}

// Both ends of one loopback connection.
struct Connection {
    csp_TcpSocket listener = loopbackListener();
    csp_TcpSocket client = connectedTo(listener);
    csp_TcpSocket server = listener.acceptConnection();

    // A close with a zero linger time resets the connection.
    void resetFromServer() {
        server.setLinger(true, 0);
        server.close();
    }
};

// Reads exactly `count` bytes (or up to the end of stream).
inline std::string readBytes(csp_ConnectableSocket& socket, int count) {
    std::string text;
    char buffer[256];
    while (static_cast<int>(text.size()) < count) {
        const int wanted = std::min<int>(sizeof buffer, count - static_cast<int>(text.size()));
        const int received = socket.read(buffer, wanted);
        if (received <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(received));
    }
    return text;
}

inline int writeText(csp_ConnectableSocket& socket, const std::string& text) {
    return socket.write(text.data(), static_cast<int>(text.size()));
}

// A console stream into a temporary file, read back as text.
class CapturedStream {
public:
    CapturedStream() : file(std::tmpfile()), stream(file) {}
    ~CapturedStream() { std::fclose(file); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    aio_ostream& out() { return stream; }
    std::FILE* target() { return file; }

    std::string text() {
        stream.flush();
        std::fflush(file);
        std::rewind(file);
        std::string result;
        int character;
        while ((character = std::fgetc(file)) != EOF)
            result.push_back(static_cast<char>(character));
        return result;
    }

private:
    std::FILE* file;
    aio_ostream stream;
};

// Everything aio_cout receives while the object lives.
class CapturedConsole {
public:
    CapturedConsole() : previous(aio_cout.SetTarget(captured.target())) {}
    ~CapturedConsole() { aio_cout.SetTarget(previous); }
    CapturedConsole(const CapturedConsole&) = delete;
    CapturedConsole& operator=(const CapturedConsole&) = delete;

    std::string text() {
        aio_cout.flush();
        return captured.text();
    }

private:
    CapturedStream captured;
    std::FILE* previous;
};

template <class T> std::string printed(const T& value) {
    CapturedStream captured;
    captured.out() << value;
    return captured.text();
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace csp_test

#endif
