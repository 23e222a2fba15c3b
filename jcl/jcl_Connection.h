#ifndef JCL_JCL_CONNECTION_H
#define JCL_JCL_CONNECTION_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "csp/csp_TcpSocket.h"

class jcl_Entity;

// The XMPP client: one TCP connection to a server over which it opens a client
// stream, registers, logs in, sends stanzas and, on demand, reads once and hands
// the stanza it holds to the installed handler. It keeps no protocol state and
// parses every read as a document of its own.
class QORKEL_API jcl_Connection {
public:
    // Called with the connection and the received stanza (a jcl_Message,
    // jcl_Presence or jcl_IQ); the stanza lives only for the call.
    typedef void (*Handler)(jcl_Connection& connection, jcl_Entity& stanza);

    // How long Register and Authorize wait for the server's answer: a server that
    // accepts the connection and never answers must not hold the caller for ever.
    static constexpr int defaultAnswerTimeout = 10000;

    jcl_Connection();
    // Sends nothing; a connection still open is closed with the socket.
    ~jcl_Connection();
    jcl_Connection(const jcl_Connection&) = delete;
    jcl_Connection& operator=(const jcl_Connection&) = delete;

    // Connects to host (dotted or a name to look up) and writes the client stream
    // header. Lookup and connection failures raise csp_NetworkException. Answers
    // whether the header write wrote anything.
    bool Connect(const cow_String& host, int port);
    // Sends a registration request and dispatches the first answer that arrives
    // within the answer timeout. Always true; the answer is not examined.
    bool Register(const cow_String& name, const cow_String& username, const cow_String& password);
    // Sends a plain-text log-in request and dispatches the first answer that arrives
    // within the answer timeout. Always true; the answer is not examined.
    bool Authorize(const cow_String& username, const cow_String& password,
                   const cow_String& resource);
    // Writes the stanza's XML; write failures are swallowed. Always true.
    bool Send(const jcl_Entity& stanza);
    // Waits at most timeout milliseconds (without limit when 0 or less) for data,
    // reads once (at most 2000 bytes) and dispatches the stanza the read begins
    // with, if any. A failing read raises; so does a handler.
    void Receive(int timeout);
    // A null handler stands for the default, which does nothing.
    void SetMessageHandler(Handler handler);
    void SetPresenceHandler(Handler handler);
    void SetIQHandler(Handler handler);
    // Writes the stream footer (when the socket has a peer) and closes the socket.
    // Always true; a failing footer write raises, after the socket is closed.
    bool Disconnect();

    // Whether the socket reports a peer.
    bool IsConnected() const;
    // False once a read or a write has failed (a write that made no progress for 5 s
    // included) or the server has ended its stream: the connection is of no further use.
    bool IsUsable() const;
    // For another thread than the one using the connection: wakes a call blocked on the
    // network and makes later ones fail, until the next Connect.
    void Interrupt();

    // Milliseconds that Register and Authorize wait for an answer; 0 or less waits
    // without limit.
    void SetAnswerTimeout(int milliseconds) { answerTimeout = milliseconds; }
    int GetAnswerTimeout() const { return answerTimeout; }
    const cow_String& GetHost() const { return host; }

private:
    void Dispatch(const char* text, int length);

    csp_TcpSocket socket;
    cow_String host;
    Handler messageHandler;
    Handler presenceHandler;
    Handler iqHandler;
    int answerTimeout;
};

// The XMPP module's use counter; moves moduleCount on the first initialisation and
// the last finalisation only.
QORKEL_API void jcl_initialize(int& moduleCount);
QORKEL_API void jcl_finalize(int& moduleCount);

#endif
