#ifndef IPM_IPM_ENVIRONMENTSETTING_H
#define IPM_IPM_ENVIRONMENTSETTING_H

// A whole-number setting from the environment (MAX_ERROR_MESSAGES and the like). Only plain
// decimal digits, with a "-" in front at most, that make a number within the setting's range
// count; anything else ("1e6", "5s", " 12", "abc", a number out of range) keeps the default,
// and one line on standard error, once per variable and process, says so. Unset or empty is
// the default, silently.
class ipm_EnvironmentSetting {
public:
    static int Read(const char* name, int lowest, int highest, int defaultValue);

    // The value the text stands for, when it is plain decimal within the range.
    static bool Parse(const char* text, int lowest, int highest, int& value);
};

#endif
