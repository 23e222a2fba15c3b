/* A host that starts reporting and returns from main without ipm_stopReporting. */
#include "QORKelCommunications.h"

#include <stdio.h>

int main(void) {
    int step;
    if (ipm_startReporting(0, NULL) != IPM_REPORTING_ON)
        return 2;
    for (step = 1; step <= 40; ++step) {
        const char* texts[] = {"a report the host never waits for"};
        ipm_sendMessage("Info", "step=%i message=%s", &step, NULL, texts);
    }
    printf("forgetful_host: made 40 reports and leaves\n");
    return 0;
}
