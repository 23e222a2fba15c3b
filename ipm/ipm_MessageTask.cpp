#include "ipm/ipm_MessageTask.h"

#include "base/QORBasUtlsleep.h"
#include "base/thr_LockGuard.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {

const int cycleMilliseconds = 100;
const int reportSpacingMilliseconds = 60;

// The reports buffered so far; later ones wait for the next batch.
cow_List<cow_String> takeBatch(ipm_MessageTransmit& transmitter) {
    thr_LockGuard<thr_Mutex> lock(transmitter.GetBufferLock());
    cow_List<cow_String> batch = transmitter.GetMessageBuffer();
    transmitter.ClearMessageBuffer();
    return batch;
}

void deliver(ipm_MessageTransmit& transmitter, const cow_List<cow_String>& batch) {
    for (int i = 0; i < batch.Count(); ++i) {
        transmitter.TransmitMessage(batch.ConstGet(i));
        QORBasUtlsleep(reportSpacingMilliseconds);
    }
}

// Returns on a stop request found with an empty buffer; transport failures pass.
void serve(ipm_MessageTransmit& transmitter) {
    for (;;) {
        transmitter.PollMechanism();
        // The stop request is read before the buffer: a report buffered before the
        // request is then certain to be seen and delivered first.
        const bool stopRequested = transmitter.IsStopRequested();
        if (transmitter.HasMessages())
            deliver(transmitter, takeBatch(transmitter));
        else if (stopRequested)
            return;
        QORBasUtlsleep(cycleMilliseconds);
    }
}

} // namespace

ipm_MessageTask::ipm_MessageTask() = default;

ipm_MessageTask::~ipm_MessageTask() = default;

void ipm_MessageTask::Run(int) {
    ipm_MessageTransmit* transmitter;
    try {
        transmitter = &ipm_MessageTransmit::Instance();
    } catch (...) {
        return;
    }
    transmitter->TaskEntered();
    try {
        serve(*transmitter);
    } catch (...) {
        transmitter->Disable();
    }
    transmitter->SetFinished(true);
    // The last touch: shut-down may destroy the transmitter from here on.
    transmitter->TaskLeft();
}
