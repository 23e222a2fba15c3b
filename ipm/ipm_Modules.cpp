#include "ipm/ipm_Modules.h"

#include "base/base_Modules.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TaskRegistry.h"
#include "jcl/jcl_Connection.h"

#include <atomic>

namespace {

std::atomic<int> libraryUseCount{0};
std::atomic<int> reportingUseCount{0};

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
        transmitter->StopDelivery();
    else
        ipm_TaskRegistry::EndEpoch();
    thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
}
