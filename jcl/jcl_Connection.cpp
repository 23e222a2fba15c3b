#include "jcl/jcl_Connection.h"

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_NetworkEx.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_TlsFilter.h"
#include "platform/platform_Sockets.h"
#include "xml/xml_Text.h"

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

bool isStreamFeatures(const cow_String& name) {
    const int length = name.length();
    return name == "features" || (length > 9 && name.Find(":features", length - 9) == length - 9);
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

// What the TLS filter and the log-in need of the connection, kept out of its exported header.
class jcl_Connection::Layers : public jcl_TlsFilter::Sink, public jcl_Negotiation::Link {
public:
    explicit Layers(jcl_Connection& connection) : connection(connection) {}

    void TlsToNetwork(const char* data, int length) override {
        if (!connection.WriteRaw(data, length))
            connection.state = streamEnded;
    }
    void TlsToApplication(const char* data, int length) override {
        connection.FeedReader(data, length);
    }
    void SendText(const cow_String& text) override {
        if (connection.state == streamOpen && !connection.WriteAll(text))
            connection.state = streamEnded;
    }
    void StartTls() override {
        jcl_Connection& c = connection;
        jcl_TlsFilter::Settings settings;
        settings.serverName = c.host.c_str();
        settings.caFile = c.logInSettings.caFile;
        settings.pinnedDigest = c.logInSettings.pinnedDigest;
        c.tls = jcl_TlsFilter::Create(*this, settings);
        // The stream begins anew inside TLS; whatever followed the server's go-ahead in the
        // clear is no part of it.
        c.reader.Reset();
        c.tls->Start();
        c.NoteTlsState();
    }
    void RestartStream() override {
        connection.reader.Reset();
        connection.WriteHeader();
    }
    cow_String NewId() override { return connection.NewId(); }

private:
    jcl_Connection& connection;
};

jcl_Connection::jcl_Connection()
    : socket(csp_TcpSocket::bindToAnyPort), host(), messageHandler(IgnoreStanza),
      presenceHandler(IgnoreStanza), iqHandler(IgnoreStanza), answerTimeout(defaultAnswerTimeout),
      reader(*this, 2), state(streamNotOpen), socketUsed(false), awaitingAnswer(false),
      lastAnswer(answerNone), handlerContext(nullptr), idCounter(0), layers(new Layers(*this)),
      logInSteps(-1), bytesSent(0), bytesReceived(0) {}

jcl_Connection::~jcl_Connection() = default;

bool jcl_Connection::Connect(const cow_String& host, int port) {
    const csp_IpAddress ip(host);
    this->host = host;
    // A name that found no address must not become the any-address, which reaches this
    // machine: the log-in would go to whatever listens here.
    if (!ip.isDefined())
        csp_NetworkException::throwError(csp_NetworkException::invalid_host,
                                         "no address found for the name");
    const csp_SocketAddress address(ip, port);
    // Whatever the socket went through before (a closed stream, a failed connection
    // attempt, a peer that went away), the new stream starts on a fresh one.
    if (socketUsed || !socket.isOpen())
        socket.reset();
    socketUsed = true;
    state = streamNotOpen;
    lastAnswer = answerNone;
    idCounter = 0;
    earlyHeader = jcl_Node();
    earlyFeatures = jcl_Node();
    bytesSent = 0;
    bytesReceived = 0;
    ResetLayers();
    reader.Reset();
    socket.connectTo(address);
    socket.setKeepAlives(true);
    state = streamOpen;
    WriteHeader();
    return state == streamOpen;
}

bool jcl_Connection::TryConnect(const cow_String& host, int port, std::string& cause) {
    try {
        if (Connect(host, port))
            return true;
        cause = "the connection took no stream header";
    } catch (const csp_NetworkException& failure) {
        cause = DescribeConnectFailure(failure);
    } catch (...) {
        cause = "the connection could not be made";
    }
    return false;
}

std::string jcl_Connection::DescribeConnectFailure(const csp_NetworkException& failure) {
    if (failure.getCode() == csp_NetworkException::invalid_host)
        return "no such host";
    if (failure.getCode() == csp_NetworkException::system_call_timout)
        return "no answer within " +
               std::to_string(csp_ConnectableSocket::connectTimeoutMilliseconds / 1000) + " s";
    return csp_NetworkException::lastSystemErrorText().c_str();
}

void jcl_Connection::ResetLayers() {
    negotiation.reset();
    tls.reset();
    logInSteps = -1;
}

void jcl_Connection::WriteHeader() {
    cow_String header("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"");
    header.append("http://etherx.jabber.org/streams");
    header.append("\" to=\"");
    xml_Text::AppendEscaped(header, host);
    header.append("\" version=\"1.0\" xmlns=\"jabber:client\">\n");
    if (!WriteAll(header))
        state = streamEnded;
}

cow_String jcl_Connection::NewId() {
    return cow_String(("jcl" + std::to_string(++idCounter)).c_str());
}

void jcl_Connection::BeginLogIn(const jcl_LogInSettings& settings) {
    tls.reset();
    logInSettings = settings;
    negotiation.reset(new jcl_Negotiation(*layers, settings, host));
    logInSteps = -1;
    // What the server said before the log-in began (a Receive after Connect) is its first.
    if (!earlyHeader.GetTagName().IsEmpty())
        negotiation->StreamStarted(earlyHeader);
    if (!earlyFeatures.GetTagName().IsEmpty())
        negotiation->HandleElement(earlyFeatures);
    earlyHeader = jcl_Node();
    earlyFeatures = jcl_Node();
    reader.DeliverQueued();
    NoteLogInState();
}

bool jcl_Connection::LogInRunning() const {
    return negotiation && negotiation->GetOutcome() == jcl_Negotiation::inProgress;
}

bool jcl_Connection::LogIn(const jcl_LogInSettings& settings) {
    BeginLogIn(settings);
    while (LogInRunning()) {
        const int ready = WaitForData(socket.getDescriptor(), answerTimeout > 0, stepDeadline);
        if (ready == 0) {
            CheckLogInTime();
            break;
        }
        if (ready != 1) {
            negotiation->StreamEnded("the connection failed during the log-in");
            break;
        }
        try {
            ReadAndDispatch();
        } catch (const csp_NetworkException&) {
            negotiation->StreamEnded("the connection failed during the log-in");
        }
    }
    if (GetLogInOutcome() == loggedIn)
        return true;
    try {
        Disconnect();
    } catch (const csp_NetworkException&) {
    }
    return false;
}

// Each step of the server's gets the whole answer timeout, counted from the one before.
void jcl_Connection::NoteLogInState() {
    if (!LogInRunning())
        return;
    if (state != streamOpen) {
        negotiation->StreamEnded(reader.HasFailed()
                                     ? "the server sent what cannot be read as XML"
                                     : "the server closed the connection during the log-in");
        return;
    }
    if (negotiation->GetSteps() != logInSteps) {
        logInSteps = negotiation->GetSteps();
        stepDeadline = DeadlineIn(answerTimeout);
    }
}

void jcl_Connection::CheckLogInTime() {
    NoteLogInState();
    if (LogInRunning() && answerTimeout > 0 && Clock::now() >= stepDeadline)
        negotiation->TimedOut(answerTimeout);
}

jcl_Connection::LogInOutcome jcl_Connection::GetLogInOutcome() const {
    if (!negotiation)
        return logInNotStarted;
    switch (negotiation->GetOutcome()) {
    case jcl_Negotiation::loggedIn:
        return loggedIn;
    case jcl_Negotiation::failed:
        return logInFailed;
    default:
        return logInInProgress;
    }
}

jcl_Negotiation::Failure jcl_Connection::GetLogInFailure() const {
    return negotiation ? negotiation->GetFailure() : jcl_Negotiation::noFailure;
}

std::string jcl_Connection::GetLogInFailureText() const {
    return negotiation ? negotiation->GetFailureText() : std::string();
}

std::string jcl_Connection::GetCertificateFingerprint() const {
    return tls ? tls->GetPeerFingerprint() : std::string();
}

std::string jcl_Connection::GetLogInMechanism() const {
    return negotiation ? negotiation->GetMechanism() : std::string();
}

bool jcl_Connection::SentPasswordInClear() const {
    return negotiation && negotiation->SentPasswordInClear();
}

cow_String jcl_Connection::GetBoundAddress() const {
    return negotiation ? negotiation->GetBoundAddress() : cow_String();
}

bool jcl_Connection::IsEncrypted() const {
    return tls && tls->GetState() == jcl_TlsFilter::established;
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
    request.id = NewId();
    Send(request);
    return AwaitAnswer(request.id);
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
    request.id = NewId();
    Send(request);
    return AwaitAnswer(request.id);
}

// The answer is the result or error that carries the request's id; other iqs go to the
// handler like any stanza.
bool jcl_Connection::AwaitAnswer(const cow_String& id) {
    const bool limited = answerTimeout > 0;
    const Clock::time_point deadline = DeadlineIn(answerTimeout);
    awaitingAnswer = true;
    awaitedId = id;
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

// Through TLS once it is up; TLS that has failed takes nothing more.
bool jcl_Connection::WriteAll(const cow_String& text) {
    if (!tls)
        return WriteRaw(text.c_str(), text.length());
    if (tls->GetState() != jcl_TlsFilter::established)
        return false;
    tls->ToNetwork(text.c_str(), text.length());
    return state == streamOpen && tls->GetState() == jcl_TlsFilter::established;
}

// A short write leaves the rest to write; a write that takes nothing means the
// connection can take no more.
bool jcl_Connection::WriteRaw(const char* data, int left) {
    while (left > 0) {
        const int written = socket.write(data, left);
        if (written <= 0)
            return false;
        bytesSent.fetch_add(written, std::memory_order_relaxed);
        data += written;
        left -= written;
    }
    return true;
}

void jcl_Connection::Receive(int timeout) {
    reader.DeliverQueued();
    NoteLogInState();
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
        NoteLogInState();
        return;
    }
    bytesReceived.fetch_add(received, std::memory_order_relaxed);
    if (!tls) {
        FeedReader(buffer, received);
        return;
    }
    try {
        tls->FromNetwork(buffer, received);
    } catch (...) {
        NoteTlsState();
        throw;
    }
    NoteTlsState();
}

void jcl_Connection::FeedReader(const char* data, int length) {
    try {
        reader.Feed(data, length);
    } catch (...) {
        NoteReaderState();
        throw;
    }
    NoteReaderState();
}

void jcl_Connection::NoteReaderState() {
    if (reader.HasFailed() || reader.HasEnded())
        state = streamEnded;
    NoteLogInState();
}

// The handshake's end moves the log-in on; a failure, or the server's end of TLS, ends the
// stream.
void jcl_Connection::NoteTlsState() {
    if (!tls)
        return;
    const jcl_TlsFilter::State tlsState = tls->GetState();
    if (LogInRunning()) {
        if (tlsState == jcl_TlsFilter::established)
            negotiation->TlsEstablished();
        else if (tlsState == jcl_TlsFilter::failed)
            negotiation->TlsFailed(tls->GetFailure() == jcl_TlsFilter::certificateUntrusted,
                                   tls->GetFailureText());
    }
    if (tlsState == jcl_TlsFilter::failed || tlsState == jcl_TlsFilter::closed)
        state = streamEnded;
    NoteLogInState();
}

void jcl_Connection::HandleStreamStart(const jcl_Node& header) {
    if (LogInRunning())
        negotiation->StreamStarted(header);
    else if (!negotiation)
        earlyHeader = header;
}

void jcl_Connection::HandleStanza(const jcl_Node& node) {
    if (LogInRunning() && negotiation->HandleElement(node))
        return;
    if (!negotiation && earlyFeatures.GetTagName().IsEmpty() &&
        !earlyHeader.GetTagName().IsEmpty() && isStreamFeatures(node.GetTagName()))
        earlyFeatures = node;
    const cow_String& name = node.GetTagName();
    if (name == "message") {
        jcl_Message message(node);
        messageHandler(*this, message);
    } else if (name == "presence") {
        jcl_Presence presence(node);
        presenceHandler(*this, presence);
    } else if (name == "iq") {
        jcl_IQ iq(node);
        if (awaitingAnswer && lastAnswer == answerNone && iq.id == awaitedId) {
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
    // A stream that has ended, or was never opened, has nothing to close.
    if (open) {
        try {
            // While the stream is still open, so that TLS encrypts it.
            WriteAll(streamFooter);
            if (tls)
                tls->Close();
        } catch (...) {
            state = streamNotOpen;
            socket.close();
            throw;
        }
    }
    state = streamNotOpen;
    socket.close();
    return true;
}

csp_SocketAddress jcl_Connection::GetPeerAddress() const {
    try {
        return socket.peerAddress();
    } catch (const csp_NetworkException&) {
        return csp_SocketAddress(0);
    }
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
