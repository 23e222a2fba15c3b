#include "jcl/jcl_XmlText.h"

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

// A UTF-8 sequence at the front of the text: its length (0 when the bytes are not
// UTF-8) and the code point it encodes.
struct Sequence {
    std::size_t length;
    unsigned long code;
};

Sequence decodeUtf8(const unsigned char* s, std::size_t available) {
    const Sequence none = {0, 0};
    const unsigned char lead = s[0];
    std::size_t length;
    unsigned long code;
    unsigned long smallest;
    if (lead < 0xC2) // a continuation byte, or the lead of an overlong form
        return none;
    if (lead < 0xE0) {
        length = 2, code = lead & 0x1Fu, smallest = 0x80;
    } else if (lead < 0xF0) {
        length = 3, code = lead & 0x0Fu, smallest = 0x800;
    } else if (lead < 0xF5) {
        length = 4, code = lead & 0x07u, smallest = 0x10000;
    } else {
        return none;
    }
    if (available < length)
        return none;
    for (std::size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return none;
        code = (code << 6) | (s[i] & 0x3Fu);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return none;
    const Sequence sequence = {length, code};
    return sequence;
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

void appendAscii(std::string& out, unsigned char c, jcl_XmlText::Quotes quotes,
                 Whitespace whitespace) {
    const bool escapeQuotes = quotes == jcl_XmlText::quotesEscaped;
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

void appendEscaped(std::string& out, const char* text, std::size_t length,
                   jcl_XmlText::Quotes quotes, Whitespace whitespace) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            appendAscii(out, c, quotes, whitespace);
            ++i;
            continue;
        }
        const Sequence sequence = decodeUtf8(bytes + i, length - i);
        if (sequence.length == 0) {
            appendUtf8(out, c < 0xA0 ? windows1252High[c - 0x80] : c);
            ++i;
        } else {
            if (isXmlCharacter(sequence.code))
                out.append(text + i, sequence.length);
            else
                out += replacementCharacter;
            i += sequence.length;
        }
    }
}

bool isEscaped(unsigned char c, jcl_XmlText::Quotes quotes, Whitespace whitespace) {
    return c == '&' || c == '<' || c == '>' ||
           (quotes == jcl_XmlText::quotesEscaped && (c == '"' || c == '\'')) ||
           isReferencedWhitespace(c, whitespace);
}

// Whether the text is UTF-8 with only characters XML can carry and, unless markup is
// allowed, none that appendEscaped escapes.
bool holdsOnly(const char* text, std::size_t length, bool markupAllowed, jcl_XmlText::Quotes quotes,
               Whitespace whitespace) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const unsigned char c = bytes[i];
        if (c >= 0x80) {
            const Sequence sequence = decodeUtf8(bytes + i, length - i);
            if (sequence.length == 0 || !isXmlCharacter(sequence.code))
                return false;
            i += sequence.length;
            continue;
        }
        if ((c < 0x20 && !isXmlControlAllowed(c)) ||
            (!markupAllowed && isEscaped(c, quotes, whitespace)))
            return false;
        ++i;
    }
    return true;
}

void appendEscaped(cow_String& out, const cow_String& text, jcl_XmlText::Quotes quotes,
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

void jcl_XmlText::AppendEscaped(std::string& out, const char* text, std::size_t length,
                                Quotes quotes) {
    appendEscaped(out, text, length, quotes, whitespaceAsGiven);
}

bool jcl_XmlText::IsPlain(const char* text, std::size_t length, Quotes quotes) {
    return holdsOnly(text, length, false, quotes, whitespaceAsGiven);
}

bool jcl_XmlText::HoldsOnlyXmlCharacters(const char* text, std::size_t length) {
    return holdsOnly(text, length, true, quotesAsGiven, whitespaceAsGiven);
}

void jcl_XmlText::AppendEscaped(cow_String& out, const cow_String& text) {
    appendEscaped(out, text, quotesEscaped, whitespaceAsGiven);
}

void jcl_XmlText::AppendParsedText(cow_String& out, const cow_String& text) {
    appendEscaped(out, text, quotesAsGiven, returnAsReference);
}

void jcl_XmlText::AppendParsedAttribute(cow_String& out, const cow_String& text) {
    appendEscaped(out, text, quotesEscaped, whitespaceAsReferences);
}
