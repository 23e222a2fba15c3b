#include "jcl/jcl_DocumentParser.h"

#include "base/xmp_Expat.h"

jcl_DocumentParser::ParseContext::ParseContext()
    : root(), siblingClosed(false), path(), depth(0), lastClosedIndex(-1) {}

namespace {

// Frees the parser however Parse is left.
class ParserHandle {
public:
    ParserHandle() : parser(xmp_XML_ParserCreate(nullptr)) {}
    ~ParserHandle() { xmp_XML_ParserFree(parser); }
    ParserHandle(const ParserHandle&) = delete;
    ParserHandle& operator=(const ParserHandle&) = delete;
    XML_Parser parser;
};

void InsertAttributes(jcl_Node& node, const char** attributes) {
    for (int k = 0; attributes[k] != nullptr && attributes[k + 1] != nullptr; k += 2)
        node.InsertAttribute(attributes[k], attributes[k + 1]);
}

} // namespace

jcl_Node jcl_DocumentParser::Parse(const char* text, int length) {
    ParseContext context;
    ParserHandle handle;
    if (handle.parser == nullptr)
        return context.root;
    xmp_XML_SetUserData(handle.parser, &context);
    xmp_XML_SetElementHandler(handle.parser, StartElement, EndElement);
    xmp_XML_SetCharacterDataHandler(handle.parser, CharacterData);
    xmp_XML_Parse(handle.parser, text, length < 0 ? 0 : length, 1);
    return context.root;
}

void jcl_DocumentParser::StartElement(void* userData, const char* name, const char** attributes) {
    ParseContext& context = *static_cast<ParseContext*>(userData);
    // A reference: a copy of the parent would take the new child and be dropped.
    jcl_Node& parent = context.root.Traverse(context.path);
    if (context.depth == 0) {
        context.root.SetTagName(name);
        context.root.isRoot = true;
        InsertAttributes(context.root, attributes);
    } else {
        jcl_Node node;
        node.SetTagName(name);
        InsertAttributes(node, attributes);
        context.path.Append(context.siblingClosed ? context.lastClosedIndex + 1 : 0);
        context.siblingClosed = false;
        parent.Append(node);
    }
    ++context.depth;
}

void jcl_DocumentParser::EndElement(void* userData, const char*) {
    ParseContext& context = *static_cast<ParseContext*>(userData);
    --context.depth;
    context.siblingClosed = true;
    if (context.depth == 0)
        return;
    context.lastClosedIndex = context.path.Last();
    context.path.RemoveIndex(context.path.Count() - 1);
}

void jcl_DocumentParser::CharacterData(void* userData, const char* characters, int length) {
    ParseContext& context = *static_cast<ParseContext*>(userData);
    context.root.Traverse(context.path).text.append(characters, length, 0, 0x7fffffff);
}
