#ifndef JCL_JCL_CONNECTION_H
#define JCL_JCL_CONNECTION_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_StreamReader.h"

class jcl_Entity;

// The XMPP client: one TCP connection to a server over which it opens a client
// stream, registers, logs in, sends stanzas and, on demand, reads and hands every
// stanza that has arrived complete to the installed handler. One reader takes the
// server's stream from the first byte to the last, so stanzas that arrive together or
// in pieces are all dispatched, whole and in order.
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
    // header, host escaped. A connection used before starts over on a fresh socket and
    // reads the new stream from its beginning. Lookup and connection failures raise
    // csp_NetworkException. Answers whether the whole header was written.
    bool Connect(const cow_String& host, int port);
    // What the server answered the last Register or Authorize.
    enum Answer { answerNone, answerResult, answerError };

    // Sends a registration request and waits, at most the answer timeout, for the
    // server's answer (an iq of type result or error), dispatching everything that
    // arrives meanwhile. True when the answer is a result; false when it is an error (as
    // it is for an account that exists), when none came within the timeout or when the
    // stream ended first. GetLastAnswer tells these apart.
    bool Register(const cow_String& name, const cow_String& username, const cow_String& password);
    // Sends a plain-text log-in request and waits for its answer as Register does. True
    // only when the server answered with a result: an error is a refused log-in, and a
    // server that does not answer has not let the client in either.
    bool Authorize(const cow_String& username, const cow_String& password,
                   const cow_String& resource);
    Answer GetLastAnswer() const { return lastAnswer; }
    // Writes all of the stanza's XML while the stream is open; a failed write is
    // swallowed and ends the stream. Always true.
    bool Send(const jcl_Entity& stanza);
    // Waits at most timeout milliseconds (without limit when 0 or less) for data,
    // reads once (at most 2000 bytes) and dispatches every stanza that is complete.
    // A failing read raises; so does a handler, and the stanzas after the one whose
    // handler raised are dispatched by the next Receive.
    void Receive(int timeout);
    // A null handler stands for the default, which does nothing.
    void SetMessageHandler(Handler handler);
    void SetPresenceHandler(Handler handler);
    void SetIQHandler(Handler handler);
    // Whatever the handlers need to know beyond the stanza; null unless set.
    void SetHandlerContext(void* context) { handlerContext = context; }
    void* GetHandlerContext() const { return handlerContext; }
    // Writes the stream footer (while the stream is open) and closes the socket.
    // Always true; a failing footer write raises, the socket closed all the same.
    bool Disconnect();

    // Whether the socket reports a peer.
    bool IsConnected() const;
    // Whether the stream that Connect opened is still up: neither closed by
    // Disconnect nor ended by the server (its stream footer, a stream error, the end
    // of the TCP stream), the network (a failed read or write) or input that cannot be
    // read as XML.
    bool IsStreamOpen() const { return state == streamOpen; }
    // Whether the stream ended in one of the ways that IsStreamOpen lists other than
    // Disconnect. Connect and Disconnect clear it.
    bool HasStreamEnded() const { return state == streamEnded; }
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
    // The socket's descriptor, for a caller that waits on many at once and calls Receive
    // when this one is readable; -1 while there is no socket.
    int GetDescriptor() const { return socket.getDescriptor(); }

private:
    enum StreamState { streamNotOpen, streamOpen, streamEnded };

    void HandleStanza(const jcl_Node& stanza) override;
    bool AwaitAnswer();
    void ReadAndDispatch();
    bool WriteAll(const cow_String& text);
    void NoteReaderState();

    csp_TcpSocket socket;
    cow_String host;
    Handler messageHandler;
    Handler presenceHandler;
    Handler iqHandler;
    int answerTimeout;
    jcl_StreamReader reader;
    StreamState state;
    // Whether the socket has been connected (or tried) since it was made.
    bool socketUsed;
    bool awaitingAnswer;
    Answer lastAnswer;
    void* handlerContext;
};

// The XMPP module's use counter; moves moduleCount on the first initialisation and
// the last finalisation only.
QORKEL_API void jcl_initialize(int& moduleCount);
QORKEL_API void jcl_finalize(int& moduleCount);

#endif
