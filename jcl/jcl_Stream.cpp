#include "jcl/jcl_Stream.h"

#include "base/aio_ostream.h"
#include "csp/csp_IpAddress.h"

namespace {

const int readBufferSize = 2000;

} // namespace

jcl_Stream::jcl_Stream(const cow_String& host, unsigned port, int stanzaDepth, csp_TcpSocket socket)
    : socket(socket), reader(*this, stanzaDepth),
      serverAddress(csp_IpAddress(host), static_cast<int>(port)) {
    // Raises when the socket has no local address (it was never created or bound).
    socket.name();
}

jcl_Stream::~jcl_Stream() {
    DisconnectQuietly();
}

// Nothing may leave a destructor: a peer that is gone, or a socket that was never
// connected, makes the orderly end fail, and that is no reason to end the process.
void jcl_Stream::DisconnectQuietly() {
    try {
        if (socket.isOpen())
            socket.disconnect();
    } catch (...) {
    }
    try {
        socket.close();
    } catch (...) {
    }
}

void jcl_Stream::SetSocket(const csp_TcpSocket& s) {
    const bool autoClose = s.getAutoClose();
    csp_TcpSocket adopted(s);
    adopted.setToAutoClose(false);
    // Forget the old descriptor without closing it, then share the new one.
    socket.setToAutoClose(false);
    socket = adopted;
    socket.setToAutoClose(autoClose);
}

int jcl_Stream::Read() {
    char buffer[readBufferSize];
    const int received = socket.read(buffer, readBufferSize);
    if (received > 0)
        Feed(buffer, received);
    return received;
}

void jcl_Stream::Feed(const char* data, int length) {
    reader.Feed(data, length);
}

void jcl_Stream::Process() {
    while (!reader.HasFailed() && !reader.HasEnded()) {
        csp_SocketError error;
        const int ready = socket.waitReadable(0, error);
        if (ready < 0)
            return;
        if (ready > 0 && Read() <= 0)
            return;
    }
}

void jcl_Stream::HandleStanza(const jcl_Node& stanza) {
    aio_cout << stanza.Serialize();
    aio_cout.put('\n');
    aio_cout.flush();
}
