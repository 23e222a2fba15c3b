#ifndef JOB_JOB_SIMULATION_H
#define JOB_JOB_SIMULATION_H

#include <string>

// A pretend simulation that reports as a real one does: it starts, goes through three
// phases of steps with headings, progress, a few warnings and errors, and ends; a Kill from
// the monitor stops it after the step in hand.
class job_Simulation {
public:
    job_Simulation(int steps, int stepMilliseconds);

    // The start report: the first one, which connects the transport.
    void Start();
    // True when every step ran, false when the monitor stopped the job.
    bool RunSteps();
    int StepsDone() const { return stepsDone; }
    int Steps() const { return steps; }

private:
    int steps;
    int stepMilliseconds;
    int stepsDone;
    std::string phase;

    const char* phaseOf(int step) const;
    void reportStart();
    void reportHeading(const char* newPhase);
    void reportStep(int step);
    void reportProblems(int step);
    void reportProgress(int step);
    void reportEnd(bool completed);
};

#endif
