#include "base/atr_translate.h"

#include <cctype>

atr_translate::atr_translate(const char* message) : text(message) {}

atr_translate::atr_translate(const cow_String& message) : text(message) {}

// A placeholder is '%' followed by a letter or digits; "%%" is a literal percent.
static bool findPlaceholder(const cow_String& text, int& position, int& length) {
    for (int i = 0; i + 1 < text.length(); ++i) {
        if (text[i] != '%')
            continue;
        if (text[i + 1] == '%') {
            ++i;
            continue;
        }
        int end = i + 1;
        while (end < text.length() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end == i + 1 && std::isalpha(static_cast<unsigned char>(text[end])))
            ++end;
        if (end > i + 1) {
            position = i;
            length = end - i;
            return true;
        }
    }
    return false;
}

void atr_SubstituteFormat(atr_translate& translation, int, const cow_String& value) {
    int position = 0;
    int length = 0;
    if (findPlaceholder(translation.text, position, length))
        translation.text.replace(position, length, value.c_str(), value.length());
}

void atr_SubstituteFormat(atr_translate& translation, int mode, int value) {
    atr_SubstituteFormat(translation, mode, cow_String(value));
}
