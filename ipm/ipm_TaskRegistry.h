#ifndef IPM_IPM_TASKREGISTRY_H
#define IPM_IPM_TASKREGISTRY_H

#include "ipm/ipm_Clock.h"

#include <chrono>

// Which message tasks shut-down must wait for. A task registers when it is constructed: for
// the transmitter that exists then (its generation), or for the next one when none exists
// (generation 0). Shut-down waits, up to its deadline, for the tasks that are registered or
// inside Run, then closes the generation: a task whose Run starts only afterwards returns at
// once instead of serving a transmitter that is gone, or a later one. Every shut-down starts
// a new epoch, which is how a task made before any transmitter tells that it has missed its
// turn. Process-wide; every call is thread-safe.
class ipm_TaskRegistry {
public:
    typedef std::chrono::steady_clock Clock;

    // A transmitter of this generation now exists; tasks may register for it.
    static void Open(unsigned long generation);

    // Answers the epoch, which the task hands back to Enter and Deregister.
    static unsigned long Register(unsigned long generation);
    // A registered task that is destroyed without having run.
    static void Deregister(unsigned long generation, unsigned long epoch);
    // The generation the task now serves; 0 when its turn has passed and Run must return. A
    // task made before any transmitter gets the one that exists now, created if need be,
    // unless a shut-down came in between.
    static unsigned long Enter(unsigned long generation, unsigned long epoch, bool registered);
    static void Leave(unsigned long generation);

    // Waits until no task of the generation (nor one waiting for a transmitter) is registered
    // or running, or the deadline passes on the clock; true when none is.
    static bool WaitUntilIdle(unsigned long generation, Clock::time_point deadline,
                              ipm_Clock& clock);
    // Closes the generation for Enter; answers whether some of its tasks are still in Run.
    static bool Close(unsigned long generation);
    // Waits until the closed generation's tasks have left Run, then forgets it.
    static void WaitForRunningTasks(unsigned long generation);
    // A shut-down without a transmitter: the tasks waiting for one will not get it.
    static void EndEpoch();

    // Around fork(): the registry's lock is held across it. In the child no task runs, and none
    // made before the fork, nor one made later for the inherited transmitter, ever will.
    static void HoldForFork();
    static void ReleaseAfterFork();
    static void ContinueInForkedChild();
};

#endif
