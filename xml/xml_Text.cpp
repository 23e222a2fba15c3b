#include "xml/xml_Text.h"

#include "xml/xml_Utf8.h"

namespace {

// Windows-1252 for the bytes 0x80 to 0x9F; the five it leaves undefined keep their
// C1 code points, as browsers read them. Bytes from 0xA0 up are Latin-1.
const unsigned short windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

const char replacementCharacter[] = "\xEF\xBF\xBD";

void appendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

bool isXmlControlAllowed(unsigned char c) {
    return c == '\t' || c == '\n' || c == '\r';
}

bool isXmlCharacter(unsigned long code) {
    return code != 0xFFFE && code != 0xFFFF;
}

// Which white space is written as a character reference, so that a parser reads it back as
// it is: it turns a raw carriage return into a line feed, and raw white space in an
// attribute value into spaces.
enum Whitespace { whitespaceAsGiven, returnAsReference, whitespaceAsReferences };

bool isReferencedWhitespace(unsigned char c, Whitespace whitespace) {
    if (c == '\r')
        return whitespace != whitespaceAsGiven;
    return (c == '\t' || c == '\n') && whitespace == whitespaceAsReferences;
}

void appendAscii(std::string& out, unsigned char c, xml_Text::Quotes quotes,
                 Whitespace whitespace) {
    const bool escapeQuotes = quotes == xml_Text::quotesEscaped;
    if (isReferencedWhitespace(c, whitespace))
        out += c == '\r' ? "&#13;" : c == '\n' ? "&#10;" : "&#9;";
    else if (c == '&')
        out += "&amp;";
    else if (c == '<')
        out += "&lt;";
    else if (c == '>')
        out += "&gt;";
    else if (c == '"' && escapeQuotes)
        out += "&quot;";
    else if (c == '\'' && escapeQuotes)
        out += "&apos;";
    else if (c < 0x20 && !isXmlControlAllowed(c))
        out += replacementCharacter;
    else
        out += char(c);
}

void appendEscaped(std::string& out, const char* text, std::size_t length, xml_Text::Quotes quotes,
                   Whitespace whitespace) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            appendAscii(out, c, quotes, whitespace);
            ++i;
            continue;
        }
        unsigned long code = 0;
        const std::size_t sequence = xml_Utf8::Decode(bytes + i, length - i, code);
        if (sequence == 0) {
            appendUtf8(out, c < 0xA0 ? windows1252High[c - 0x80] : c);
            ++i;
        } else {
            if (isXmlCharacter(code))
                out.append(text + i, sequence);
            else
                out += replacementCharacter;
            i += sequence;
        }
    }
}

bool isEscaped(unsigned char c, xml_Text::Quotes quotes, Whitespace whitespace) {
    return c == '&' || c == '<' || c == '>' ||
           (quotes == xml_Text::quotesEscaped && (c == '"' || c == '\'')) ||
           isReferencedWhitespace(c, whitespace);
}

// Whether the text is UTF-8 with only characters XML can carry and, unless markup is
// allowed, none that appendEscaped escapes.
bool holdsOnly(const char* text, std::size_t length, bool markupAllowed, xml_Text::Quotes quotes,
               Whitespace whitespace) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const unsigned char c = bytes[i];
        if (c >= 0x80) {
            unsigned long code = 0;
            const std::size_t sequence = xml_Utf8::Decode(bytes + i, length - i, code);
            if (sequence == 0 || !isXmlCharacter(code))
                return false;
            i += sequence;
            continue;
        }
        if ((c < 0x20 && !isXmlControlAllowed(c)) ||
            (!markupAllowed && isEscaped(c, quotes, whitespace)))
            return false;
        ++i;
    }
    return true;
}

void appendEscaped(cow_String& out, const cow_String& text, xml_Text::Quotes quotes,
                   Whitespace whitespace) {
    const std::size_t length = static_cast<std::size_t>(text.length());
    if (holdsOnly(text.c_str(), length, false, quotes, whitespace)) {
        out.append(text);
        return;
    }
    std::string escaped;
    appendEscaped(escaped, text.c_str(), length, quotes, whitespace);
    out.append(escaped.data(), static_cast<int>(escaped.size()));
}

} // namespace

void xml_Text::AppendEscaped(std::string& out, const char* text, std::size_t length,
                             Quotes quotes) {
    appendEscaped(out, text, length, quotes, whitespaceAsGiven);
}

bool xml_Text::IsPlain(const char* text, std::size_t length, Quotes quotes) {
    return holdsOnly(text, length, false, quotes, whitespaceAsGiven);
}

bool xml_Text::HoldsOnlyXmlCharacters(const char* text, std::size_t length) {
    return holdsOnly(text, length, true, quotesAsGiven, whitespaceAsGiven);
}

void xml_Text::AppendEscaped(cow_String& out, const cow_String& text) {
    appendEscaped(out, text, quotesEscaped, whitespaceAsGiven);
}

void xml_Text::AppendParsedText(cow_String& out, const cow_String& text) {
    appendEscaped(out, text, quotesAsGiven, returnAsReference);
}

void xml_Text::AppendParsedAttribute(cow_String& out, const cow_String& text) {
    appendEscaped(out, text, quotesEscaped, whitespaceAsReferences);
}
