#include "ipm/ipm_DeliveryStop.h"

#include <new>

ipm_DeliveryStop::ipm_DeliveryStop()
    : requested(false), abandoned(false), deadline(ipm_Clock::TimePoint::max()) {}

bool ipm_DeliveryStop::Request(ipm_Clock::TimePoint stopDeadline, ipm_Clock& clock) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (requested)
            return false;
        requested = true;
        deadline = stopDeadline;
    }
    clock.Notify(changed);
    return true;
}

void ipm_DeliveryStop::Abandon(ipm_Clock& clock) {
    locked([&] { abandoned = true; });
    clock.Notify(changed);
}

void ipm_DeliveryStop::Pause(ipm_Clock& clock, ipm_Clock::TimePoint until) {
    std::unique_lock<std::mutex> held(lock);
    const bool stoppingAlready = requested;
    clock.WaitUntil(held, changed, until,
                    [&] { return abandoned || (!stoppingAlready && requested); });
}

void ipm_DeliveryStop::ContinueInForkedChild() {
    new (&changed) std::condition_variable;
    lock.unlock();
}
