#ifndef TESTS_IPM_IPM_REFERENCEPAYLOAD_H
#define TESTS_IPM_IPM_REFERENCEPAYLOAD_H

// The payload encoding written the plain way: every name and text through xml_Name and
// xml_WellFormedText, every number through cow_String's constructors, a std::string grown
// as it goes. The encoder takes shortcuts for speed; its payloads must equal these byte for
// byte, which the differential test and the payload fuzzer check.

#include "base/cow_String.h"
#include "base/omi_AlertListener.h"
#include "base/omi_Singleton.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_PayloadEncoder.h"
#include "xml/xml_Name.h"
#include "xml/xml_WellFormedText.h"

#include <cstring>
#include <string>

namespace ipm_reference {

inline void appendText(std::string& out, const char* text, std::size_t length, bool escaped,
                       bool stanzaSafe) {
    if (escaped)
        xml_WellFormedText::AppendRepaired(out, text, length);
    else
        xml_WellFormedText::Append(out, text, length,
                                   stanzaSafe ? xml_WellFormedText::stanzaMarkup
                                              : xml_WellFormedText::anyMarkup);
}

inline void appendText(std::string& out, const cow_String& text, bool stanzaSafe) {
    appendText(out, text.c_str(), std::size_t(text.length()), false, stanzaSafe);
}

inline void appendCow(std::string& out, const cow_String& text) {
    out.append(text.c_str(), std::size_t(text.length()));
}

inline const char* typeAttribute(char letter) {
    switch (letter) {
    case 'i':
    case 'I':
        return " type=\"integer\">";
    case 'r':
    case 'R':
        return " type=\"float\">";
    case 's':
    case 'S':
        return " type=\"string\">";
    case 'b':
    case 'B':
        return " type=\"boolean\">";
    case 'e':
    case 'E':
        return " type=\"symconst\">";
    default:
        return nullptr;
    }
}

// The payload of one report in `variant`; stanzaSafe says which markup texts may keep (the
// Jabber variant's). Reads and updates the transmitter's phase as the encoder does.
inline std::string Encode(const ipm_PayloadEncoder& variant, bool stanzaSafe,
                          ipm_MessageTransmit& transmitter, const cow_String& jobName,
                          const char* type, const char* format, const int* integers,
                          const double* reals, const char* const* texts, bool started) {
    int integerIndex = 0, realIndex = 0, textIndex = 0;
    const auto nextText = [&] {
        const char* text = texts ? texts[textIndex++] : nullptr;
        return text ? text : "";
    };
    const char* typeName = type ? type : "";
    std::string root;
    xml_Name::Append(root, typeName, std::strlen(typeName), "Report");
    std::string out = "<" + root + ">";
    bool phaseSeen = false;
    const std::string fields = format ? format : "";
    for (std::size_t start = 0; start < fields.size();) {
        std::size_t end = fields.find(' ', start);
        if (end == std::string::npos)
            end = fields.size();
        const std::string field = fields.substr(start, end - start);
        start = end + 1;
        const std::string key = field.substr(0, field.find('='));
        const std::size_t percent = field.find('%');
        const char* attribute = nullptr;
        if (percent != std::string::npos && percent + 2 == field.size())
            attribute = typeAttribute(field[percent + 1]);
        if (attribute == nullptr)
            continue;
        if (key == "phase")
            phaseSeen = true;
        std::string name;
        xml_Name::Append(name, key.data(), key.size(), "field");
        out += "<" + name + attribute;
        switch (field[percent + 1]) {
        case 'i':
        case 'I':
            appendCow(out, cow_String(integers ? integers[integerIndex++] : 0));
            break;
        case 'r':
        case 'R':
            appendCow(out, cow_String(variant.ReportedReal(reals ? reals[realIndex++] : 0.0)));
            break;
        case 's':
        case 'S': {
            const char* text = nextText();
            appendText(out, text, std::strlen(text),
                       variant.IsEscapedKey(key.data(), int(key.size())), stanzaSafe);
            break;
        }
        case 'b':
        case 'B': {
            const char* text = nextText();
            appendText(out, text, std::strlen(text), false, stanzaSafe);
            break;
        }
        default: {
            const char* text = nextText();
            appendText(out, text, std::strlen(text), false, stanzaSafe);
            if (phaseSeen)
                transmitter.SetPhase(cow_String(text));
        }
        }
        out += "</" + name + ">";
    }
    if (!phaseSeen) {
        out += "<phase type=\"symconst\">";
        appendText(out, transmitter.GetPhase(), stanzaSafe);
        out += "</phase>";
    }
    out += "<jobName type=\"string\">";
    appendText(out, jobName, stanzaSafe);
    out += "</jobName>";
    if (started) {
        out += "<clientHost type=\"string\">";
        appendText(out, utl_getHostName(), stanzaSafe);
        out += "</clientHost><handle type=\"integer\">";
        appendCow(out, cow_String(omi_Singleton<omi_AlertListener>::Instance().GetHandle()));
        out += "</handle>";
    }
    out += "</" + root + ">\n";
    return out;
}

} // namespace ipm_reference

#endif
