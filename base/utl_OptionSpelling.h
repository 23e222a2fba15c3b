#ifndef BASE_UTL_OPTIONSPELLING_H
#define BASE_UTL_OPTIONSPELLING_H

#include "base/base_Export.h"

// Which known option a misspelt one was meant to be. Names are compared as people misspell
// options: leading dashes dropped, case ignored, '-' read as '_' ("--Direct-Port" is
// "direct_port"), then by the edits between them.
class QORKEL_API utl_OptionSpelling {
public:
    // Edits that turn one name into the other, once both are brought to that common form:
    // a character inserted, dropped or replaced, or two neighbours swapped.
    static int Distance(const char* given, const char* known);
    // The known name nearest to `given` within `tolerance` edits, the first of equals; null
    // when none is that near.
    static const char* Nearest(const char* given, const char* const* known, int count,
                               int tolerance);
    // How far a misspelling of an unknown option may stray from what was meant: a third of the
    // name, at least 2, but less than the whole name.
    static int ToleranceFor(const char* given);
};

#endif
