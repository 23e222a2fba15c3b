/* A simulation job that reports its progress to the monitor. Build it with
 *     cc example.c $(pkg-config --cflags --libs QORKelCommunications) -o example
 * and run it with the options that say where reports go, for example
 *     ./example -job beam -message on -direct_port 5000 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include "QORKelCommunications.h"

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#define pause_ms(ms) Sleep(ms)
#else
#include <time.h>
static void pause_ms(long ms) {
    struct timespec interval = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&interval, NULL);
}
#endif

int main(int argc, char** argv) {
    const int steps = 20;
    int step;

    /* The options on the command line. Whatever is off, the library has said why on stderr,
     * and the reporting calls below are safe anyway. */
    ipm_startReporting(argc, argv);

    const char* program[] = {"example", "1.0"};
    ipm_sendMessage("Started", "program=%s version=%s steps=%i", &steps, NULL, program);
    const char* phase[] = {"Analysis", "Phase: Analysis"};
    ipm_sendMessage("Heading", "phase=%e heading=%s", NULL, NULL, phase);

    for (step = 1; step <= steps && !ipm_killRequested(); ++step) {
        char name[40];
        snprintf(name, sizeof name, "Analysis step %d", step);
        const char* texts[] = {"Analysis", name};
        const double time[] = {0.25 * step};
        ipm_sendMessage("Step", "phase=%e step=%i stepName=%s time=%r", &step, time, texts);
        if (step == 3) {
            const char* warning[] = {"Convergence slow, increment halved"};
            ipm_sendMessage("Warning", "message=%s", NULL, NULL, warning);
        }
        if (step == 6) {
            const char* error[] = {"Element 1042 distorted: Jacobian < 0", "model.inp"};
            ipm_sendMessage("Error", "message=%s file=%s", NULL, NULL, error);
        }
        pause_ms(100); /* the step's work */
    }

    if (ipm_killRequested()) {
        const char* end[] = {"Killed", "Stopped by the monitor"};
        ipm_sendMessage("Stopped", "status=%e message=%s", NULL, NULL, end);
        printf("example: stopped by the monitor's Kill after step %d\n", step - 1);
    } else {
        const char* end[] = {"Completed", "All steps done"};
        ipm_sendMessage("Finished", "status=%e message=%s", NULL, NULL, end);
        printf("example: finished all %d steps\n", steps);
    }
    ipm_stopReporting(); /* delivers what waits, then shuts the library down */
    return 0;
}
