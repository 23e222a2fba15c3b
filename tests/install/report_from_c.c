/* Compiled as C: the reporting header must be plain C. */
#include "ipm/ipm_sendMessage.h"

int report_from_c(void) {
    const char* started[] = {"install test"};
    const int integers[] = {3};
    const double reals[] = {0.5};
    const char* error[] = {"a < b"};
    int result = ipm_sendMessage("JobStarted", "message=%s", 0, 0, started);
    result |= ipm_sendMessage("Error", "step=%i load=%r message=%s", integers, reals, error);
    return result;
}
