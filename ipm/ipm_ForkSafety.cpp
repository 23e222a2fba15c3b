#include "ipm/ipm_ForkSafety.h"

#include "base/aio_ostream.h"
#include "base/mem_TinyAllocator.h"
#include "base/thr_GlobalSingleton.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TaskRegistry.h"
#include "platform/platform_Thread.h"

#include <atomic>
#include <mutex>

namespace {

std::atomic<unsigned long> processNumber{0};
// The transmitter whose locks the forking thread holds, from before the fork to after it.
ipm_MessageTransmit* heldTransmitter = nullptr;

void prepare() {
    heldTransmitter = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
    if (heldTransmitter != nullptr)
        heldTransmitter->HoldForFork();
    ipm_TaskRegistry::HoldForFork();
}

void inParent() {
    ipm_TaskRegistry::ReleaseAfterFork();
    if (heldTransmitter != nullptr)
        heldTransmitter->ReleaseAfterFork();
    heldTransmitter = nullptr;
}

void inChild() {
    processNumber.fetch_add(1);
    ipm_TaskRegistry::ContinueInForkedChild();
    if (heldTransmitter != nullptr)
        heldTransmitter->ContinueInForkedChild();
    heldTransmitter = nullptr;
}

} // namespace

// Reports allocate and may write to standard error under the locks held here, so the
// allocator's and the streams' handlers are registered first: theirs take their locks after
// these are held, and release them before.
void ipm_ForkSafety::Install() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        mem_TinyAllocator::InstallForkHandlers();
        aio_ostream::InstallForkHandlers();
        platform_thread::atFork(prepare, inParent, inChild);
    });
}

unsigned long ipm_ForkSafety::ProcessNumber() {
    return processNumber.load();
}
