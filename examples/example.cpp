// A simulation job in C++ that reports its progress to the monitor. Reporting lasts as long as
// the ipm_ReportingScope: its destructor delivers what waits and stops reporting.
#include "QORKelCommunications.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    const ipm_ReportingScope reporting(argc, argv);
    const int steps = 20;

    const char* program[] = {"cpp_example", "1.0"};
    ipm_sendMessage("Started", "program=%s version=%s steps=%i", &steps, nullptr, program);
    const char* phase[] = {"Analysis", "Phase: Analysis"};
    ipm_sendMessage("Heading", "phase=%e heading=%s", nullptr, nullptr, phase);

    int step = 1;
    for (; step <= steps && !reporting.KillRequested(); ++step) {
        const std::string name = "Analysis step " + std::to_string(step);
        const char* texts[] = {"Analysis", name.c_str()};
        const double time[] = {0.25 * step};
        ipm_sendMessage("Step", "phase=%e step=%i stepName=%s time=%r", &step, time, texts);
        if (step == 3) {
            const char* warning[] = {"Convergence slow, increment halved"};
            ipm_sendMessage("Warning", "message=%s", nullptr, nullptr, warning);
        }
        if (step == 6) {
            const char* error[] = {"Element 1042 distorted: Jacobian < 0", "model.inp"};
            ipm_sendMessage("Error", "message=%s file=%s", nullptr, nullptr, error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the step's work
    }

    if (reporting.KillRequested()) {
        const char* end[] = {"Killed", "Stopped by the monitor"};
        ipm_sendMessage("Stopped", "status=%e message=%s", nullptr, nullptr, end);
        std::printf("cpp_example: stopped by the monitor's Kill after step %d\n", step - 1);
    } else {
        const char* end[] = {"Completed", "All steps done"};
        ipm_sendMessage("Finished", "status=%e message=%s", nullptr, nullptr, end);
        std::printf("cpp_example: finished all %d steps\n", steps);
    }
    return 0;
}
