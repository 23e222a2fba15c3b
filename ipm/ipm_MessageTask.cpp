#include "ipm/ipm_MessageTask.h"

#include "csp/csp_Host.h"
#include "ipm/ipm_DeliveryStatus.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TaskRegistry.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace {

typedef ipm_Clock Clock;

const Clock::Duration idlePause = std::chrono::milliseconds(100);
const Clock::Duration reportSpacing = std::chrono::milliseconds(60);
const Clock::Duration firstRetry = std::chrono::seconds(1);
const Clock::Duration longestRetry = std::chrono::seconds(10);
// While a stop waits for delivery, a transport that is down is tried this often, so that a
// monitor that comes back is reached at once.
const Clock::Duration stopRetry = std::chrono::milliseconds(250);
// The wire carries at most one notice in this time; the next one tells the sum.
const Clock::Duration noticeInterval = std::chrono::seconds(5);
// While a report waits for its spacing, the transport is polled at least this often.
const Clock::Duration spacingPoll = std::chrono::milliseconds(20);

// The transmitter this thread's Run serves; alive for as long as Run is.
thread_local ipm_MessageTransmit* servedTransmitter = nullptr;

// A name server that never answers must not hold the task once shut-down gives up on it.
bool lookupGivenUp() {
    return servedTransmitter != nullptr && servedTransmitter->IsAbandoned();
}

std::string reportsText(int count) {
    return std::to_string(count) + (count == 1 ? " report was" : " reports were");
}

class Delivery {
public:
    explicit Delivery(ipm_MessageTransmit& transmitter)
        : transmitter(transmitter), clock(transmitter.GetClock()), status(transmitter) {}

    void Serve() {
        while (!transmitter.IsAbandoned() && (transmitter.IsMechanismReady() ? deliver() : setUp()))
            ;
    }

private:
    ipm_MessageTransmit& transmitter;
    Clock& clock;
    ipm_DeliveryStatus status;
    Clock::Duration retryDelay = firstRetry;
    Clock::TimePoint nextAttempt = clock.Now();
    Clock::TimePoint lastAttempt = clock.Now() - stopRetry;
    Clock::TimePoint lastTransmission = clock.Now() - reportSpacing;
    Clock::TimePoint lastNotice = clock.Now() - noticeInterval;
    bool everUp = false;
    bool reconnectionToTell = false;

    bool wantsTransport() const { return transmitter.IsEnabled() && transmitter.HasMechanism(); }

    bool noticeWaiting() { return reconnectionToTell || transmitter.GetUndeliveredCount() > 0; }

    // False when the task is to end. A stop ends it once nothing it waits for is left, or
    // once its deadline has passed.
    bool setUp() {
        const bool stopping = transmitter.IsStopRequested();
        if (stopping && (!wantsTransport() || !transmitter.WaitsForStop() ||
                         transmitter.IsStopDeadlinePassed()))
            return false;
        if (!wantsTransport()) {
            pause(idlePause);
            return true;
        }
        const Clock::TimePoint now = clock.Now();
        const Clock::TimePoint due =
            stopping ? std::min(nextAttempt, lastAttempt + stopRetry) : nextAttempt;
        if (now < due) {
            pause(std::min<Clock::Duration>(due - now, idlePause));
            return true;
        }
        lastAttempt = now;
        std::string cause;
        if (!initialize(cause)) {
            tellDown(cause);
            retryLater();
            return true;
        }
        status.Up(clock.Now());
        retryDelay = firstRetry;
        reconnectionToTell = everUp;
        everUp = true;
        return true;
    }

    bool initialize(std::string& cause) {
        try {
            if (transmitter.InitializeMechanism())
                return true;
            cause = transmitter.GetFailureCause().c_str();
        } catch (...) {
            cause = ipm_DeliveryStatus::CauseOfCurrentFailure();
        }
        return false;
    }

    // A transport that shut-down gave up on has not failed.
    void tellDown(const std::string& cause) {
        if (!transmitter.IsAbandoned())
            status.Down(cause, clock.Now());
    }

    void retryLater() {
        nextAttempt = clock.Now() + retryDelay;
        retryDelay = std::min(retryDelay * 2, longestRetry);
    }

    // One step of delivery: a poll, then a report (or the notice) once the spacing since the
    // last one has passed. Polling through the spacing is what lets a "Kill" through while a
    // long backlog is delivered. A stop that has nothing left to wait for still tells the
    // notice that waits, whenever the last one went. False when the task is to end.
    bool deliver() {
        try {
            transmitter.PollMechanism();
            // Replaced or closed meanwhile: set up again first.
            if (!transmitter.IsMechanismReady())
                return true;
            const bool stopping = transmitter.IsStopRequested();
            if (stopping && transmitter.IsStopDeadlinePassed())
                return false;
            const bool finishing = stopping && !transmitter.WaitsForStop();
            if (finishing && !noticeWaiting())
                return false;
            const Clock::TimePoint now = clock.Now();
            if (now < lastTransmission + reportSpacing) {
                pause(std::min(lastTransmission + reportSpacing - now, spacingPoll));
                return true;
            }
            if (finishing) {
                // Reports still made meanwhile are not waited for, nor told of again.
                tellUndelivered();
                return false;
            }
            if (noticeWaiting() && now >= lastNotice + noticeInterval) {
                tellUndelivered();
                return true;
            }
            cow_String report;
            if (!transmitter.TakeNextMessage(report)) {
                pause(idlePause);
                return true;
            }
            transmit(report);
        } catch (...) {
            // The transmitter has marked the transport down; the next step sets it up again.
            tellDown(ipm_DeliveryStatus::CauseOfCurrentFailure());
            retryLater();
        }
        return true;
    }

    void transmit(const cow_String& report) {
        try {
            transmitter.TransmitMessage(report);
        } catch (...) {
            transmitter.ReturnMessage();
            throw;
        }
        transmitter.MessageDelivered();
        lastTransmission = clock.Now();
    }

    // Goes on the wire only: the message file holds every report already.
    void tellUndelivered() {
        const int undelivered = transmitter.GetUndeliveredCount();
        const std::string text = noticeText(undelivered);
        const int integers[] = {undelivered};
        const char* const texts[] = {text.c_str()};
        const cow_String notice = transmitter.Encode("Notice", "message=%s undelivered=%i",
                                                     integers, nullptr, texts, false);
        if (!notice.IsEmpty())
            transmitter.TransmitMessage(notice);
        transmitter.UndeliveredTold(undelivered);
        reconnectionToTell = false;
        lastTransmission = clock.Now();
        lastNotice = lastTransmission;
    }

    std::string noticeText(int undelivered) {
        std::string text = reconnectionToTell
                               ? "The connection to the monitor was lost and is back. "
                               : "More reports waited for delivery than MAX_PENDING_MESSAGES (" +
                                     std::to_string(transmitter.GetMaxPendingMessages()) +
                                     ") allows. ";
        text += reportsText(undelivered) + " dropped from the backlog and not delivered";
        if (reconnectionToTell)
            text += "; reports sent just before the connection was lost may be missing too";
        text += ".";
        const int unlogged = transmitter.GetUnloggedCount();
        if (!transmitter.IsMessageFileOpen())
            text += " There is no message file to read them in.";
        else if (unlogged > 0)
            text += " The message file " + std::string(transmitter.GetMessageFilePath().c_str()) +
                    " holds every report but " + std::to_string(unlogged) +
                    " that it could not take.";
        else
            text += " The message file " + std::string(transmitter.GetMessageFilePath().c_str()) +
                    " holds every report.";
        return text;
    }

    // Not past the moment the task gives up, nor past a stop request: a stop changes how soon
    // the transport is tried again.
    void pause(Clock::Duration duration) { transmitter.PauseDelivery(duration); }
};

} // namespace

ipm_MessageTask::ipm_MessageTask() : generation(0), epoch(0), registered(true) {
    if (const ipm_MessageTransmit* existing =
            thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
        generation = existing->GetGeneration();
    epoch = ipm_TaskRegistry::Register(generation);
}

ipm_MessageTask::~ipm_MessageTask() {
    if (registered)
        ipm_TaskRegistry::Deregister(generation, epoch);
}

void ipm_MessageTask::Run(int) {
    const bool wasRegistered = registered;
    registered = false;
    const unsigned long served = ipm_TaskRegistry::Enter(generation, epoch, wasRegistered);
    if (served == 0)
        return;
    ipm_MessageTransmit* const transmitter =
        thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
    if (transmitter == nullptr || transmitter->GetGeneration() != served) {
        ipm_TaskRegistry::Leave(served);
        return;
    }
    // Outlives the transmitter, which shut-down may destroy once the task has left.
    ipm_Clock& clock = transmitter->GetClock();
    clock.TaskEntered();
    transmitter->TaskEntered();
    transmitter->SetFinished(false);
    servedTransmitter = transmitter;
    csp_Host::setLookupGiveUpCheck(lookupGivenUp);
    try {
        Delivery(*transmitter).Serve();
    } catch (...) {
    }
    csp_Host::setLookupGiveUpCheck(nullptr);
    servedTransmitter = nullptr;
    transmitter->SetFinished(true);
    transmitter->TaskLeft();
    // The last touch: shut-down may destroy the transmitter from here on.
    ipm_TaskRegistry::Leave(served);
    clock.TaskLeft();
}
