#include "ipm/ipm_Clock.h"

#include <atomic>

namespace {

std::atomic<ipm_Clock*> forNewTransmitters{nullptr};

class SteadyClock : public ipm_Clock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }

    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                   TimePoint until, const Condition& done) override {
        // A moment this far off does not convert to the system's time; it means no bound.
        if (until == TimePoint::max()) {
            changed.wait(lock, done);
            return true;
        }
        return changed.wait_until(lock, until, done);
    }

    void Notify(std::condition_variable& changed) override { changed.notify_all(); }
};

} // namespace

ipm_Clock::~ipm_Clock() = default;

bool ipm_Clock::WaitOutside(Duration longest, const std::function<bool(int)>& ready) {
    return ready(int(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
}

void ipm_Clock::TaskEntered() {}

void ipm_Clock::TaskLeft() {}

ipm_Clock& ipm_Clock::Steady() {
    // Never destroyed: a task may still wait on it while the host's statics go.
    static ipm_Clock* const steady = new SteadyClock;
    return *steady;
}

ipm_Clock& ipm_Clock::ForNewTransmitters() {
    ipm_Clock* const chosen = forNewTransmitters.load();
    return chosen != nullptr ? *chosen : Steady();
}

void ipm_Clock::SetForNewTransmitters(ipm_Clock* clock) {
    forNewTransmitters.store(clock);
}
