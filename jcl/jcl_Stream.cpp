#include "jcl/jcl_Stream.h"

#include "base/aio_ostream.h"
#include "base/xmp_Expat.h"
#include "csp/csp_IpAddress.h"
#include "platform/platform_Sockets.h"

namespace {

const int readBufferSize = 2000;

} // namespace

jcl_Stream::jcl_Stream(const cow_String& host, unsigned port, int stanzaDepth, csp_TcpSocket socket)
    : socket(socket), parser(nullptr), depth(0), stanzaDepth(stanzaDepth < 1 ? 1 : stanzaDepth),
      root(), current(nullptr), serverAddress(csp_IpAddress(host), static_cast<int>(port)),
      failed(false), names(), values(), pending() {
    // Raises when the socket has no local address (it was never created or bound).
    socket.name();
    parser = xmp_XML_ParserCreate(nullptr);
    if (parser == nullptr) {
        failed = true;
        return;
    }
    xmp_XML_SetUserData(parser, this);
    xmp_XML_SetElementHandler(parser, StartElement, EndElement);
    xmp_XML_SetCharacterDataHandler(parser, CharacterData);
}

jcl_Stream::~jcl_Stream() {
    DisconnectQuietly();
    xmp_XML_ParserFree(parser);
}

// Nothing may leave a destructor: a peer that is gone, or a socket that was never
// connected, makes the orderly end fail, and that is no reason to end the process.
void jcl_Stream::DisconnectQuietly() {
    try {
        if (socket.isOpen())
            socket.disconnect();
    } catch (...) {
    }
    try {
        socket.close();
    } catch (...) {
    }
}

void jcl_Stream::SetSocket(const csp_TcpSocket& s) {
    const bool autoClose = s.getAutoClose();
    csp_TcpSocket adopted(s);
    adopted.setToAutoClose(false);
    // Forget the old descriptor without closing it, then share the new one.
    socket.setToAutoClose(false);
    socket = adopted;
    socket.setToAutoClose(autoClose);
}

int jcl_Stream::Read() {
    char buffer[readBufferSize];
    const int received = socket.read(buffer, readBufferSize);
    if (received > 0)
        Feed(buffer, received);
    return received;
}

void jcl_Stream::Feed(const char* data, int length) {
    if (failed || length <= 0)
        return;
    if (xmp_XML_Parse(parser, data, length, 0) == XML_STATUS_ERROR)
        failed = true;
    if (pending) {
        std::exception_ptr failure = pending;
        pending = nullptr;
        std::rethrow_exception(failure);
    }
}

void jcl_Stream::Process() {
    while (!failed) {
        const int ready = wsa::waitUntilReadable(socket.getDescriptor(), 0);
        if (ready == SOCKET_ERROR)
            return;
        if (ready > 0 && Read() <= 0)
            return;
    }
}

void jcl_Stream::HandleStanza(const jcl_Node& stanza) {
    aio_cout << stanza.Serialize();
    aio_cout.put('\n');
    aio_cout.flush();
}

void jcl_Stream::StopOn(std::exception_ptr failure) {
    pending = failure;
    failed = true;
    xmp_XML_StopParser(parser, XML_FALSE);
}

void jcl_Stream::StartElement(void* userData, const char* name, const char** attributes) {
    jcl_Stream& stream = *static_cast<jcl_Stream*>(userData);
    try {
        stream.BeginElement(name, attributes);
    } catch (...) {
        stream.StopOn(std::current_exception());
    }
}

void jcl_Stream::EndElement(void* userData, const char*) {
    jcl_Stream& stream = *static_cast<jcl_Stream*>(userData);
    try {
        stream.FinishElement();
    } catch (...) {
        stream.StopOn(std::current_exception());
    }
}

void jcl_Stream::CharacterData(void* userData, const char* characters, int length) {
    jcl_Stream& stream = *static_cast<jcl_Stream*>(userData);
    // Outside a stanza (before the first, or the whitespace between two) the text would
    // only go to a stanza already handed over, which the next one replaces.
    if (stream.depth < stream.stanzaDepth)
        return;
    try {
        cow_String& text = stream.current->text;
        // Short texts repeat from stanza to stanza; a later piece copies the shared
        // string before it appends.
        if (text.IsEmpty())
            text = stream.values.Get(characters, length);
        else
            text.append(characters, length, 0, 0x7fffffff);
    } catch (...) {
        stream.StopOn(std::current_exception());
    }
}

void jcl_Stream::BeginElement(const char* name, const char** attributes) {
    ++depth;
    if (depth < stanzaDepth)
        return;
    if (depth - stanzaDepth > maxStanzaNesting) {
        failed = true;
        xmp_XML_StopParser(parser, XML_FALSE);
        return;
    }
    jcl_Node* element;
    if (depth == stanzaDepth) {
        root = jcl_Node();
        root.isRoot = true;
        element = &root;
    } else {
        // Built in place: the list's blocks never move, so the parent links stay valid.
        current->children.Append(jcl_Node());
        element = &current->children.Get(current->children.Count() - 1);
        element->parent = current;
    }
    element->SetTagName(names.Get(name));
    // Set rather than InsertAttribute: one search instead of two, and the parser never
    // reports a name twice in one element.
    for (int k = 0; attributes[k] != nullptr && attributes[k + 1] != nullptr; k += 2)
        element->attributes.Set(names.Get(attributes[k]), values.Get(attributes[k + 1]));
    current = element;
}

void jcl_Stream::FinishElement() {
    --depth;
    if (depth == stanzaDepth - 1)
        HandleStanza(root);
    else if (depth >= stanzaDepth)
        current = current->parent;
}
