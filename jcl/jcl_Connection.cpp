#include "jcl/jcl_Connection.h"

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "platform/platform_Sockets.h"

#include <atomic>
#include <chrono>

namespace {

const int readBufferSize = 2000;

void IgnoreStanza(jcl_Connection&, jcl_Entity&) {}

// Whole or failed: half a stanza left on the stream would make the server drop it.
void WriteText(csp_TcpSocket& socket, const cow_String& text) {
    socket.writeAll(text.c_str(), text.length());
}

std::atomic<int> moduleUseCount(0);

// 1 when readable, 0 on time-out, SOCKET_ERROR when the wait fails. A timeout of 0
// or less waits without limit. Each platform wait is at most a second, which keeps
// the microsecond count within a 32-bit long.
int WaitForData(int descriptor, int timeout) {
    typedef std::chrono::steady_clock Clock;
    const bool limited = timeout > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(limited ? timeout : 0);
    for (;;) {
        long slice = 1000000L;
        if (limited) {
            const long long left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0)
                return 0;
            if (left < slice)
                slice = static_cast<long>(left);
        }
        const int ready = wsa::waitUntilReadable(descriptor, slice);
        if (ready != 0)
            return ready;
    }
}

} // namespace

jcl_Connection::jcl_Connection()
    : socket(csp_TcpSocket::bindToAnyPort), host(), messageHandler(IgnoreStanza),
      presenceHandler(IgnoreStanza), iqHandler(IgnoreStanza), answerTimeout(defaultAnswerTimeout) {}

jcl_Connection::~jcl_Connection() = default;

bool jcl_Connection::Connect(const cow_String& host, int port) {
    const csp_SocketAddress address(csp_IpAddress(host), port);
    this->host = host;
    // A connection closed by Disconnect gets a fresh socket to connect with.
    if (!socket.isOpen())
        socket.reset();
    socket.connectTo(address);
    socket.setKeepAlives(true);
    cow_String header("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"");
    header.append("http://etherx.jabber.org/streams");
    header.append("\" to=\"");
    header.append(this->host);
    header.append("\" xmlns=\"jabber:client\">\n");
    return socket.write(header.c_str(), header.length()) != 0;
}

bool jcl_Connection::Register(const cow_String& name, const cow_String& username,
                              const cow_String& password) {
    jcl_IQ request;
    request.SetTo(host);
    request.SetType("set");
    request.SetQueryNamespace("jabber:iq:register");
    request.SetName(name);
    request.SetUsername(username);
    request.SetPassword(password);
    request.SetEmail("dummy");
    Send(request);
    Receive(answerTimeout);
    return true;
}

bool jcl_Connection::Authorize(const cow_String& username, const cow_String& password,
                               const cow_String& resource) {
    jcl_IQ request;
    request.SetTo(host);
    request.SetType("set");
    request.SetQueryNamespace("jabber:iq:auth");
    request.SetUsername(username);
    request.SetPassword(password);
    request.SetResource(resource);
    Send(request);
    Receive(answerTimeout);
    return true;
}

bool jcl_Connection::Send(const jcl_Entity& stanza) {
    const cow_String text = stanza.Serialize();
    try {
        WriteText(socket, text);
    } catch (...) {
    }
    return true;
}

void jcl_Connection::Receive(int timeout) {
    if (!socket.isOpen())
        return;
    if (WaitForData(socket.getDescriptor(), timeout) != 1)
        return;
    char buffer[readBufferSize];
    const int received = socket.read(buffer, readBufferSize);
    Dispatch(buffer, received > 0 ? received : 0);
}

void jcl_Connection::Dispatch(const char* text, int length) {
    const jcl_Node node = jcl_DocumentParser::Parse(text, length);
    const cow_String& name = node.GetTagName();
    if (name == "message") {
        jcl_Message message(node);
        messageHandler(*this, message);
    } else if (name == "presence") {
        jcl_Presence presence(node);
        presenceHandler(*this, presence);
    } else if (name == "iq") {
        jcl_IQ iq(node);
        iqHandler(*this, iq);
    }
}

void jcl_Connection::SetMessageHandler(Handler handler) {
    messageHandler = handler != nullptr ? handler : IgnoreStanza;
}

void jcl_Connection::SetPresenceHandler(Handler handler) {
    presenceHandler = handler != nullptr ? handler : IgnoreStanza;
}

void jcl_Connection::SetIQHandler(Handler handler) {
    iqHandler = handler != nullptr ? handler : IgnoreStanza;
}

bool jcl_Connection::Disconnect() {
    // A second Disconnect, or one without a connection, has no stream to close.
    try {
        if (socket.isOpen() && socket.isConnected())
            WriteText(socket, "</stream:stream>\n");
    } catch (...) {
        socket.close();
        throw;
    }
    socket.close();
    return true;
}

bool jcl_Connection::IsConnected() const {
    return socket.isConnected();
}

bool jcl_Connection::IsUsable() const {
    return socket.canRead();
}

void jcl_Connection::Interrupt() {
    socket.interrupt();
}

void jcl_initialize(int& moduleCount) {
    if (moduleUseCount.fetch_add(1) == 0)
        ++moduleCount;
}

void jcl_finalize(int& moduleCount) {
    // An unpaired finalize leaves the counter at 0 rather than below it.
    int current = moduleUseCount.load();
    while (current > 0 && !moduleUseCount.compare_exchange_weak(current, current - 1)) {
    }
    if (current == 1)
        --moduleCount;
}
