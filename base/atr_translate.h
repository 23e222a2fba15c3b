#ifndef BASE_ATR_TRANSLATE_H
#define BASE_ATR_TRANSLATE_H

#include "base/base_Export.h"
#include "base/cow_String.h"

// Message translation. This host has one language, so a message translates to
// itself; placeholders ("%s", "%d", "%1" ...) are filled in by atr_SubstituteFormat.
class QORKEL_API atr_translate {
public:
    explicit atr_translate(const char* message);
    explicit atr_translate(const cow_String& message);

    const cow_String& Result() const { return text; }

private:
    cow_String text;

    friend QORKEL_API void atr_SubstituteFormat(atr_translate&, int, const cow_String&);
    friend QORKEL_API void atr_SubstituteFormat(atr_translate&, int, int);
};

// Replaces the first placeholder in the translation with the value. The middle
// argument is the host's substitution mode; the library always passes 1.
QORKEL_API void atr_SubstituteFormat(atr_translate& translation, int mode, const cow_String& value);
QORKEL_API void atr_SubstituteFormat(atr_translate& translation, int mode, int value);

#endif
