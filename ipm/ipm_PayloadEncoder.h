#ifndef IPM_IPM_PAYLOADENCODER_H
#define IPM_IPM_PAYLOADENCODER_H

#include "base/base_Export.h"
#include "base/cow_String.h"

class ipm_MessageTransmit;

// Turns a report into its one-line XML payload. The transports share this one
// encoding and differ only in which string fields are escaped and whether reals
// are forced into the single-precision range; each variant is one constant.
class QORKEL_API ipm_PayloadEncoder {
public:
    enum RealForm { RealsAsGiven, RealsClampedToFloat };
    // TextsAsGiven copies the caller's texts (escaping the escaped keys). TextsWellFormed
    // keeps a text that is well-formed XML content in UTF-8 as it is and repairs any
    // other (see ipm_WellFormedText): an XMPP server drops the whole stream on the
    // first stanza that is not well-formed, losing every later report.
    enum TextForm { TextsAsGiven, TextsWellFormed };

    // escapedKeys: the keys whose string values have & < > escaped; the array must
    // outlive the encoder.
    ipm_PayloadEncoder(const char* const* escapedKeys, int escapedKeyCount, RealForm realForm,
                       TextForm textForm = TextsAsGiven);

    // The direct TCP variant: four escaped keys, reals clamped.
    static const ipm_PayloadEncoder& Direct();
    // The Jabber variant: two escaped keys, reals unchanged, texts well-formed.
    static const ipm_PayloadEncoder& Jabber();

    // Reads and updates the transmitter's phase. A null type is the empty name, a
    // null format the empty field list, a null array or text entry an empty value.
    cow_String Encode(ipm_MessageTransmit& transmitter, const cow_String& jobName, const char* type,
                      const char* format, const int* integers, const double* reals,
                      const char* const* texts, bool started) const;

    bool IsEscapedKey(const char* key, int keyLength) const;
    double ReportedReal(double value) const;

private:
    const char* const* escapedKeys;
    int escapedKeyCount;
    RealForm realForm;
    TextForm textForm;
};

#endif
