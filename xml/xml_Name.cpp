#include "xml/xml_Name.h"

#include "base/xmp_Expat.h"
#include "xml/xml_Utf8.h"

#include <climits>

namespace {

struct Range {
    unsigned long first;
    unsigned long last;
};

// Name characters beyond ASCII, as XML 1.0 lists them.
constexpr Range nameStartRanges[] = {
    {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},
    {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F}, {0x2C00, 0x2FEF},
    {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF},
};
constexpr Range nameOnlyRanges[] = {{0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}};

constexpr bool inRanges(unsigned long code, const Range* ranges, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (code >= ranges[i].first && code <= ranges[i].last)
            return true;
    return false;
}

constexpr bool isAsciiLetter(unsigned long c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr bool isNameStart(unsigned long code) {
    if (code < 0x80)
        return isAsciiLetter(code) || code == '_';
    return inRanges(code, nameStartRanges, sizeof nameStartRanges / sizeof *nameStartRanges);
}

constexpr bool isNameOnly(unsigned long code) {
    if (code < 0x80)
        return (code >= '0' && code <= '9') || code == '-' || code == '.';
    return inRanges(code, nameOnlyRanges, sizeof nameOnlyRanges / sizeof *nameOnlyRanges);
}

// The name as the rules above make it; asciiOnly also replaces every character beyond
// ASCII. Answers whether any character beyond ASCII was kept.
bool appendSanitized(std::string& out, const unsigned char* name, std::size_t length,
                     bool asciiOnly) {
    bool keptBeyondAscii = false;
    bool first = true;
    for (std::size_t i = 0; i < length;) {
        unsigned long code = 0;
        const std::size_t sequence = xml_Utf8::Decode(name + i, length - i, code);
        const bool allowed = sequence != 0 && !(asciiOnly && code >= 0x80);
        if (allowed && isNameStart(code)) {
            out.append(reinterpret_cast<const char*>(name + i), sequence);
        } else if (allowed && isNameOnly(code)) {
            if (first)
                out += '_';
            out.append(reinterpret_cast<const char*>(name + i), sequence);
        } else {
            out += '_';
        }
        keptBeyondAscii = keptBeyondAscii || (allowed && code >= 0x80);
        i += sequence != 0 ? sequence : 1;
        first = false;
    }
    return keptBeyondAscii;
}

// The parsers that read payloads may know fewer name characters beyond ASCII than XML
// lists today; the name must pass the same parser.
bool parserTakesName(const std::string& name) {
    if (name.size() > std::size_t(INT_MAX / 2))
        return false;
    XML_Parser parser = xmp_XML_ParserCreate("UTF-8");
    if (parser == nullptr)
        return false;
    const std::string element = "<" + name + "/>";
    const bool taken =
        xmp_XML_Parse(parser, element.data(), int(element.size()), 1) == XML_STATUS_OK;
    xmp_XML_ParserFree(parser);
    return taken;
}

// Bit 1: may begin a name; bit 2: may stand in one. ASCII only.
struct AsciiNameTable {
    unsigned char kind[128];
    constexpr AsciiNameTable() : kind() {
        for (int c = 0; c < 128; ++c) {
            if (isNameStart(static_cast<unsigned long>(c)))
                kind[c] = 3;
            else if (isNameOnly(static_cast<unsigned long>(c)))
                kind[c] = 2;
        }
    }
};
constexpr AsciiNameTable asciiNames;

} // namespace

bool xml_Name::IsPlainAsciiName(const char* name, std::size_t length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
    if (length == 0 || bytes[0] >= 0x80 || (asciiNames.kind[bytes[0]] & 1) == 0)
        return false;
    for (std::size_t i = 1; i < length; ++i)
        if (bytes[i] >= 0x80 || asciiNames.kind[bytes[i]] == 0)
            return false;
    return true;
}

void xml_Name::Append(std::string& out, const char* name, std::size_t length,
                      const char* whenEmpty) {
    if (length == 0) {
        out += whenEmpty;
        return;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
    std::string sanitized;
    if (appendSanitized(sanitized, bytes, length, false) && !parserTakesName(sanitized)) {
        sanitized.clear();
        appendSanitized(sanitized, bytes, length, true);
    }
    out += sanitized;
}
