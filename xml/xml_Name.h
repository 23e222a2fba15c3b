#ifndef XML_XML_NAME_H
#define XML_XML_NAME_H

#include <cstddef>
#include <string>

// A report's type and its field keys become element names of the payload. A name that
// XML cannot carry would make the whole report unreadable (and an XMPP server drop the
// stream), so every name is written as one that it can:
// - a character that may not stand in a name is replaced by "_", and so is each byte
//   that is not UTF-8; ":" counts as such a character, since a server reads a prefix
//   as a namespace that nobody declared;
// - a first character that may stand in a name but not begin one (a digit, "-", ".")
//   gets a "_" before it;
// - an empty name becomes the given replacement;
// - should the parsers that read payloads (Expat, which knows the name characters of an
//   older edition of XML) still refuse the result, every character beyond ASCII in it
//   is replaced as well.
// Names that XML can carry, and that hold no ":", are written unchanged.
class xml_Name {
public:
    static void Append(std::string& out, const char* name, std::size_t length,
                       const char* whenEmpty);
    // A quick test that answers true only for names Append writes unchanged: ASCII letters,
    // digits, "_", "-" and ".", beginning with a letter or "_". Keys and types are nearly
    // always such names.
    static bool IsPlainAsciiName(const char* name, std::size_t length);
};

#endif
