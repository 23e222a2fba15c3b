#ifndef XML_XML_WELLFORMEDTEXT_H
#define XML_XML_WELLFORMEDTEXT_H

#include <cstddef>
#include <string>

// Caller texts bound for a payload, which the monitor reads as XML and an XMPP server
// checks before it forwards: a server ends the whole stream on the first stanza that is
// not well-formed XML in UTF-8. Texts that are fine pass unchanged; any other is
// repaired into plain character data.
class xml_WellFormedText {
public:
    // What a text may hold beyond character data and references to count as fine.
    // anyMarkup: any well-formed XML content (elements, comments, processing
    // instructions, CDATA sections). stanzaMarkup: elements only, without prefixed
    // names, since a server may refuse the rest.
    enum Markup { anyMarkup, stanzaMarkup };

    // Whether the text can stand as an element's content: well-formed XML content in
    // UTF-8, holding no markup beyond what markup allows.
    static bool IsWellFormedContent(const char* text, std::size_t length,
                                    Markup markup = stanzaMarkup);

    // Appends the text as character data: "&", "<" and ">" escaped, bytes that are not
    // UTF-8 read as Windows-1252, characters XML cannot carry replaced by U+FFFD.
    // For well-formed UTF-8 this is exactly the escaping of the escaped keys.
    static void AppendRepaired(std::string& out, const char* text, std::size_t length);

    // Whether the text is plain character data (UTF-8 that XML can carry, without "&", "<"
    // or ">"), which Append and AppendRepaired both write unchanged.
    static bool IsPlain(const char* text, std::size_t length);

    // Appends the text unchanged when it is well-formed content, repaired otherwise.
    static void Append(std::string& out, const char* text, std::size_t length,
                       Markup markup = stanzaMarkup);
};

#endif
