#ifndef IPM_IPM_DELIVERYSTOP_H
#define IPM_IPM_DELIVERYSTOP_H

#include "base/base_Export.h"
#include "ipm/ipm_Clock.h"

#include <condition_variable>
#include <mutex>

// The host's word to the message task: stop once what waited is delivered, by a deadline (the
// first request counts), or give up at once (abandon). The task's pauses end early on either.
class QORKEL_API ipm_DeliveryStop {
public:
    ipm_DeliveryStop();
    ipm_DeliveryStop(const ipm_DeliveryStop&) = delete;
    ipm_DeliveryStop& operator=(const ipm_DeliveryStop&) = delete;

    // False, with nothing changed, when a stop was requested before.
    bool Request(ipm_Clock::TimePoint deadline, ipm_Clock& clock);
    void Abandon(ipm_Clock& clock);
    bool IsRequested() const {
        return locked([&] { return requested; });
    }
    bool IsAbandoned() const {
        return locked([&] { return abandoned; });
    }
    // The deadline of the stop requested; false while none is.
    bool IsDeadlinePassed(ipm_Clock::TimePoint now) const {
        return locked([&] { return requested && now >= deadline; });
    }
    // The stop's deadline; the end of time while no stop is requested.
    ipm_Clock::TimePoint GetDeadline() const {
        return locked([&] { return deadline; });
    }

    // Waits until `until`, but not past an abandon, nor past a stop request when none was made
    // before the pause began.
    void Pause(ipm_Clock& clock, ipm_Clock::TimePoint until);

    // Around fork(), on the forking thread: the lock is held across it; in the child, the
    // parent's threads that waited are gone.
    void HoldForFork() { lock.lock(); }
    void ReleaseAfterFork() { lock.unlock(); }
    void ContinueInForkedChild();

private:
    mutable std::mutex lock;
    std::condition_variable changed;
    bool requested;
    bool abandoned;
    ipm_Clock::TimePoint deadline;

    template <class Call> auto locked(Call call) const -> decltype(call()) {
        std::lock_guard<std::mutex> guard(lock);
        return call();
    }
};

#endif
