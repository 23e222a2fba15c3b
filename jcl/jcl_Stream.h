#ifndef JCL_JCL_STREAM_H
#define JCL_JCL_STREAM_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_TextCache.h"

#include <exception>

typedef struct XML_ParserStruct* XML_Parser;

// Reads an endless XML stream, such as an XMPP stream, from a TCP socket with one
// parser for its whole life, and hands every completed stanza (an element at
// stanzaDepth) to HandleStanza. Stanzas split over reads are assembled; several
// stanzas in one read are all delivered.
class QORKEL_API jcl_Stream {
public:
    // Elements nested deeper than this below a stanza are treated as malformed input:
    // a tree that deep would exhaust the stack when it is written or destroyed.
    static constexpr int maxStanzaNesting = 512;

    // The socket is taken by value; pass one whose autoClose is cleared and leave the
    // closing to this stream. host and port only name the server; nothing connects.
    // A stanzaDepth below 1 is taken as 1.
    jcl_Stream(const cow_String& host, unsigned port, int stanzaDepth, csp_TcpSocket socket);
    // Ends the connection in order and closes it; failures on the way are dropped.
    virtual ~jcl_Stream();
    jcl_Stream(const jcl_Stream&) = delete;
    jcl_Stream& operator=(const jcl_Stream&) = delete;

    // Takes over the descriptor, autoClose and status of s; the descriptor held
    // before is left as it is.
    void SetSocket(const csp_TcpSocket& s);

    // One read of at most 2000 bytes, fed to the parser. Returns the byte count, 0 at
    // the end of the stream, -1 once the socket has failed.
    int Read();
    // Feeds bytes to the parser as if they had been read; Read passes everything it
    // reads through here. An exception thrown by HandleStanza leaves through it.
    void Feed(const char* data, int length);
    // Polls and reads until the peer has closed the stream, the socket has failed,
    // the wait fails or the stream can deliver no more stanzas (malformed input).
    void Process();

    // True once the input was found malformed; nothing is delivered after that.
    bool HasFailed() const { return failed; }

    virtual void HandleStanza(const jcl_Node& stanza);

protected:
    const csp_TcpSocket& GetSocket() const { return socket; }
    const csp_SocketAddress& GetServerAddress() const { return serverAddress; }

private:
    static void StartElement(void* userData, const char* name, const char** attributes);
    static void EndElement(void* userData, const char* name);
    static void CharacterData(void* userData, const char* characters, int length);

    void BeginElement(const char* name, const char** attributes);
    void FinishElement();
    void StopOn(std::exception_ptr failure);
    void DisconnectQuietly();

    csp_TcpSocket socket;
    XML_Parser parser;
    int depth;
    int stanzaDepth;
    jcl_Node root;
    jcl_Node* current;
    csp_SocketAddress serverAddress;
    bool failed;
    // Names and attribute values apart, so that a value never evicts the name it goes with.
    jcl_TextCache names;
    jcl_TextCache values;
    // What a callback threw; raised again once the parser has returned, because an
    // exception must not unwind through the parser's C frames.
    std::exception_ptr pending;
};

#endif
