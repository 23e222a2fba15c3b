#include "ipm/ipm_TaskRegistry.h"

#include "ipm/ipm_MessageTransmit.h"

#include <condition_variable>
#include <mutex>
#include <new>

namespace {

// One transmitter exists at a time, so only the open generation's tasks are counted; a
// task of another generation is not waited for and may not run.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long openGeneration = 0;
    unsigned long epoch = 1;
    bool closing = false;
    int registered = 0;
    // Made while no transmitter existed, waiting for Run.
    int unbound = 0;
    int running = 0;
    // The clock WaitUntilIdle waits on, told of every change while it does.
    ipm_Clock* waitingClock = nullptr;
    int waitingOnClock = 0;
};

// Called with the registry's lock held.
void notifyWaiters(Registry& r) {
    if (r.waitingClock != nullptr)
        r.waitingClock->Notify(r.changed);
    else
        r.changed.notify_all();
}

// Never destroyed: a task may be destroyed during the host's static destruction.
Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

} // namespace

void ipm_TaskRegistry::Open(unsigned long generation) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.openGeneration = generation;
    r.closing = false;
    r.registered = 0;
    r.running = 0;
}

unsigned long ipm_TaskRegistry::Register(unsigned long generation) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation == 0)
        ++r.unbound;
    else if (generation == r.openGeneration && !r.closing)
        ++r.registered;
    return r.epoch;
}

void ipm_TaskRegistry::Deregister(unsigned long generation, unsigned long epoch) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (epoch != r.epoch)
            return;
        if (generation == 0 && r.unbound > 0)
            --r.unbound;
        else if (generation != 0 && generation == r.openGeneration && r.registered > 0)
            --r.registered;
        notifyWaiters(r);
    }
}

unsigned long ipm_TaskRegistry::Enter(unsigned long generation, unsigned long epoch,
                                      bool registered) {
    Registry& r = registry();
    const bool unbound = generation == 0;
    if (unbound) {
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            if (epoch != r.epoch)
                return 0;
        }
        // Outside the lock: creating the transmitter opens its generation.
        generation = ipm_MessageTransmit::Instance().GetGeneration();
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation != r.openGeneration || r.closing || (unbound && epoch != r.epoch))
        return 0;
    if (registered && unbound && r.unbound > 0)
        --r.unbound;
    else if (registered && !unbound && r.registered > 0)
        --r.registered;
    ++r.running;
    return generation;
}

void ipm_TaskRegistry::Leave(unsigned long generation) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (generation != r.openGeneration || r.running == 0)
            return;
        --r.running;
        notifyWaiters(r);
    }
}

bool ipm_TaskRegistry::WaitUntilIdle(unsigned long generation, Clock::time_point deadline,
                                     ipm_Clock& clock) {
    Registry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    r.waitingClock = &clock;
    ++r.waitingOnClock;
    const bool idle = clock.WaitUntil(lock, r.changed, deadline, [&] {
        return generation != r.openGeneration ||
               (r.registered == 0 && r.unbound == 0 && r.running == 0);
    });
    if (--r.waitingOnClock == 0)
        r.waitingClock = nullptr;
    return idle;
}

bool ipm_TaskRegistry::Close(unsigned long generation) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation != r.openGeneration)
        return false;
    r.closing = true;
    r.registered = 0;
    r.unbound = 0;
    ++r.epoch;
    return r.running > 0;
}

void ipm_TaskRegistry::WaitForRunningTasks(unsigned long generation) {
    Registry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    if (generation != r.openGeneration)
        return;
    r.changed.wait(lock, [&] { return r.running == 0; });
    r.openGeneration = 0;
    r.closing = false;
}

void ipm_TaskRegistry::EndEpoch() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.unbound = 0;
    ++r.epoch;
}

void ipm_TaskRegistry::HoldForFork() {
    registry().mutex.lock();
}

void ipm_TaskRegistry::ReleaseAfterFork() {
    registry().mutex.unlock();
}

// The tasks counted were the parent's threads; the child has none of them, and none of the
// parent's threads that may have waited on the condition.
void ipm_TaskRegistry::ContinueInForkedChild() {
    Registry& r = registry();
    new (&r.changed) std::condition_variable;
    r.closing = r.openGeneration != 0;
    r.registered = 0;
    r.unbound = 0;
    r.running = 0;
    r.waitingClock = nullptr;
    r.waitingOnClock = 0;
    ++r.epoch;
    r.mutex.unlock();
}
