#include "ipm/ipm_DeliveryStop.h"

#include <new>

namespace {

typedef std::lock_guard<std::mutex> Guard;

} // namespace

ipm_DeliveryStop::ipm_DeliveryStop()
    : requested(false), abandoned(false), deadline(ipm_Clock::TimePoint::max()) {}

bool ipm_DeliveryStop::Request(ipm_Clock::TimePoint stopDeadline, ipm_Clock& clock) {
    {
        Guard guard(lock);
        if (requested)
            return false;
        requested = true;
        deadline = stopDeadline;
    }
    clock.Notify(changed);
    return true;
}

void ipm_DeliveryStop::Abandon(ipm_Clock& clock) {
    {
        Guard guard(lock);
        abandoned = true;
    }
    clock.Notify(changed);
}

bool ipm_DeliveryStop::IsRequested() const {
    Guard guard(lock);
    return requested;
}

bool ipm_DeliveryStop::IsAbandoned() const {
    Guard guard(lock);
    return abandoned;
}

bool ipm_DeliveryStop::IsDeadlinePassed(ipm_Clock::TimePoint now) const {
    Guard guard(lock);
    return requested && now >= deadline;
}

ipm_Clock::TimePoint ipm_DeliveryStop::GetDeadline() const {
    Guard guard(lock);
    return deadline;
}

void ipm_DeliveryStop::Pause(ipm_Clock& clock, ipm_Clock::TimePoint until) {
    std::unique_lock<std::mutex> held(lock);
    const bool stoppingAlready = requested;
    clock.WaitUntil(held, changed, until,
                    [&] { return abandoned || (!stoppingAlready && requested); });
}

void ipm_DeliveryStop::HoldForFork() {
    lock.lock();
}

void ipm_DeliveryStop::ReleaseAfterFork() {
    lock.unlock();
}

void ipm_DeliveryStop::ContinueInForkedChild() {
    new (&changed) std::condition_variable;
    lock.unlock();
}
