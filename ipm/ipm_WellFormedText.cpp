#include "ipm/ipm_WellFormedText.h"

#include "base/xmp_Expat.h"
#include "jcl/jcl_XmlText.h"

#include <climits>
#include <cstring>

namespace {

// Printable ASCII without markup characters: well-formed without asking the parser.
bool isPlainText(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E || c == '<' || c == '&' || c == '>')
            return false;
    }
    return true;
}

bool contains(const char* text, std::size_t length, const char* piece) {
    const std::size_t pieceLength = std::strlen(piece);
    for (std::size_t i = 0; i + pieceLength <= length; ++i)
        if (std::memcmp(text + i, piece, pieceLength) == 0)
            return true;
    return false;
}

struct ContentCheck {
    XML_Parser parser;
    bool refused;
};

// The server reads with namespaces on: a prefix it cannot resolve ends the stream.
void XMLCALL refusePrefixedNames(void* userData, const XML_Char* name,
                                 const XML_Char** attributes) {
    ContentCheck& check = *static_cast<ContentCheck*>(userData);
    bool prefixed = std::strchr(name, ':') != nullptr;
    for (; *attributes != nullptr && !prefixed; attributes += 2)
        prefixed = std::strchr(*attributes, ':') != nullptr;
    if (prefixed) {
        check.refused = true;
        xmp_XML_StopParser(check.parser, XML_FALSE);
    }
}

void XMLCALL ignoreEnd(void*, const XML_Char*) {}

bool parsesAsContent(const char* text, std::size_t length) {
    XML_Parser parser = xmp_XML_ParserCreate("UTF-8");
    if (parser == nullptr)
        return false;
    ContentCheck check = {parser, false};
    xmp_XML_SetUserData(parser, &check);
    xmp_XML_SetElementHandler(parser, refusePrefixedNames, ignoreEnd);
    const bool wellFormed = xmp_XML_Parse(parser, "<v>", 3, 0) == XML_STATUS_OK &&
                            xmp_XML_Parse(parser, text, int(length), 0) == XML_STATUS_OK &&
                            xmp_XML_Parse(parser, "</v>", 4, 1) == XML_STATUS_OK;
    xmp_XML_ParserFree(parser);
    return wellFormed && !check.refused;
}

} // namespace

bool ipm_WellFormedText::IsWellFormedContent(const char* text, std::size_t length) {
    if (isPlainText(text, length))
        return true;
    if (length > std::size_t(INT_MAX) || contains(text, length, "<!") ||
        contains(text, length, "<?"))
        return false;
    return parsesAsContent(text, length);
}

void ipm_WellFormedText::AppendRepaired(std::string& out, const char* text, std::size_t length) {
    jcl_XmlText::AppendEscaped(out, text, length, jcl_XmlText::quotesAsGiven);
}

void ipm_WellFormedText::Append(std::string& out, const char* text, std::size_t length) {
    if (IsWellFormedContent(text, length))
        out.append(text, length);
    else
        AppendRepaired(out, text, length);
}
