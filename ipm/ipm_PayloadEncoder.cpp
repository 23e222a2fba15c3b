#include "ipm/ipm_PayloadEncoder.h"

#include "base/omi_AlertListener.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_WellFormedText.h"
#include "ipm/ipm_XmlName.h"

#include <cmath>
#include <cstring>
#include <string>

namespace {

const char* const directEscapedKeys[] = {"heading", "stepName", "message", "file"};
const char* const jabberEscapedKeys[] = {"heading", "stepName"};

// The largest single-precision value, which the direct monitor reads, with the value's
// sign, in place of anything it cannot hold.
const double largestFloat = 3.4028234663852886e+38;

enum FieldKind { UnknownField, IntegerField, RealField, StringField, BooleanField, SymconstField };

// One field of the format: "key=...%t".
struct Field {
    const char* key;
    int keyLength;
    FieldKind kind;
};

FieldKind kindOfLetter(const char* letter, int length) {
    if (length != 1)
        return UnknownField;
    switch (letter[0]) {
    case 'i':
    case 'I':
        return IntegerField;
    case 'r':
    case 'R':
        return RealField;
    case 's':
    case 'S':
        return StringField;
    case 'b':
    case 'B':
        return BooleanField;
    case 'e':
    case 'E':
        return SymconstField;
    default:
        return UnknownField;
    }
}

Field parseField(const char* text, int length) {
    const void* equals = std::memchr(text, '=', static_cast<std::size_t>(length));
    const void* percent = std::memchr(text, '%', static_cast<std::size_t>(length));
    Field field;
    field.key = text;
    field.keyLength = equals ? int(static_cast<const char*>(equals) - text) : length;
    if (percent == nullptr) {
        field.kind = UnknownField;
        return field;
    }
    const char* letter = static_cast<const char*>(percent) + 1;
    field.kind = kindOfLetter(letter, int(text + length - letter));
    return field;
}

const char* typeAttribute(FieldKind kind) {
    switch (kind) {
    case IntegerField:
        return " type=\"integer\">";
    case RealField:
        return " type=\"float\">";
    case StringField:
        return " type=\"string\">";
    case BooleanField:
        return " type=\"boolean\">";
    default:
        return " type=\"symconst\">";
    }
}

// Read positions in the three value arrays; a missing array or entry reads as empty.
class ValueCursor {
public:
    ValueCursor(const int* integers, const double* reals, const char* const* texts)
        : integers(integers), reals(reals), texts(texts) {}

    int NextInteger() { return integers ? integers[integerIndex++] : 0; }
    double NextReal() { return reals ? reals[realIndex++] : 0.0; }
    const char* NextText() {
        const char* text = texts ? texts[textIndex++] : nullptr;
        return text ? text : "";
    }

private:
    const int* integers;
    const double* reals;
    const char* const* texts;
    int integerIndex = 0;
    int realIndex = 0;
    int textIndex = 0;
};

void appendCow(std::string& out, const cow_String& text) {
    out.append(text.c_str(), static_cast<std::size_t>(text.length()));
}

ipm_WellFormedText::Markup markupOf(ipm_PayloadEncoder::TextForm form) {
    return form == ipm_PayloadEncoder::TextsStanzaSafe ? ipm_WellFormedText::stanzaMarkup
                                                       : ipm_WellFormedText::anyMarkup;
}

// A caller's text as the variant writes it; escaped says whether its key is escaped.
void appendText(std::string& out, const char* text, std::size_t length, bool escaped,
                ipm_PayloadEncoder::TextForm form) {
    if (escaped)
        ipm_WellFormedText::AppendRepaired(out, text, length);
    else
        ipm_WellFormedText::Append(out, text, length, markupOf(form));
}

void appendText(std::string& out, const char* text, bool escaped,
                ipm_PayloadEncoder::TextForm form) {
    appendText(out, text, std::strlen(text), escaped, form);
}

void appendText(std::string& out, const cow_String& text, ipm_PayloadEncoder::TextForm form) {
    appendText(out, text.c_str(), static_cast<std::size_t>(text.length()), false, form);
}

void appendTypeName(std::string& out, const char* type) {
    ipm_XmlName::Append(out, type, std::strlen(type), "Report");
}

void appendKey(std::string& out, const Field& field) {
    ipm_XmlName::Append(out, field.key, static_cast<std::size_t>(field.keyLength), "field");
}

bool isPhaseKey(const Field& field) {
    return field.keyLength == 5 && std::memcmp(field.key, "phase", 5) == 0;
}

} // namespace

ipm_PayloadEncoder::ipm_PayloadEncoder(const char* const* escapedKeys, int escapedKeyCount,
                                       RealForm realForm, TextForm textForm)
    : escapedKeys(escapedKeys), escapedKeyCount(escapedKeyCount), realForm(realForm),
      textForm(textForm) {}

const ipm_PayloadEncoder& ipm_PayloadEncoder::Direct() {
    static const ipm_PayloadEncoder direct(directEscapedKeys, 4, RealsClampedToFloat,
                                           TextsWellFormed);
    return direct;
}

const ipm_PayloadEncoder& ipm_PayloadEncoder::Jabber() {
    static const ipm_PayloadEncoder jabber(jabberEscapedKeys, 2, RealsAsGiven, TextsStanzaSafe);
    return jabber;
}

bool ipm_PayloadEncoder::IsEscapedKey(const char* key, int keyLength) const {
    for (int i = 0; i < escapedKeyCount; ++i) {
        const char* candidate = escapedKeys[i];
        if (std::strlen(candidate) == static_cast<std::size_t>(keyLength) &&
            std::memcmp(candidate, key, static_cast<std::size_t>(keyLength)) == 0)
            return true;
    }
    return false;
}

double ipm_PayloadEncoder::ReportedReal(double value) const {
    if (realForm == RealsAsGiven)
        return value;
    if (std::isnan(value) || value > largestFloat)
        return largestFloat;
    if (value < -largestFloat)
        return -largestFloat;
    return value;
}

cow_String ipm_PayloadEncoder::Encode(ipm_MessageTransmit& transmitter, const cow_String& jobName,
                                      const char* type, const char* format, const int* integers,
                                      const double* reals, const char* const* texts,
                                      bool started) const {
    std::string root;
    appendTypeName(root, type ? type : "");
    std::string out;
    out.reserve(256);
    out += '<';
    out += root;
    out += '>';

    ValueCursor values(integers, reals, texts);
    bool phaseSeen = false;
    const char* rest = format ? format : "";
    while (*rest) {
        const char* blank = std::strchr(rest, ' ');
        const int length = blank ? int(blank - rest) : int(std::strlen(rest));
        const Field field = parseField(rest, length);
        rest += blank ? length + 1 : length;
        // A field the language does not know is left out whole: no element, no value.
        if (field.kind == UnknownField)
            continue;
        if (isPhaseKey(field))
            phaseSeen = true;
        std::string key;
        appendKey(key, field);
        out += '<';
        out += key;
        out += typeAttribute(field.kind);
        switch (field.kind) {
        case IntegerField:
            appendCow(out, cow_String(values.NextInteger()));
            break;
        case RealField:
            appendCow(out, cow_String(ReportedReal(values.NextReal())));
            break;
        case StringField:
            appendText(out, values.NextText(), IsEscapedKey(field.key, field.keyLength), textForm);
            break;
        case BooleanField:
            appendText(out, values.NextText(), false, textForm);
            break;
        default: {
            const char* text = values.NextText();
            appendText(out, text, false, textForm);
            if (phaseSeen)
                transmitter.SetPhase(text);
        }
        }
        out += "</";
        out += key;
        out += '>';
    }

    if (!phaseSeen) {
        out += "<phase type=\"symconst\">";
        appendText(out, transmitter.GetPhase(), textForm);
        out += "</phase>";
    }
    out += "<jobName type=\"string\">";
    appendText(out, jobName, textForm);
    out += "</jobName>";
    if (started) {
        out += "<clientHost type=\"string\">";
        appendText(out, utl_getHostName(), textForm);
        out += "</clientHost><handle type=\"integer\">";
        appendCow(out, cow_String(omi_Singleton<omi_AlertListener>::Instance().GetHandle()));
        out += "</handle>";
    }
    out += "</";
    out += root;
    out += ">\n";
    return cow_String(out.data(), int(out.size()));
}
