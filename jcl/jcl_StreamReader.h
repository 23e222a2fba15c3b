#ifndef JCL_JCL_STREAMREADER_H
#define JCL_JCL_STREAMREADER_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "cow/cow_List.h"
#include "jcl/jcl_AttributeCache.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_TextCache.h"

typedef struct XML_ParserStruct* XML_Parser;

// Reads an endless XML stream, such as an XMPP stream, from whatever bytes it is fed,
// with one parser for the whole stream, and hands every completed stanza (an element
// at stanzaDepth) to its sink, in order. It knows no socket: a connection feeds it what
// it reads, a test or a fuzzer feeds it canned bytes in pieces of any size.
class QORKEL_API jcl_StreamReader {
public:
    class QORKEL_API Sink {
    public:
        virtual ~Sink();
        virtual void HandleStanza(const jcl_Node& stanza) = 0;
        // The start tag of the element that encloses the stanzas (an XMPP server's stream
        // header), with its attributes and no children, in order with the stanzas. The
        // default ignores it.
        virtual void HandleStreamStart(const jcl_Node& header);
    };

    // Elements nested deeper than this below a stanza are treated as malformed input:
    // a tree that deep would exhaust the stack when it is written or destroyed.
    static constexpr int maxStanzaNesting = 512;
    // A stanza whose elements, attributes and text take more memory than this, or input
    // that completes nothing for this long, is treated as malformed, so that a peer
    // cannot make the reader hold more and more memory. Servers refuse far smaller
    // stanzas.
    static constexpr int maxStanzaBytes = 1 << 20;

    // A stanzaDepth below 1 is taken as 1.
    jcl_StreamReader(Sink& sink, int stanzaDepth);
    ~jcl_StreamReader();
    jcl_StreamReader(const jcl_StreamReader&) = delete;
    jcl_StreamReader& operator=(const jcl_StreamReader&) = delete;

    // Parses the bytes, then hands the stanzas they completed to the sink. An exception
    // from the sink leaves Feed; the stanzas after the one that raised stay queued and
    // go to the sink first on the next Feed or DeliverQueued.
    void Feed(const char* data, int length);
    void DeliverQueued();
    // Forgets the stream read so far and everything queued: the next byte begins a new
    // stream (a new connection).
    void Reset();

    // True once the input was found malformed; nothing is delivered after that.
    bool HasFailed() const { return failed; }
    // True once the element that encloses the stanzas has ended (an XMPP server's
    // "</stream:stream>"); nothing can follow it.
    bool HasEnded() const { return ended; }

private:
    static void StartElement(void* userData, const char* name, const char** attributes);
    static void EndElement(void* userData, const char* name);
    static void CharacterData(void* userData, const char* characters, int length);

    void CreateParser();
    void FreeParser();
    void BeginElement(const char* name, const char** attributes);
    void QueueHeader(const char* name, const char** attributes);
    void FinishElement();
    void AppendText(const char* characters, int length);
    void Refuse();
    // Counts what the stanza being built holds; refuses it beyond maxStanzaBytes.
    bool Charge(long long bytes);

    Sink& sink;
    XML_Parser parser;
    int stanzaDepth;
    int depth;
    jcl_Node root;
    jcl_Node* current;
    bool failed;
    bool ended;
    long long stanzaBytes;
    // Bytes fed since the parser last reported anything: what it may be holding back
    // for an unfinished token.
    long long unreportedBytes;
    cow_List<jcl_Node> queued;
    int delivered;
    // Where in the queue the stream's start tag waits; -1 when it does not.
    int headerAt;
    // Names and attribute values apart, so that a value never evicts the name it goes with.
    jcl_TextCache names;
    jcl_TextCache values;
    jcl_AttributeCache attributeLists;
};

#endif
