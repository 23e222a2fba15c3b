#include "jcl/jcl_StreamReader.h"

#include "base/xmp_Expat.h"

#include <utility>

jcl_StreamReader::Sink::~Sink() = default;

void jcl_StreamReader::Sink::HandleStreamStart(const jcl_Node&) {}

jcl_StreamReader::jcl_StreamReader(Sink& sink, int stanzaDepth)
    : sink(sink), parser(nullptr), stanzaDepth(stanzaDepth < 1 ? 1 : stanzaDepth), depth(0), root(),
      current(nullptr), failed(false), ended(false), stanzaBytes(0), unreportedBytes(0), queued(),
      delivered(0), headerAt(-1), names(), values(), attributeLists() {
    CreateParser();
}

jcl_StreamReader::~jcl_StreamReader() {
    FreeParser();
}

void jcl_StreamReader::CreateParser() {
    parser = xmp_XML_ParserCreate(nullptr);
    if (parser == nullptr) {
        failed = true;
        return;
    }
    xmp_XML_SetUserData(parser, this);
    xmp_XML_SetElementHandler(parser, StartElement, EndElement);
    xmp_XML_SetCharacterDataHandler(parser, CharacterData);
}

void jcl_StreamReader::FreeParser() {
    if (parser != nullptr)
        xmp_XML_ParserFree(parser);
    parser = nullptr;
}

void jcl_StreamReader::Reset() {
    FreeParser();
    depth = 0;
    root = jcl_Node();
    current = nullptr;
    failed = false;
    ended = false;
    stanzaBytes = 0;
    unreportedBytes = 0;
    queued = cow_List<jcl_Node>();
    delivered = 0;
    headerAt = -1;
    CreateParser();
}

void jcl_StreamReader::Feed(const char* data, int length) {
    DeliverQueued();
    if (failed || length <= 0)
        return;
    unreportedBytes += length;
    if (xmp_XML_Parse(parser, data, length, 0) == XML_STATUS_ERROR)
        failed = true;
    // A token the parser holds back (an endless start tag, say) grows its buffer.
    if (unreportedBytes > maxStanzaBytes)
        failed = true;
    DeliverQueued();
}

void jcl_StreamReader::DeliverQueued() {
    while (delivered < queued.Count()) {
        // Counted before the call, so that a stanza whose handler raised is not
        // handed over a second time.
        const bool header = delivered == headerAt;
        const jcl_Node stanza = std::move(queued.Get(delivered++));
        if (header)
            headerAt = -1;
        if (delivered == queued.Count()) {
            queued = cow_List<jcl_Node>();
            delivered = 0;
        }
        // The sink may Reset the reader (a stream that restarts): nothing of the queue is
        // touched after the call.
        if (header)
            sink.HandleStreamStart(stanza);
        else
            sink.HandleStanza(stanza);
    }
}

void jcl_StreamReader::Refuse() {
    failed = true;
    xmp_XML_StopParser(parser, XML_FALSE);
}

bool jcl_StreamReader::Charge(long long bytes) {
    stanzaBytes += bytes;
    if (stanzaBytes <= maxStanzaBytes)
        return true;
    Refuse();
    return false;
}

// The callbacks run inside the parser's C frames: nothing may leave them, so a failure
// (memory, in practice) ends the stream instead.
void jcl_StreamReader::StartElement(void* userData, const char* name, const char** attributes) {
    jcl_StreamReader& reader = *static_cast<jcl_StreamReader*>(userData);
    reader.unreportedBytes = 0;
    try {
        reader.BeginElement(name, attributes);
    } catch (...) {
        reader.Refuse();
    }
}

void jcl_StreamReader::EndElement(void* userData, const char*) {
    jcl_StreamReader& reader = *static_cast<jcl_StreamReader*>(userData);
    reader.unreportedBytes = 0;
    try {
        reader.FinishElement();
    } catch (...) {
        reader.Refuse();
    }
}

void jcl_StreamReader::CharacterData(void* userData, const char* characters, int length) {
    jcl_StreamReader& reader = *static_cast<jcl_StreamReader*>(userData);
    reader.unreportedBytes = 0;
    // Outside a stanza (the whitespace between two) the text belongs to nothing.
    if (reader.depth < reader.stanzaDepth)
        return;
    try {
        reader.AppendText(characters, length);
    } catch (...) {
        reader.Refuse();
    }
}

void jcl_StreamReader::BeginElement(const char* name, const char** attributes) {
    ++depth;
    // The document's root only: one header per stream.
    if (depth == 1 && stanzaDepth == 2)
        QueueHeader(name, attributes);
    if (depth < stanzaDepth)
        return;
    if (depth - stanzaDepth > maxStanzaNesting) {
        Refuse();
        return;
    }
    jcl_Node* element;
    if (depth == stanzaDepth) {
        root = jcl_Node();
        root.isRoot = true;
        stanzaBytes = 0;
        element = &root;
    } else {
        // Built in place: the list's blocks never move, so the parent links stay valid.
        current->children.Append(jcl_Node());
        element = &current->children.Get(current->children.Count() - 1);
        element->parent = current;
    }
    const cow_String& tagName = names.Get(name);
    // What the element holds in memory, not only its text: a stanza of many empty
    // elements costs far more than its bytes.
    long long size = static_cast<long long>(sizeof(jcl_Node)) + tagName.length();
    element->SetTagName(tagName);
    long long attributeBytes;
    element->attributes = attributeLists.Get(attributes, names, values, attributeBytes);
    size += attributeBytes;
    current = element;
    Charge(size);
}

void jcl_StreamReader::QueueHeader(const char* name, const char** attributes) {
    jcl_Node header;
    header.SetTagName(names.Get(name));
    long long attributeBytes;
    header.attributes = attributeLists.Get(attributes, names, values, attributeBytes);
    if (!Charge(static_cast<long long>(sizeof(jcl_Node)) + attributeBytes))
        return;
    // The header's cost belongs to no stanza.
    stanzaBytes = 0;
    headerAt = queued.Count();
    queued.Append(std::move(header));
}

void jcl_StreamReader::FinishElement() {
    --depth;
    if (depth == stanzaDepth - 1) {
        // Moved, not copied: a copy costs every string of the root a count up and down.
        queued.Append(jcl_Node());
        queued.Get(queued.Count() - 1) = std::move(root);
        current = nullptr;
    } else if (depth >= stanzaDepth) {
        current = current->parent;
    } else if (depth == 0) {
        ended = true;
    }
}

void jcl_StreamReader::AppendText(const char* characters, int length) {
    if (!Charge(length))
        return;
    cow_String& text = current->text;
    // Short texts repeat from stanza to stanza; a later piece copies the shared string
    // before it appends.
    if (text.IsEmpty())
        text = values.Get(characters, length);
    else
        text.append(characters, length, 0, 0x7fffffff);
}
