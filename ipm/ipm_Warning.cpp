#include "ipm/ipm_Warning.h"

#include "base/aio_ostream.h"

namespace {

const int longestShownValue = 60;

} // namespace

void ipm_warn(const std::string& text) {
    const std::string line = "QORKelCommunications: " + text + "\n";
    aio_cerr.print(line.c_str());
    aio_cerr.flush();
}

std::string ipm_shown(const cow_String& value) {
    return "\"" + ipm_bare(value) + "\"";
}

std::string ipm_bare(const cow_String& value) {
    std::string shown;
    for (int i = 0; i < value.length() && i < longestShownValue; ++i) {
        const unsigned char character = static_cast<unsigned char>(value[i]);
        shown += character < 0x20 || character == 0x7f ? '?' : static_cast<char>(character);
    }
    if (value.length() > longestShownValue)
        shown += "...";
    return shown;
}
