#ifndef TESTS_IPM_IPM_XMLCHECK_H
#define TESTS_IPM_IPM_XMLCHECK_H

#include "base/xmp_Expat.h"

#include <string>
#include <vector>

// Checks with Expat itself, as the monitor and an XMPP server read payloads.
namespace ipm_test {

// The elements just below the top of a document, in order, and why parsing failed
// (empty when it did not).
struct XmlOutline {
    std::vector<std::string> children;
    std::string error;
};

// Parses text as one document; with namespaces, as an XMPP server does, an undeclared
// prefix is an error.
inline XmlOutline Outline(const std::string& text, bool namespaces = false) {
    struct State {
        int depth = 0;
        XmlOutline outline;
    } state;
    XML_Parser parser = namespaces ? XML_ParserCreateNS("UTF-8", '|') : XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char**) {
            State& s = *static_cast<State*>(data);
            if (++s.depth == 2)
                s.outline.children.push_back(name);
        },
        [](void* data, const XML_Char*) { --static_cast<State*>(data)->depth; });
    if (XML_Parse(parser, text.data(), int(text.size()), 1) == XML_STATUS_ERROR)
        state.outline.error = XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return state.outline;
}

// The reports of a message file (or of one payload): the root names of the payloads,
// in order. The text is well-formed only if it is a sequence of elements.
inline XmlOutline Reports(const std::string& text, bool namespaces = false) {
    return Outline("<file>" + text + "</file>", namespaces);
}

} // namespace ipm_test

#endif
