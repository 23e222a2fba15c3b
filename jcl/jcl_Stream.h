#ifndef JCL_JCL_STREAM_H
#define JCL_JCL_STREAM_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_StreamReader.h"

// Reads an endless XML stream, such as an XMPP stream, from a TCP socket with one
// parser for its whole life, and hands every completed stanza (an element at
// stanzaDepth) to HandleStanza. Stanzas split over reads are assembled; several
// stanzas in one read are all delivered.
class QORKEL_API jcl_Stream : private jcl_StreamReader::Sink {
public:
    static constexpr int maxStanzaNesting = jcl_StreamReader::maxStanzaNesting;

    // The socket is taken by value; pass one whose autoClose is cleared and leave the
    // closing to this stream. host and port only name the server; nothing connects.
    // A stanzaDepth below 1 is taken as 1.
    jcl_Stream(const cow_String& host, unsigned port, int stanzaDepth, csp_TcpSocket socket);
    // Ends the connection in order and closes it; failures on the way are dropped.
    ~jcl_Stream() override;
    jcl_Stream(const jcl_Stream&) = delete;
    jcl_Stream& operator=(const jcl_Stream&) = delete;

    // Takes over the descriptor, autoClose and status of s; the descriptor held
    // before is left as it is.
    void SetSocket(const csp_TcpSocket& s);

    // One read of at most 2000 bytes, fed to the parser. Returns the byte count, 0 at
    // the end of the stream, -1 once the socket has failed.
    int Read();
    // Feeds bytes to the parser as if they had been read; Read passes everything it
    // reads through here. An exception thrown by HandleStanza leaves through it; the
    // stanzas after that one are handed over by the next Feed.
    void Feed(const char* data, int length);
    // Polls without waiting and reads until the peer has closed the connection or
    // ended the stream, the socket has failed, the wait fails or the stream can deliver
    // no more stanzas (malformed input).
    void Process();

    // True once the input was found malformed; nothing is delivered after that.
    bool HasFailed() const { return reader.HasFailed(); }
    // True once the peer has ended the stream's root element.
    bool HasEnded() const { return reader.HasEnded(); }

    void HandleStanza(const jcl_Node& stanza) override;

protected:
    const csp_TcpSocket& GetSocket() const { return socket; }
    const csp_SocketAddress& GetServerAddress() const { return serverAddress; }

private:
    void DisconnectQuietly();

    csp_TcpSocket socket;
    jcl_StreamReader reader;
    csp_SocketAddress serverAddress;
};

#endif
