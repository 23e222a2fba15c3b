#include "monitor/mon_Text.h"

#include "xml/xml_Utf8.h"

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
            // A byte that begins no valid sequence is shown as an escape.
            unsigned long code = 0;
            const std::size_t length = xml_Utf8::Decode(
                reinterpret_cast<const unsigned char*>(text.data()) + at, text.size() - at, code);
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
