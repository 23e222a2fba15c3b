#ifndef XML_XML_TEXT_H
#define XML_XML_TEXT_H

#include "base/base_Export.h"
#include "base/cow_String.h"

#include <cstddef>
#include <string>

// Caller texts written into XML (the client's addresses, account names, passwords and
// resources; the values of a report): whatever they hold, they come out as plain character
// data that a parser reads back as the same text, and never end the element or the stream
// they stand in.
class QORKEL_API xml_Text {
public:
    enum Quotes { quotesAsGiven, quotesEscaped };

    // Appends the text with "&", "<" and ">" escaped (and the quotation marks too with
    // quotesEscaped, as an attribute value needs), bytes that are not UTF-8 read as
    // Windows-1252 (the host's own code page), and characters that XML 1.0 cannot carry
    // (control characters other than tab, line feed and carriage return, U+FFFE,
    // U+FFFF) replaced by U+FFFD. Well-formed UTF-8 without markup passes unchanged.
    static void AppendEscaped(std::string& out, const char* text, std::size_t length,
                              Quotes quotes);
    // The same for an attribute value or an element's text, quotation marks escaped.
    static void AppendEscaped(cow_String& out, const cow_String& text);
    // Text that a parser decoded, written back so that a parser reads the same text again:
    // as AppendEscaped, and also the white space that a parser would change written as a
    // character reference (a carriage return in character data; tab, line feed and
    // carriage return in an attribute value). Quotation marks in character data stay.
    static void AppendParsedText(cow_String& out, const cow_String& text);
    static void AppendParsedAttribute(cow_String& out, const cow_String& text);
    // Whether AppendEscaped would write the text unchanged: UTF-8 holding only
    // characters that XML can carry and none that it escapes.
    static bool IsPlain(const char* text, std::size_t length, Quotes quotes);
    // Whether the text is UTF-8 holding only characters that XML can carry, markup
    // characters included.
    static bool HoldsOnlyXmlCharacters(const char* text, std::size_t length);
};

#endif
