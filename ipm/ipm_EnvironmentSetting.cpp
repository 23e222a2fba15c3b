#include "ipm/ipm_EnvironmentSetting.h"

#include "ipm/ipm_Warning.h"

#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace {

// Said once per process, however often the setting is read (each new transmitter, each stop).
bool firstRefusalOf(const char* name) {
    static std::mutex* const mutex = new std::mutex;
    static std::set<std::string>* const told = new std::set<std::string>;
    std::lock_guard<std::mutex> lock(*mutex);
    return told->insert(name).second;
}

} // namespace

bool ipm_EnvironmentSetting::Parse(const char* text, int lowest, int highest, int& value) {
    const bool negative = *text == '-';
    const char* digit = negative ? text + 1 : text;
    if (*digit == '\0')
        return false;
    // Beyond every int the digits need not be added up, and cannot overflow.
    const long long beyondEveryInt = 10000000000LL;
    long long magnitude = 0;
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
        if (magnitude < beyondEveryInt)
            magnitude = magnitude * 10 + (*digit - '0');
    }
    const long long number = negative ? -magnitude : magnitude;
    if (number < lowest || number > highest)
        return false;
    value = static_cast<int>(number);
    return true;
}

int ipm_EnvironmentSetting::Read(const char* name, int lowest, int highest, int defaultValue) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return defaultValue;
    int value = defaultValue;
    if (Parse(text, lowest, highest, value))
        return value;
    if (firstRefusalOf(name))
        ipm_warn(std::string(name) + "=" + ipm_shown(text) + " is not a whole number from " +
                 std::to_string(lowest) + " to " + std::to_string(highest) + ": the default " +
                 std::to_string(defaultValue) + " is used");
    return defaultValue;
}
