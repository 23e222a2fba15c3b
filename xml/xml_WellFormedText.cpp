#include "xml/xml_WellFormedText.h"

#include "base/xmp_Expat.h"
#include "xml/xml_Text.h"

#include <climits>
#include <cstring>

namespace {

bool contains(const char* text, std::size_t length, const char* piece) {
    const std::size_t pieceLength = std::strlen(piece);
    for (std::size_t i = 0; i + pieceLength <= length; ++i)
        if (std::memcmp(text + i, piece, pieceLength) == 0)
            return true;
    return false;
}

struct ContentCheck {
    XML_Parser parser;
    xml_WellFormedText::Markup markup;
    bool refused;
};

// The server reads with namespaces on: a prefix it cannot resolve ends the stream.
void XMLCALL refusePrefixedNames(void* userData, const XML_Char* name,
                                 const XML_Char** attributes) {
    ContentCheck& check = *static_cast<ContentCheck*>(userData);
    if (check.markup != xml_WellFormedText::stanzaMarkup)
        return;
    bool prefixed = std::strchr(name, ':') != nullptr;
    for (; *attributes != nullptr && !prefixed; attributes += 2)
        prefixed = std::strchr(*attributes, ':') != nullptr;
    if (prefixed) {
        check.refused = true;
        xmp_XML_StopParser(check.parser, XML_FALSE);
    }
}

void XMLCALL ignoreEnd(void*, const XML_Char*) {}

// Wrapped in an element of its own: text that closes the wrapper early leaves the
// wrapper's end tag unmatched, so only content that stays inside counts.
bool parsesAsContent(const char* text, std::size_t length, xml_WellFormedText::Markup markup) {
    XML_Parser parser = xmp_XML_ParserCreate("UTF-8");
    if (parser == nullptr)
        return false;
    ContentCheck check = {parser, markup, false};
    xmp_XML_SetUserData(parser, &check);
    xmp_XML_SetElementHandler(parser, refusePrefixedNames, ignoreEnd);
    const bool wellFormed = xmp_XML_Parse(parser, "<v>", 3, 0) == XML_STATUS_OK &&
                            xmp_XML_Parse(parser, text, int(length), 0) == XML_STATUS_OK &&
                            xmp_XML_Parse(parser, "</v>", 4, 1) == XML_STATUS_OK;
    xmp_XML_ParserFree(parser);
    return wellFormed && !check.refused;
}

// The ASCII characters that plain text may hold: all but the markup characters and the
// control characters other than tab, line feed and carriage return.
struct PlainAsciiTable {
    bool plain[128];
    constexpr PlainAsciiTable() : plain() {
        for (int c = 0; c < 128; ++c)
            plain[c] = c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
        plain[int('&')] = plain[int('<')] = plain[int('>')] = false;
    }
};
constexpr PlainAsciiTable plainAscii;

} // namespace

bool xml_WellFormedText::IsWellFormedContent(const char* text, std::size_t length, Markup markup) {
    // Characters are told without the parser; only markup needs it.
    if (!xml_Text::HoldsOnlyXmlCharacters(text, length))
        return false;
    if (xml_Text::IsPlain(text, length, xml_Text::quotesAsGiven))
        return true;
    if (length > std::size_t(INT_MAX))
        return false;
    if (markup == stanzaMarkup && (contains(text, length, "<!") || contains(text, length, "<?")))
        return false;
    return parsesAsContent(text, length, markup);
}

// Values are mostly ASCII: a table look-up a byte, and the full check from the first byte
// beyond ASCII on.
bool xml_WellFormedText::IsPlain(const char* text, std::size_t length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    for (; i < length && bytes[i] < 0x80; ++i)
        if (!plainAscii.plain[bytes[i]])
            return false;
    return i == length || xml_Text::IsPlain(text + i, length - i, xml_Text::quotesAsGiven);
}

void xml_WellFormedText::AppendRepaired(std::string& out, const char* text, std::size_t length) {
    xml_Text::AppendEscaped(out, text, length, xml_Text::quotesAsGiven);
}

void xml_WellFormedText::Append(std::string& out, const char* text, std::size_t length,
                                Markup markup) {
    if (IsWellFormedContent(text, length, markup))
        out.append(text, length);
    else
        AppendRepaired(out, text, length);
}
