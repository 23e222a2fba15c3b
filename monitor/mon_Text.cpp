#include "monitor/mon_Text.h"

namespace {

const char hexDigits[] = "0123456789abcdef";

void appendByteEscape(std::string& out, unsigned char byte) {
    out += "\\x";
    out += hexDigits[byte >> 4];
    out += hexDigits[byte & 15];
}

void appendCodeEscape(std::string& out, unsigned long code) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += hexDigits[(code >> shift) & 15];
}

// Length of the UTF-8 sequence that starts at `at` and its code point; 0 when the bytes
// there are no valid sequence (then the first byte is shown as an escape).
std::size_t decodeUtf8(const std::string& text, std::size_t at, unsigned long& code) {
    const unsigned char first = static_cast<unsigned char>(text[at]);
    std::size_t length;
    unsigned long minimum;
    if (first >= 0xc2 && first <= 0xdf) {
        length = 2;
        code = first & 0x1f;
        minimum = 0x80;
    } else if (first >= 0xe0 && first <= 0xef) {
        length = 3;
        code = first & 0x0f;
        minimum = 0x800;
    } else if (first >= 0xf0 && first <= 0xf4) {
        length = 4;
        code = first & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3f);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

// Characters that a terminal acts on or that reorder what is shown around them.
bool isInvisibleControl(unsigned long code) {
    return (code >= 0x80 && code <= 0x9f) || (code >= 0x202a && code <= 0x202e) ||
           (code >= 0x2066 && code <= 0x2069) || code == 0x2028 || code == 0x2029;
}

std::size_t utf8Boundary(const std::string& text, std::size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80)
        --at;
    return at;
}

} // namespace

std::string mon_Text::Visible(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            appendByteEscape(shown, byte);
        } else if (byte >= 0x80) {
            unsigned long code = 0;
            const std::size_t length = decodeUtf8(text, at, code);
            if (length == 0) {
                appendByteEscape(shown, byte);
            } else {
                if (isInvisibleControl(code))
                    appendCodeEscape(shown, code);
                else
                    shown.append(text, at, length);
                at += length;
                continue;
            }
        } else {
            shown += char(byte);
        }
        ++at;
    }
    return shown;
}

std::string mon_Text::Quoted(const std::string& text) {
    std::string shown;
    bool quoted = text.empty();
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            shown += '\\';
            quoted = true;
        }
        quoted = quoted || c == ' ';
        shown += c;
    }
    shown = Visible(shown);
    return quoted ? "\"" + shown + "\"" : shown;
}

std::string mon_Text::Shortened(const std::string& text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    return text.substr(0, utf8Boundary(text, limit)) + "... (" + std::to_string(text.size()) +
           " bytes)";
}

std::string mon_Text::Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}
