#include "job/job_Simulation.h"

#include "QORKelCommunications.h"
#include "job/job_KillWait.h"

#include <cmath>

namespace {

const char* const phases[] = {"Preprocessing", "Analysis", "Postprocessing"};

} // namespace

job_Simulation::job_Simulation(int steps, int stepMilliseconds)
    : steps(steps), stepMilliseconds(stepMilliseconds), stepsDone(0) {}

void job_Simulation::Start() {
    reportStart();
}

bool job_Simulation::RunSteps() {
    for (int step = 1; step <= steps; ++step) {
        if (phase != phaseOf(step))
            reportHeading(phaseOf(step));
        reportStep(step);
        reportProblems(step);
        reportProgress(step);
        stepsDone = step;
        if (job_KillWait::WaitFor(stepMilliseconds))
            break;
    }
    const bool completed = stepsDone == steps && !job_KillWait::Killed();
    reportEnd(completed);
    return completed;
}

// The first quarter prepares, the last quarter writes results, the rest solves.
const char* job_Simulation::phaseOf(int step) const {
    if (step * 4 <= steps)
        return phases[0];
    if (step * 4 > steps * 3)
        return phases[2];
    return phases[1];
}

void job_Simulation::reportStart() {
    const char* texts[] = {"ipm_job", "1.0", "demo model"};
    const int integers[] = {steps};
    ipm_sendMessage("Job Started", "program=%s version=%s model=%s steps=%i", integers, nullptr,
                    texts);
}

void job_Simulation::reportHeading(const char* newPhase) {
    phase = newPhase;
    const std::string heading = "Phase: " + phase;
    const char* texts[] = {phase.c_str(), heading.c_str()};
    ipm_sendMessage("Heading", "phase=%e heading=%s", nullptr, nullptr, texts);
}

void job_Simulation::reportStep(int step) {
    const std::string name = phase + " step " + std::to_string(step);
    const char* texts[] = {phase.c_str(), name.c_str()};
    const int integers[] = {step};
    const double reals[] = {step * 0.25, std::pow(10.0, -step % 7)};
    ipm_sendMessage("Step", "phase=%e step=%i stepName=%s time=%r residual=%r", integers, reals,
                    texts);
}

// A warning every fourth step, a two-line one in the middle, and an error late in the run:
// enough to see the counts move and values that need escaping.
void job_Simulation::reportProblems(int step) {
    if (step % 4 == 2) {
        const std::string message =
            "Convergence slow at step " + std::to_string(step) + ", increment halved";
        const char* texts[] = {message.c_str()};
        ipm_sendMessage("Warning", "message=%s", nullptr, nullptr, texts);
    }
    if (step == steps / 2) {
        const char* texts[] = {"Contact not closed\nsee the message file for the surfaces"};
        ipm_sendMessage("Warning", "message=%s", nullptr, nullptr, texts);
    }
    if (step == (steps * 3) / 4 || step == steps - 1) {
        const char* texts[] = {"Element 1042 distorted: Jacobian < 0 & aspect ratio > 50",
                               "model.inp"};
        ipm_sendMessage("Error", "message=%s file=%s", nullptr, nullptr, texts);
    }
}

void job_Simulation::reportProgress(int step) {
    const int integers[] = {step * 100 / steps};
    ipm_sendMessage("Progress", "percent=%i", integers, nullptr, nullptr);
}

void job_Simulation::reportEnd(bool completed) {
    if (completed) {
        const char* texts[] = {"Completed", "All steps done"};
        ipm_sendMessage("Finished", "status=%e message=%s", nullptr, nullptr, texts);
        return;
    }
    const std::string message = "Stopped by the monitor after step " + std::to_string(stepsDone) +
                                " of " + std::to_string(steps);
    const char* texts[] = {"Killed", message.c_str()};
    ipm_sendMessage("Stopped", "status=%e message=%s", nullptr, nullptr, texts);
}
