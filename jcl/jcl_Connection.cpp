#include "jcl/jcl_Connection.h"

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_NetworkEx.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_TlsFilter.h"
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

// 1 when readable, 0 once the deadline has passed, -1 when the wait fails. Without a
// limit it waits for ever, a second at a time.
int WaitForData(const csp_TcpSocket& socket, bool limited, Clock::time_point deadline) {
    for (;;) {
        int slice = 1000;
        if (limited) {
            const long long left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0)
                return 0;
            // Rounded up: a wait of less than a millisecond is still a wait.
            if (left < slice * 1000LL)
                slice = static_cast<int>((left + 999) / 1000);
        }
        csp_SocketError error;
        const int ready = socket.waitReadable(slice, error);
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

    void TlsToNetwork(const char* data, int length) override { connection.WriteRaw(data, length); }
    void TlsToApplication(const char* data, int length) override {
        connection.FeedReader(data, length);
    }
    void SendText(const cow_String& text) override {
        if (connection.state == streamOpen)
            connection.WriteAll(text);
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
      reader(*this, 2), state(streamNotOpen), endReason(notEnded), socketUsed(false),
      awaitingAnswer(false), lastAnswer(answerNone), handlerContext(nullptr), idCounter(0),
      layers(new Layers(*this)), logInSteps(-1), bytesSent(0), bytesReceived(0) {}

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
    endReason = notEnded;
    endText.clear();
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
    return failure.getSystemError().text();
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
    WriteAll(header);
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
        const int ready = WaitForData(socket, answerTimeout > 0, stepDeadline);
        if (ready == 0) {
            CheckLogInTime();
            break;
        }
        csp_SocketError failure;
        if (ready != 1 || !ReadAndDispatch(failure)) {
            negotiation->StreamEnded("the connection failed during the log-in");
            if (ready != 1)
                break;
        }
    }
    if (GetLogInOutcome() == loggedIn)
        return true;
    Disconnect();
    return false;
}

// Each step of the server's gets the whole answer timeout, counted from the one before.
void jcl_Connection::NoteLogInState() {
    if (!LogInRunning())
        return;
    if (state != streamOpen) {
        negotiation->StreamEnded(reader.HasFailed() ? "the server sent what cannot be read as XML"
                                 : endReason == readFailed
                                     ? "the connection failed during the log-in"
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
    csp_SocketError failure;
    try {
        reader.DeliverQueued();
        while (lastAnswer == answerNone && state == streamOpen &&
               WaitForData(socket, limited, deadline) == 1)
            if (!ReadAndDispatch(failure))
                RaiseReadFailure(failure);
    } catch (...) {
        awaitingAnswer = false;
        throw;
    }
    awaitingAnswer = false;
    return lastAnswer == answerResult;
}

bool jcl_Connection::Send(const jcl_Entity& stanza) {
    if (state == streamOpen)
        WriteAll(stanza.Serialize());
    return true;
}

// Through TLS once it is up; TLS that has failed takes nothing more.
bool jcl_Connection::WriteAll(const cow_String& text) {
    if (!tls)
        return WriteRaw(text.c_str(), text.length());
    if (tls->GetState() != jcl_TlsFilter::established) {
        EndStream(writeFailed, "TLS is not up to encrypt what is sent");
        return false;
    }
    tls->ToNetwork(text.c_str(), text.length());
    return state == streamOpen && tls->GetState() == jcl_TlsFilter::established;
}

// A short write leaves the rest to write; a write that takes nothing means the
// connection can take no more.
bool jcl_Connection::WriteRaw(const char* data, int left) {
    while (left > 0) {
        csp_SocketError error;
        const int written = socket.write(data, left, error);
        if (written <= 0) {
            EndStream(writeFailed,
                      error.failed() ? error.text() : std::string("the connection takes no more"));
            return false;
        }
        bytesSent.fetch_add(written, std::memory_order_relaxed);
        data += written;
        left -= written;
    }
    return true;
}

void jcl_Connection::Receive(int timeout) {
    csp_SocketError failure;
    if (!ReceiveOnce(timeout, failure))
        RaiseReadFailure(failure);
}

bool jcl_Connection::TryReceive(int timeout) {
    try {
        csp_SocketError failure;
        ReceiveOnce(timeout, failure);
    } catch (...) {
        // A handler's, which has no way out of here; the stanzas after its own wait for the
        // next receive.
    }
    return state == streamOpen;
}

bool jcl_Connection::HasDataWaiting() const {
    return state == streamOpen && socket.waitReadable(0);
}

bool jcl_Connection::ReceiveOnce(int timeout, csp_SocketError& failure) {
    reader.DeliverQueued();
    NoteLogInState();
    if (state != streamOpen)
        return true;
    if (WaitForData(socket, timeout > 0, DeadlineIn(timeout)) != 1)
        return true;
    return ReadAndDispatch(failure);
}

// The read's own failure, raised as the socket layer raises it.
void jcl_Connection::RaiseReadFailure(const csp_SocketError& failure) {
    csp_NetworkException::throwError(csp_NetworkException::read_failed, "socket_error", failure);
}

void jcl_Connection::EndStream(EndReason reason, const std::string& text) {
    if (state != streamOpen)
        return;
    state = streamEnded;
    endReason = reason;
    endText = text;
}

bool jcl_Connection::ReadAndDispatch(csp_SocketError& failure) {
    char buffer[readBufferSize];
    const int received = socket.read(buffer, readBufferSize, failure);
    if (failure.failed()) {
        EndStream(readFailed, failure.text());
        return false;
    }
    if (received <= 0) {
        EndStream(serverClosed, "the server closed the connection");
        NoteLogInState();
        return true;
    }
    bytesReceived.fetch_add(received, std::memory_order_relaxed);
    if (!tls) {
        FeedReader(buffer, received);
        return true;
    }
    try {
        tls->FromNetwork(buffer, received);
    } catch (...) {
        NoteTlsState();
        throw;
    }
    NoteTlsState();
    return true;
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
    if (reader.HasFailed())
        EndStream(unreadableInput, "the server sent what cannot be read as XML");
    else if (reader.HasEnded())
        EndStream(serverEndedStream, "the server ended the stream");
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
    if (tlsState == jcl_TlsFilter::failed)
        EndStream(tlsFailed, "TLS failed: " + tls->GetFailureText());
    else if (tlsState == jcl_TlsFilter::closed)
        EndStream(serverEndedStream, "the server ended TLS");
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
        const cow_String condition =
            node.children.Count() > 0 ? node.children.ConstGet(0).GetTagName() : cow_String();
        EndStream(streamError, condition.IsEmpty()
                                   ? std::string("the server ended the stream with an error")
                                   : "the server ended the stream with an error (" +
                                         std::string(condition.c_str()) + ")");
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
    bool inOrder = true;
    // A stream that has ended, or was never opened, has nothing to close.
    if (state == streamOpen) {
        try {
            // While the stream is still open, so that TLS encrypts it.
            WriteAll(streamFooter);
            if (tls)
                tls->Close();
        } catch (...) {
            EndStream(writeFailed, "the stream could not be closed");
        }
        inOrder = state == streamOpen;
        if (inOrder) {
            endReason = closedHere;
            endText = "closed by this side";
        }
    }
    state = streamNotOpen;
    socket.close();
    return inOrder;
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
