#ifndef IPM_IPM_PAYLOADENCODER_H
#define IPM_IPM_PAYLOADENCODER_H

#include "base/base_Export.h"
#include "base/cow_String.h"

class ipm_MessageTransmit;
class ipm_ReportPhase;

// Turns a report into its one-line XML payload. The transports share this one
// encoding and differ only in which string fields are escaped, whether reals are
// forced into the single-precision range and which markup a value may keep; each
// variant is one constant.
//
// Whatever the caller passes, the payload is one well-formed element:
// - a value that is well-formed XML content in UTF-8 is kept as it is (markup
//   included, except under the escaped keys, whose "&", "<" and ">" are always
//   escaped); any other value is written as text: "&", "<" and ">" escaped, bytes that
//   are not UTF-8 read as Windows-1252, control characters other than tab, line feed
//   and carriage return, U+FFFE and U+FFFF replaced by U+FFFD (xml_WellFormedText);
// - the type and the keys are written as XML names (xml_Name): each character that
//   cannot stand in a name, ":" included, becomes "_"; an empty type becomes "Report",
//   an empty key "field".
class QORKEL_API ipm_PayloadEncoder {
public:
    // RealsClampedToFloat writes values beyond the single-precision range as the
    // largest single-precision value of their sign, and NaN as the positive one.
    enum RealForm { RealsAsGiven, RealsClampedToFloat };
    // Which markup a value may keep: any well-formed content (the direct monitor parses
    // it), or only elements without prefixed names (an XMPP server drops the whole
    // stream at anything it refuses, losing every later report).
    enum TextForm { TextsWellFormed, TextsStanzaSafe };

    // escapedKeys: the keys whose string values have & < > escaped; the array must
    // outlive the encoder.
    ipm_PayloadEncoder(const char* const* escapedKeys, int escapedKeyCount, RealForm realForm,
                       TextForm textForm);

    // The direct TCP variant: four escaped keys, reals clamped, any well-formed markup.
    static const ipm_PayloadEncoder& Direct();
    // The Jabber variant: two escaped keys, reals unchanged, markup a server takes.
    static const ipm_PayloadEncoder& Jabber();

    // Reads and updates the phase. A null type is the empty name, a null format the empty
    // field list, a null array or text entry an empty value.
    cow_String Encode(ipm_ReportPhase& phase, const cow_String& jobName, const char* type,
                      const char* format, const int* integers, const double* reals,
                      const char* const* texts, bool started) const;
    // The same with the transmitter's phase.
    cow_String Encode(ipm_MessageTransmit& transmitter, const cow_String& jobName, const char* type,
                      const char* format, const int* integers, const double* reals,
                      const char* const* texts, bool started) const;

    bool IsEscapedKey(const char* key, int keyLength) const;
    double ReportedReal(double value) const;

private:
    template <class Phase>
    cow_String encode(Phase& phase, const cow_String& jobName, const char* type, const char* format,
                      const int* integers, const double* reals, const char* const* texts,
                      bool started) const;

    const char* const* escapedKeys;
    int escapedKeyCount;
    RealForm realForm;
    TextForm textForm;
};

#endif
