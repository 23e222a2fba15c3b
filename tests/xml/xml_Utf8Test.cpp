// The one UTF-8 decoder behind the escaping, the name repair and the monitor's display:
// what it takes, what it refuses, and that the escaping and the names agree with it.
#include "xml/xml_Utf8.h"
#include "xml/xml_Name.h"
#include "xml/xml_Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* name;
    std::string bytes;
    std::size_t length;
    unsigned long code;
    // A name may hold the character as it stands (the parsers that read payloads know it).
    bool nameCharacter;
};

const Case cases[] = {
    {"ASCII", "A", 1, 0x41, true},
    {"two bytes", "\xC3\xA9", 2, 0xE9, true},
    {"three bytes", "\xE2\x82\xAC", 3, 0x20AC, false},
    {"four bytes", "\xF0\x9F\x98\x80", 4, 0x1F600, false},
    {"the last code point", "\xF4\x8F\xBF\xBF", 4, 0x10FFFF, false},
    {"a continuation byte alone", "\x80", 0, 0, false},
    {"an overlong two-byte form", "\xC0\xAF", 0, 0, false},
    {"the lead C1, always overlong", "\xC1\xBF", 0, 0, false},
    {"an overlong three-byte form", "\xE0\x80\xAF", 0, 0, false},
    {"an overlong four-byte form", "\xF0\x80\x80\xAF", 0, 0, false},
    {"a surrogate", "\xED\xA0\x80", 0, 0, false},
    {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 0, false},
    {"a lead beyond F4", "\xF5\x80\x80\x80", 0, 0, false},
    {"cut short", "\xE2\x82", 0, 0, false},
    {"a lead followed by ASCII", std::string("\xC3") + "A", 0, 0, false},
    {"Latin-1 as a host writes it", "\xE9", 0, 0, false},
};

TEST(xml_Utf8Test, DecodesTheShortestFormsAndRefusesTheRest) {
    for (const Case& c : cases) {
        unsigned long code = 0;
        const std::size_t length = xml_Utf8::Decode(
            reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), code);
        EXPECT_EQ(c.length, length) << c.name;
        if (length != 0) {
            EXPECT_EQ(c.code, code) << c.name;
        }
    }
}

// Text that the decoder refuses is repaired, and so is a name that holds it; what it takes
// passes unchanged in text, and in a name where a name may hold the character.
TEST(xml_Utf8Test, EscapingAndNamesAgreeWithTheDecoder) {
    for (const Case& c : cases) {
        const std::string text = "a" + c.bytes;
        const bool taken = c.length != 0;
        EXPECT_EQ(taken, xml_Text::IsPlain(text.data(), text.size(), xml_Text::quotesEscaped))
            << c.name;
        std::string name;
        xml_Name::Append(name, text.data(), text.size(), "field");
        EXPECT_EQ(c.nameCharacter, name == text) << c.name << ": " << name;
    }
}

} // namespace
