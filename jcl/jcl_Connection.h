#ifndef JCL_JCL_CONNECTION_H
#define JCL_JCL_CONNECTION_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_LogInSettings.h"
#include "jcl/jcl_Negotiation.h"
#include "jcl/jcl_StreamReader.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

class csp_NetworkException;
class jcl_Entity;
class jcl_TlsFilter;

// The XMPP client: one TCP connection to a server over which it opens a client
// stream, logs in (STARTTLS, SASL, resource binding; or the old registration and iq:auth
// for a server that knows nothing newer), sends stanzas and, on demand, reads and hands
// every stanza that has arrived complete to the installed handler. One reader takes the
// server's stream from the first byte to the last, so stanzas that arrive together or
// in pieces are all dispatched, whole and in order. TLS sits between the stream and the
// socket as a filter on bytes, so a caller waits on the socket's descriptor either way.
class QORKEL_API jcl_Connection : private jcl_StreamReader::Sink {
public:
    // Called with the connection and the received stanza (a jcl_Message,
    // jcl_Presence or jcl_IQ); the stanza lives only for the call.
    typedef void (*Handler)(jcl_Connection& connection, jcl_Entity& stanza);

    // How long Register and Authorize wait for the server's answer: a server that
    // accepts the connection and never answers must not hold the caller for ever.
    static constexpr int defaultAnswerTimeout = 10000;

    jcl_Connection();
    // Sends nothing; a connection still open is closed with the socket.
    ~jcl_Connection() override;
    jcl_Connection(const jcl_Connection&) = delete;
    jcl_Connection& operator=(const jcl_Connection&) = delete;

    // Connects to host (dotted or a name to look up) and writes the client stream
    // header (version 1.0), host escaped. A connection used before starts over on a fresh
    // socket, without TLS, and reads the new stream from its beginning. Lookup and connection
    // failures raise csp_NetworkException. Answers whether the whole header was written.
    bool Connect(const cow_String& host, int port);
    // Connect for a caller that must take no exception from the library (a Windows program
    // whose runtime is its own cannot catch one that the library's DLL raises): false, with
    // the cause in a few words, where Connect raises or answers false.
    bool TryConnect(const cow_String& host, int port, std::string& cause);
    // Why a connection attempt failed, in a few words: "connection refused: nothing listens
    // on that port", "no such host", "no answer within 5 s".
    static std::string DescribeConnectFailure(const csp_NetworkException& failure);

    enum LogInOutcome { logInNotStarted, logInInProgress, loggedIn, logInFailed };
    // After Connect: the whole log-in, each of the server's steps awaited at most the answer
    // timeout. True once the resource is bound. On false, GetLogInFailureText says why in one
    // line, and the stream is closed. Nothing that proves the password is sent before the
    // certificate policy is met.
    bool LogIn(const jcl_LogInSettings& settings);
    // The same log-in for a caller with a poll loop of its own: sends what comes first, and
    // each Receive then moves it on; CheckLogInTime fails it once a step is overdue.
    void BeginLogIn(const jcl_LogInSettings& settings);
    void CheckLogInTime();
    LogInOutcome GetLogInOutcome() const;
    // noFailure while nothing failed.
    jcl_Negotiation::Failure GetLogInFailure() const;
    std::string GetLogInFailureText() const;
    // SHA-256 fingerprint of the server's certificate ("AB:01:..."), once TLS has shown it.
    std::string GetCertificateFingerprint() const;
    // "SCRAM-SHA-1", "PLAIN", "iq:auth"; empty before the log-in chose one.
    std::string GetLogInMechanism() const;
    // The log-in sent the password unencrypted (a registration or iq:auth to a server
    // without TLS).
    bool SentPasswordInClear() const;
    // The full address the server gave this session.
    cow_String GetBoundAddress() const;
    bool IsEncrypted() const;

    // What the server answered the last Register or Authorize.
    enum Answer { answerNone, answerResult, answerError };

    // Sends a registration request (with a new id) and waits, at most the answer timeout,
    // for the server's answer to it (an iq of type result or error with that id),
    // dispatching everything that arrives meanwhile. True when the answer is a result; false when
    // it is an error (as it is for an account that exists), when none came within the timeout or
    // when the stream ended first. GetLastAnswer tells these apart.
    bool Register(const cow_String& name, const cow_String& username, const cow_String& password);
    // Sends a plain-text log-in request and waits for its answer as Register does. True
    // only when the server answered with a result: an error is a refused log-in, and a
    // server that does not answer has not let the client in either.
    bool Authorize(const cow_String& username, const cow_String& password,
                   const cow_String& resource);
    Answer GetLastAnswer() const { return lastAnswer; }
    // Writes all of the stanza's XML while the stream is open (encrypted once TLS is up). A
    // failed write raises nothing: it ends the stream, with its reason (GetEndReason). Always
    // true.
    bool Send(const jcl_Entity& stanza);
    // Waits at most timeout milliseconds (without limit when 0 or less) for data,
    // reads once (at most 2000 bytes) and dispatches every stanza that is complete.
    // A failing read ends the stream and raises; so does a handler, and the stanzas after
    // the one whose handler raised are dispatched by the next Receive.
    void Receive(int timeout);
    // Receive for a caller that must take no exception from the library (a Windows program
    // whose runtime is its own cannot catch one that the library's DLL raises): a failing
    // read ends the stream with its reason and raises nothing. Handlers must not raise.
    // Answers whether the stream is still open.
    bool TryReceive(int timeout);
    // Whether the stream is open and data waits to be read now.
    bool HasDataWaiting() const;
    // A null handler stands for the default, which does nothing.
    void SetMessageHandler(Handler handler);
    void SetPresenceHandler(Handler handler);
    void SetIQHandler(Handler handler);
    // Whatever the handlers need to know beyond the stanza; null unless set.
    void SetHandlerContext(void* context) { handlerContext = context; }
    void* GetHandlerContext() const { return handlerContext; }
    // Writes the stream footer (while the stream is open), ends TLS and closes the socket.
    // Raises nothing: false when the footer could not be written (the reason in
    // GetEndText), the socket closed all the same.
    bool Disconnect();

    // Whether the socket reports a peer.
    bool IsConnected() const;
    // The server's address; undefined (port 0) without a connection.
    csp_SocketAddress GetPeerAddress() const;
    // Whether the stream that Connect opened is still up: neither closed by
    // Disconnect nor ended by the server (its stream footer, a stream error, the end
    // of the TCP stream), the network (a failed read or write) or input that cannot be
    // read as XML.
    bool IsStreamOpen() const { return state == streamOpen; }
    // Whether the stream ended in one of the ways that IsStreamOpen lists other than
    // Disconnect. Connect and Disconnect clear it.
    bool HasStreamEnded() const { return state == streamEnded; }

    // How the last stream ended; every way goes through one place, the first one counts.
    enum EndReason {
        notEnded,
        closedHere,
        serverEndedStream,
        serverClosed,
        streamError,
        unreadableInput,
        readFailed,
        writeFailed,
        tlsFailed
    };
    EndReason GetEndReason() const { return endReason; }
    // The reason in a few words: "the server closed the connection", "connection reset",
    // "the server ended the stream with an error (conflict)". Empty until the stream ends.
    const std::string& GetEndText() const { return endText; }
    // For another thread than the one using the connection: wakes a call blocked on the
    // network (which then ends the stream) and makes later ones fail, until the next
    // Connect.
    void Interrupt();
    // In a child made by fork(), whose parent goes on using the connection: closes this
    // process's copy of the socket, with no footer and no shutdown. The stream is not used
    // again in the child.
    void CloseInheritedCopy() { socket.closeInheritedCopy(); }

    // Milliseconds that Register and Authorize wait for an answer; 0 or less waits
    // without limit.
    void SetAnswerTimeout(int milliseconds) { answerTimeout = milliseconds; }
    int GetAnswerTimeout() const { return answerTimeout; }
    const cow_String& GetHost() const { return host; }
    // Bytes written to and read from the socket since Connect (TLS records included), for a
    // caller that measures what its traffic costs; readable from another thread.
    long long GetBytesSent() const { return bytesSent.load(std::memory_order_relaxed); }
    long long GetBytesReceived() const { return bytesReceived.load(std::memory_order_relaxed); }
    // The socket's descriptor, for a caller that waits on many at once and calls Receive
    // when this one is readable; -1 while there is no socket.
    int GetDescriptor() const { return socket.getDescriptor(); }

private:
    enum StreamState { streamNotOpen, streamOpen, streamEnded };
    class Layers;
    friend class Layers;

    void HandleStanza(const jcl_Node& stanza) override;
    void HandleStreamStart(const jcl_Node& header) override;
    bool AwaitAnswer(const cow_String& id);
    bool ReceiveOnce(int timeout, csp_SocketError& failure);
    // One read, fed on; false when the read failed (the stream has then ended).
    bool ReadAndDispatch(csp_SocketError& failure);
    [[noreturn]] static void RaiseReadFailure(const csp_SocketError& failure);
    // The one way a stream ends, whatever ended it.
    void EndStream(EndReason reason, const std::string& text);
    void FeedReader(const char* data, int length);
    bool WriteAll(const cow_String& text);
    bool WriteRaw(const char* data, int length);
    void NoteReaderState();
    void NoteTlsState();
    void NoteLogInState();
    bool LogInRunning() const;
    void WriteHeader();
    cow_String NewId();
    void ResetLayers();

    csp_TcpSocket socket;
    cow_String host;
    Handler messageHandler;
    Handler presenceHandler;
    Handler iqHandler;
    int answerTimeout;
    jcl_StreamReader reader;
    StreamState state;
    EndReason endReason;
    std::string endText;
    // Whether the socket has been connected (or tried) since it was made.
    bool socketUsed;
    bool awaitingAnswer;
    cow_String awaitedId;
    Answer lastAnswer;
    void* handlerContext;
    unsigned long idCounter;
    std::unique_ptr<Layers> layers;
    std::unique_ptr<jcl_TlsFilter> tls;
    std::unique_ptr<jcl_Negotiation> negotiation;
    jcl_LogInSettings logInSettings;
    // The server's stream header and features when they came before the log-in began.
    jcl_Node earlyHeader;
    jcl_Node earlyFeatures;
    int logInSteps;
    std::chrono::steady_clock::time_point stepDeadline;
    std::atomic<long long> bytesSent;
    std::atomic<long long> bytesReceived;
};

// The XMPP module's use counter; moves moduleCount on the first initialisation and
// the last finalisation only.
QORKEL_API void jcl_initialize(int& moduleCount);
QORKEL_API void jcl_finalize(int& moduleCount);

#endif
