#include "ipm/ipm_ReportPhase.h"

void ipm_ReportPhase::Set(const cow_String& newPhase) {
    std::lock_guard<std::mutex> guard(lock);
    phase = newPhase;
}

void ipm_ReportPhase::Set(const char* newPhase) {
    std::lock_guard<std::mutex> guard(lock);
    if (phase != newPhase)
        phase = newPhase;
}

cow_String ipm_ReportPhase::Get() const {
    std::lock_guard<std::mutex> guard(lock);
    return phase;
}

void ipm_ReportPhase::HoldForFork() {
    lock.lock();
}

void ipm_ReportPhase::ReleaseAfterFork() {
    lock.unlock();
}
