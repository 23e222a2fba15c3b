#ifndef IPM_IPM_MISSPELTOPTIONS_H
#define IPM_IPM_MISSPELTOPTIONS_H

#include "base/utl_CommandLine.h"

// The library reads its options by their exact names and ignores the rest, so a misspelt one
// ("-direct-port", "-msgServer", "--job") would leave reporting off or undelivered without a
// word. The host's own options may look like the library's too, so only a name that differs
// from one of them in dashes or case alone, or by an edit or two from one that is not given,
// is told.
class ipm_MisspeltOptions {
public:
    // One line on stderr for each such option, once per name while reporting is up: the
    // transmitter of the given generation reads the command line again after a late start.
    static void Tell(const utl_CommandLine& commandLine, unsigned long generation);
};

#endif
