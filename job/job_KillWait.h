#ifndef JOB_JOB_KILLWAIT_H
#define JOB_JOB_KILLWAIT_H

// The demo job's pauses, cut short when the monitor's "Kill" arrives. The library calls the
// kill handler from its own thread while holding the transport's lock, so the handler only
// wakes the waiting thread.
class job_KillWait {
public:
    // Installs the kill handler; call once, before the first report.
    static void Install();
    // Waits up to the given time; true as soon as a Kill has arrived.
    static bool WaitFor(int milliseconds);
    static bool Killed();
};

#endif
