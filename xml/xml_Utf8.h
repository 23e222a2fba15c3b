#ifndef XML_XML_UTF8_H
#define XML_XML_UTF8_H

#include <cstddef>

// UTF-8 as XML, a server and a terminal read it: the shortest form only, no surrogates,
// nothing above U+10FFFF. Inline, since the escaping and the name rules call it per
// character beyond ASCII.
class xml_Utf8 {
public:
    // The length of the sequence at the front of `bytes` (1 for ASCII), with the code point
    // it encodes in `code`; 0 when the bytes there are not UTF-8 (a continuation byte, an
    // overlong form, a surrogate, a sequence cut short by `available`).
    static std::size_t Decode(const unsigned char* bytes, std::size_t available,
                              unsigned long& code) {
        const unsigned char lead = bytes[0];
        std::size_t length;
        unsigned long smallest;
        if (lead < 0x80) {
            code = lead;
            return 1;
        }
        if (lead < 0xC2)
            return 0;
        if (lead < 0xE0)
            length = 2, code = lead & 0x1Fu, smallest = 0x80;
        else if (lead < 0xF0)
            length = 3, code = lead & 0x0Fu, smallest = 0x800;
        else if (lead < 0xF5)
            length = 4, code = lead & 0x07u, smallest = 0x10000;
        else
            return 0;
        if (available < length)
            return 0;
        for (std::size_t i = 1; i < length; ++i) {
            if ((bytes[i] & 0xC0) != 0x80)
                return 0;
            code = (code << 6) | (bytes[i] & 0x3Fu);
        }
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return 0;
        return length;
    }
};

#endif
