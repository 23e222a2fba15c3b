#ifndef IPM_IPM_WELLFORMEDTEXT_H
#define IPM_IPM_WELLFORMEDTEXT_H

#include <cstddef>
#include <string>

// Caller texts bound for an XMPP stream, where a server ends the whole stream on the
// first stanza that is not well-formed XML in UTF-8. Texts that are fine pass
// unchanged; any other is repaired into plain character data.
class ipm_WellFormedText {
public:
    // Whether the text can stand as an element's content: well-formed XML (elements,
    // the predefined and numeric references, character data) in UTF-8. Comments,
    // processing instructions, declarations and prefixed names count as not, since a
    // server may refuse them.
    static bool IsWellFormedContent(const char* text, std::size_t length);

    // Appends the text as character data: "&", "<" and ">" escaped, bytes that are not
    // UTF-8 read as Windows-1252, characters XML cannot carry replaced by U+FFFD.
    // For well-formed UTF-8 this is exactly the escaping of the escaped keys.
    static void AppendRepaired(std::string& out, const char* text, std::size_t length);

    // Appends the text unchanged when it is well-formed content, repaired otherwise.
    static void Append(std::string& out, const char* text, std::size_t length);
};

#endif
