#include "ipm/ipm_Modules.h"

#include "base/base_Modules.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TaskRegistry.h"
#include "jcl/jcl_Connection.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

std::atomic<int> libraryUseCount{0};
std::atomic<int> reportingUseCount{0};

const int defaultShutdownSeconds = 30;
const int longestShutdownSeconds = 24 * 60 * 60;

// True for the first user only.
bool firstUser(std::atomic<int>& useCount) {
    return useCount.fetch_add(1) == 0;
}

// True for the last user only; an unmatched finalisation changes nothing.
bool lastUser(std::atomic<int>& useCount) {
    int current = useCount.load();
    while (current > 0 && !useCount.compare_exchange_weak(current, current - 1)) {
    }
    return current == 1;
}

// IPM_SHUTDOWN_SECONDS: how long shut-down lets the message task deliver what waits; 0 does
// not wait. Anything else than a number from 0 up keeps the default.
int shutdownSeconds() {
    const char* value = std::getenv("IPM_SHUTDOWN_SECONDS");
    if (value == nullptr || *value == '\0')
        return defaultShutdownSeconds;
    char* end = nullptr;
    const long seconds = std::strtol(value, &end, 10);
    if (*end != '\0' || seconds < 0)
        return defaultShutdownSeconds;
    return seconds > longestShutdownSeconds ? longestShutdownSeconds : static_cast<int>(seconds);
}

// The message task is asked to stop, which it does once nothing waits for delivery; past
// the deadline it is made to give up, and the transmitter's destruction waits for it to
// leave Run. Every report is in the message file by then.
void stopDelivery(ipm_MessageTransmit& transmitter) {
    const ipm_TaskRegistry::Clock::time_point deadline =
        ipm_TaskRegistry::Clock::now() + std::chrono::seconds(shutdownSeconds());
    transmitter.RequestStop();
    if (!ipm_TaskRegistry::WaitUntilIdle(transmitter.GetGeneration(), deadline))
        transmitter.Abandon();
}

} // namespace

void QORKelCommunications_initialize(int& moduleCount) {
    if (!firstUser(libraryUseCount))
        return;
    ++moduleCount;
    atr_initialize(moduleCount);
    cow_initialize(moduleCount);
    bas_initialize(moduleCount);
    xmp_initialize(moduleCount);
    utl_initialize(moduleCount);
    csp_initialize(moduleCount);
    jcl_initialize(moduleCount);
    ipm_initialize(moduleCount);
}

void QORKelCommunications_finalize(int& moduleCount) {
    if (!lastUser(libraryUseCount))
        return;
    --moduleCount;
    ipm_finalize(moduleCount);
    jcl_finalize(moduleCount);
    csp_finalize(moduleCount);
    utl_finalize(moduleCount);
    xmp_finalize(moduleCount);
    bas_finalize(moduleCount);
    cow_finalize(moduleCount);
    atr_finalize(moduleCount);
}

void ipm_initialize(int& moduleCount) {
    if (firstUser(reportingUseCount))
        ++moduleCount;
}

void ipm_finalize(int& moduleCount) {
    if (!lastUser(reportingUseCount))
        return;
    --moduleCount;
    if (ipm_MessageTransmit* transmitter = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
        stopDelivery(*transmitter);
    else
        ipm_TaskRegistry::EndEpoch();
    thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
}
