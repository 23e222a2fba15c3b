#ifndef IPM_IPM_WARNING_H
#define IPM_IPM_WARNING_H

#include "base/cow_String.h"

#include <string>

// The library's word to the job's user about an option it refuses or a message file it
// cannot write: one line on standard error, named after the library, so that it stands out
// in a job's log. Callers say each thing once.
void ipm_warn(const std::string& text);

// A value quoted inside a warning: control characters shown as '?', at most 60 characters.
std::string ipm_shown(const cow_String& value);
// The same without the quotes, for a value that names a place ("the monitor at h:5001").
std::string ipm_bare(const cow_String& value);

#endif
