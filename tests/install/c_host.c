/* A plain C host built with pkg-config alone. Without a "job" option reporting is
 * off, so the call only has to link and return 0. */
#include "ipm/ipm_sendMessage.h"

int main(void) {
    const char* texts[] = {"from C"};
    return ipm_sendMessage("Info", "message=%s", 0, 0, texts);
}
