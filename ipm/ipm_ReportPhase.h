#ifndef IPM_IPM_REPORTPHASE_H
#define IPM_IPM_REPORTPHASE_H

#include "base/base_Export.h"
#include "base/cow_String.h"

#include <mutex>

// The job's current phase, as the reports' "phase" fields set it and the reports without one
// carry it. Encoding runs on every reporting thread at once, so each call takes the lock.
class QORKEL_API ipm_ReportPhase {
public:
    ipm_ReportPhase() = default;
    ipm_ReportPhase(const ipm_ReportPhase&) = delete;
    ipm_ReportPhase& operator=(const ipm_ReportPhase&) = delete;

    void Set(const cow_String& newPhase);
    // A phase that stays as it was costs no new string.
    void Set(const char* newPhase);
    cow_String Get() const;

    // Around fork(), on the forking thread: the child must not inherit the lock held by a thread
    // it does not have.
    void HoldForFork();
    void ReleaseAfterFork();

private:
    mutable std::mutex lock;
    cow_String phase;
};

#endif
