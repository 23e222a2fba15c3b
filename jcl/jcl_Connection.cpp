#include "jcl/jcl_Connection.h"

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_XmlText.h"
#include "platform/platform_Sockets.h"

#include <atomic>
#include <chrono>

namespace {

const int readBufferSize = 2000;
const char streamFooter[] = "</stream:stream>\n";

typedef std::chrono::steady_clock Clock;

void IgnoreStanza(jcl_Connection&, jcl_Entity&) {}

std::atomic<int> moduleUseCount(0);

// A stream error is the stream namespace's "error" element, under whatever prefix
// the server declared for that namespace.
bool isStreamError(const cow_String& name) {
    const int length = name.length();
    return length > 6 && name.Find(":error", length - 6) == length - 6;
}

// 1 when readable, 0 once the deadline has passed, SOCKET_ERROR when the wait fails.
// Without a limit it waits for ever. Each platform wait is at most a second, which
// keeps the microsecond count within a 32-bit long.
int WaitForData(int descriptor, bool limited, Clock::time_point deadline) {
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

Clock::time_point DeadlineIn(int milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
}

} // namespace

jcl_Connection::jcl_Connection()
    : socket(csp_TcpSocket::bindToAnyPort), host(), messageHandler(IgnoreStanza),
      presenceHandler(IgnoreStanza), iqHandler(IgnoreStanza), answerTimeout(defaultAnswerTimeout),
      reader(*this, 2), state(streamNotOpen), socketUsed(false), awaitingAnswer(false),
      lastAnswer(answerNone), handlerContext(nullptr) {}

jcl_Connection::~jcl_Connection() = default;

bool jcl_Connection::Connect(const cow_String& host, int port) {
    const csp_SocketAddress address(csp_IpAddress(host), port);
    this->host = host;
    // Whatever the socket went through before (a closed stream, a failed connection
    // attempt, a peer that went away), the new stream starts on a fresh one.
    if (socketUsed || !socket.isOpen())
        socket.reset();
    socketUsed = true;
    state = streamNotOpen;
    lastAnswer = answerNone;
    reader.Reset();
    socket.connectTo(address);
    socket.setKeepAlives(true);
    cow_String header("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"");
    header.append("http://etherx.jabber.org/streams");
    header.append("\" to=\"");
    jcl_XmlText::AppendEscaped(header, this->host);
    header.append("\" xmlns=\"jabber:client\">\n");
    const bool written = WriteAll(header);
    state = written ? streamOpen : streamEnded;
    return written;
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
    return AwaitAnswer();
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
    return AwaitAnswer();
}

// The requests carry no id, so the answer is the first result or error that arrives.
bool jcl_Connection::AwaitAnswer() {
    const bool limited = answerTimeout > 0;
    const Clock::time_point deadline = DeadlineIn(answerTimeout);
    awaitingAnswer = true;
    lastAnswer = answerNone;
    try {
        reader.DeliverQueued();
        while (lastAnswer == answerNone && state == streamOpen &&
               WaitForData(socket.getDescriptor(), limited, deadline) == 1)
            ReadAndDispatch();
    } catch (...) {
        awaitingAnswer = false;
        throw;
    }
    awaitingAnswer = false;
    return lastAnswer == answerResult;
}

bool jcl_Connection::Send(const jcl_Entity& stanza) {
    if (state != streamOpen)
        return true;
    const cow_String text = stanza.Serialize();
    try {
        if (!WriteAll(text))
            state = streamEnded;
    } catch (...) {
        state = streamEnded;
    }
    return true;
}

// A short write leaves the rest to write; a write that takes nothing means the
// connection can take no more.
bool jcl_Connection::WriteAll(const cow_String& text) {
    const char* data = text.c_str();
    int left = text.length();
    while (left > 0) {
        const int written = socket.write(data, left);
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

void jcl_Connection::Receive(int timeout) {
    reader.DeliverQueued();
    if (state != streamOpen)
        return;
    if (WaitForData(socket.getDescriptor(), timeout > 0, DeadlineIn(timeout)) != 1)
        return;
    ReadAndDispatch();
}

void jcl_Connection::ReadAndDispatch() {
    char buffer[readBufferSize];
    int received;
    try {
        received = socket.read(buffer, readBufferSize);
    } catch (...) {
        state = streamEnded;
        throw;
    }
    if (received <= 0) {
        state = streamEnded;
        return;
    }
    try {
        reader.Feed(buffer, received);
    } catch (...) {
        NoteReaderState();
        throw;
    }
    NoteReaderState();
}

void jcl_Connection::NoteReaderState() {
    if (reader.HasFailed() || reader.HasEnded())
        state = streamEnded;
}

void jcl_Connection::HandleStanza(const jcl_Node& node) {
    const cow_String& name = node.GetTagName();
    if (name == "message") {
        jcl_Message message(node);
        messageHandler(*this, message);
    } else if (name == "presence") {
        jcl_Presence presence(node);
        presenceHandler(*this, presence);
    } else if (name == "iq") {
        jcl_IQ iq(node);
        if (awaitingAnswer && lastAnswer == answerNone) {
            if (iq.type == "result")
                lastAnswer = answerResult;
            else if (iq.type == "error")
                lastAnswer = answerError;
        }
        iqHandler(*this, iq);
    } else if (isStreamError(name)) {
        state = streamEnded;
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
    const bool open = state == streamOpen;
    state = streamNotOpen;
    // A stream that has ended, or was never opened, has nothing to close.
    if (open) {
        try {
            WriteAll(streamFooter);
        } catch (...) {
            socket.close();
            throw;
        }
    }
    socket.close();
    return true;
}

bool jcl_Connection::IsConnected() const {
    return socket.isConnected();
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
