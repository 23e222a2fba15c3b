#include "ipm/ipm_PayloadEncoder.h"

#include "base/omi_AlertListener.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_PayloadWriter.h"
#include "xml/xml_Name.h"
#include "xml/xml_WellFormedText.h"

#include <charconv>
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

// The opening tag's rest: the type attribute and the closing ">".
void appendTypeAttribute(ipm_PayloadWriter& out, FieldKind kind) {
    switch (kind) {
    case IntegerField:
        out.AppendLiteral(" type=\"integer\">");
        break;
    case RealField:
        out.AppendLiteral(" type=\"float\">");
        break;
    case StringField:
        out.AppendLiteral(" type=\"string\">");
        break;
    case BooleanField:
        out.AppendLiteral(" type=\"boolean\">");
        break;
    default:
        out.AppendLiteral(" type=\"symconst\">");
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

// Numbers in the string service's forms (cow_String's int and double constructors), written
// straight into the payload.
template <class Number> void appendNumber(ipm_PayloadWriter& out, Number value) {
    const std::size_t room = 64;
    char* const at = out.Reserve(room);
    out.Commit(static_cast<std::size_t>(std::to_chars(at, at + room, value).ptr - at));
}

xml_WellFormedText::Markup markupOf(ipm_PayloadEncoder::TextForm form) {
    return form == ipm_PayloadEncoder::TextsStanzaSafe ? xml_WellFormedText::stanzaMarkup
                                                       : xml_WellFormedText::anyMarkup;
}

// A caller's text as the variant writes it; escaped says whether its key is escaped. Plain
// text, nearly every value, is the same either way and goes in as it is; the rest is worked
// out in scratch.
void appendText(ipm_PayloadWriter& out, std::string& scratch, const char* text, std::size_t length,
                bool escaped, ipm_PayloadEncoder::TextForm form) {
    if (xml_WellFormedText::IsPlain(text, length)) {
        out.Append(text, length);
        return;
    }
    scratch.clear();
    if (escaped)
        xml_WellFormedText::AppendRepaired(scratch, text, length);
    else
        xml_WellFormedText::Append(scratch, text, length, markupOf(form));
    out.Append(scratch);
}

void appendText(ipm_PayloadWriter& out, std::string& scratch, const char* text, bool escaped,
                ipm_PayloadEncoder::TextForm form) {
    appendText(out, scratch, text, std::strlen(text), escaped, form);
}

void appendText(ipm_PayloadWriter& out, std::string& scratch, const cow_String& text,
                ipm_PayloadEncoder::TextForm form) {
    appendText(out, scratch, text.c_str(), static_cast<std::size_t>(text.length()), false, form);
}

void appendName(ipm_PayloadWriter& out, std::string& scratch, const char* name, std::size_t length,
                const char* whenEmpty) {
    if (xml_Name::IsPlainAsciiName(name, length)) {
        out.Append(name, length);
        return;
    }
    scratch.clear();
    xml_Name::Append(scratch, name, length, whenEmpty);
    out.Append(scratch);
}

bool isPhaseKey(const Field& field) {
    return field.keyLength == 5 && std::memcmp(field.key, "phase", 5) == 0;
}

// The phase as the two callers keep it.
struct TransmitterPhase {
    ipm_MessageTransmit& transmitter;
    void Set(const char* phase) { transmitter.SetPhase(phase); }
    cow_String Get() const { return transmitter.GetPhase(); }
};

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
        if (std::strncmp(candidate, key, static_cast<std::size_t>(keyLength)) == 0 &&
            candidate[keyLength] == '\0')
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

cow_String ipm_PayloadEncoder::Encode(ipm_ReportPhase& phase, const cow_String& jobName,
                                      const char* type, const char* format, const int* integers,
                                      const double* reals, const char* const* texts,
                                      bool started) const {
    return encode(phase, jobName, type, format, integers, reals, texts, started);
}

cow_String ipm_PayloadEncoder::Encode(ipm_MessageTransmit& transmitter, const cow_String& jobName,
                                      const char* type, const char* format, const int* integers,
                                      const double* reals, const char* const* texts,
                                      bool started) const {
    TransmitterPhase phase{transmitter};
    return encode(phase, jobName, type, format, integers, reals, texts, started);
}

template <class Phase>
cow_String ipm_PayloadEncoder::encode(Phase& phase, const cow_String& jobName, const char* type,
                                      const char* format, const int* integers, const double* reals,
                                      const char* const* texts, bool started) const {
    ipm_PayloadWriter out;
    // Only names and texts that need repair go through it.
    std::string scratch;
    const char* const typeName = type ? type : "";
    out.Append('<');
    const std::size_t rootAt = out.Size();
    appendName(out, scratch, typeName, std::strlen(typeName), "Report");
    const std::size_t rootLength = out.Size() - rootAt;
    out.Append('>');

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
        out.Append('<');
        const std::size_t keyAt = out.Size();
        appendName(out, scratch, field.key, static_cast<std::size_t>(field.keyLength), "field");
        const std::size_t keyLength = out.Size() - keyAt;
        appendTypeAttribute(out, field.kind);
        switch (field.kind) {
        case IntegerField:
            appendNumber(out, values.NextInteger());
            break;
        case RealField:
            appendNumber(out, ReportedReal(values.NextReal()));
            break;
        case StringField:
            appendText(out, scratch, values.NextText(), IsEscapedKey(field.key, field.keyLength),
                       textForm);
            break;
        case BooleanField:
            appendText(out, scratch, values.NextText(), false, textForm);
            break;
        default: {
            const char* text = values.NextText();
            appendText(out, scratch, text, false, textForm);
            if (phaseSeen)
                phase.Set(text);
        }
        }
        out.AppendLiteral("</");
        out.AppendWritten(keyAt, keyLength);
        out.Append('>');
    }

    if (!phaseSeen) {
        out.AppendLiteral("<phase type=\"symconst\">");
        appendText(out, scratch, phase.Get(), textForm);
        out.AppendLiteral("</phase>");
    }
    out.AppendLiteral("<jobName type=\"string\">");
    appendText(out, scratch, jobName, textForm);
    out.AppendLiteral("</jobName>");
    if (started) {
        out.AppendLiteral("<clientHost type=\"string\">");
        appendText(out, scratch, utl_getHostName(), textForm);
        out.AppendLiteral("</clientHost><handle type=\"integer\">");
        appendNumber(out, omi_Singleton<omi_AlertListener>::Instance().GetHandle());
        out.AppendLiteral("</handle>");
    }
    out.AppendLiteral("</");
    out.AppendWritten(rootAt, rootLength);
    out.AppendLiteral(">\n");
    return out.ToString();
}
