#ifndef IPM_IPM_TASKREGISTRY_H
#define IPM_IPM_TASKREGISTRY_H

#include <chrono>

// Which message tasks shut-down must wait for. A task registers when it is constructed, for
// the transmitter that exists then (its generation); shut-down waits for the tasks of that
// generation that are registered or inside Run, then closes the generation, so that a task
// whose Run starts only afterwards returns at once instead of serving a transmitter that is
// gone or a later one. Process-wide; every call is thread-safe.
class ipm_TaskRegistry {
public:
    typedef std::chrono::steady_clock Clock;

    // A transmitter of this generation now exists; tasks may register for it.
    static void Open(unsigned long generation);

    static void Register(unsigned long generation);
    // A registered task that is destroyed without having run.
    static void Deregister(unsigned long generation);
    // False when the generation has been closed (or was never opened): Run must return.
    static bool Enter(unsigned long generation, bool registered);
    static void Leave(unsigned long generation);

    // Waits until no task of the generation is registered or running, or the deadline
    // passes; true when none is.
    static bool WaitUntilIdle(unsigned long generation, Clock::time_point deadline);
    // Closes the generation for Enter; answers whether some of its tasks are still in Run.
    static bool Close(unsigned long generation);
    // Waits until the closed generation's tasks have left Run, then forgets it.
    static void WaitForRunningTasks(unsigned long generation);
};

#endif
