#include "ipm/ipm_TaskRegistry.h"

#include <condition_variable>
#include <mutex>

namespace {

// One transmitter exists at a time, so only the open generation's tasks are counted; a
// task of another generation is not waited for and may not run.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long openGeneration = 0;
    bool closing = false;
    int registered = 0;
    int running = 0;
};

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

void ipm_TaskRegistry::Register(unsigned long generation) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation == r.openGeneration)
        ++r.registered;
}

void ipm_TaskRegistry::Deregister(unsigned long generation) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (generation != r.openGeneration || r.registered == 0)
            return;
        --r.registered;
    }
    r.changed.notify_all();
}

bool ipm_TaskRegistry::Enter(unsigned long generation, bool registered) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation != r.openGeneration || r.closing)
        return false;
    if (registered && r.registered > 0)
        --r.registered;
    ++r.running;
    return true;
}

void ipm_TaskRegistry::Leave(unsigned long generation) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (generation != r.openGeneration || r.running == 0)
            return;
        --r.running;
    }
    r.changed.notify_all();
}

bool ipm_TaskRegistry::WaitUntilIdle(unsigned long generation, Clock::time_point deadline) {
    Registry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    return r.changed.wait_until(lock, deadline, [&] {
        return generation != r.openGeneration || (r.registered == 0 && r.running == 0);
    });
}

bool ipm_TaskRegistry::Close(unsigned long generation) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation != r.openGeneration)
        return false;
    r.closing = true;
    r.registered = 0;
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
