#ifndef IPM_IPM_MESSAGETRANSMIT_H
#define IPM_IPM_MESSAGETRANSMIT_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "base/thr_GlobalSingleton.h"
#include "cow/cow_List.h"
#include "ipm/ipm_Clock.h"
#include "ipm/ipm_DeliveryStop.h"
#include "ipm/ipm_ReportPhase.h"
#include "ipm/ipm_ReportRecorder.h"
#include "ipm/ipm_TransportSlot.h"

#include <atomic>
#include <chrono>

class ipm_TransmissionMechanism;

// The one process-wide object every report passes through: it encodes in the variant of the
// installed transport, has the recorder put the report into the message file and, within the
// error and warning caps, into the backlog the message task delivers. The reporting calls never
// wait on the network: the message task alone sets the transport up, and does it again after a
// failure.
//
// Each part keeps its own lock inside its own calls, and no caller holds one: the recorder (the
// message file and the backlog), the transport slot (the transport, one call at a time), the
// phase, and the stop. None of them calls another while it holds its lock.
//
// In a child made by fork() the transmitter goes on recording reports to the message file, but
// delivers none: its message task is not there, and its transport's connection is the parent's.
// The child closes its copy of that connection at once and never uses, shuts down or destroys
// the inherited transport.
class QORKEL_API ipm_MessageTransmit {
public:
    typedef std::chrono::steady_clock Clock;
    typedef ipm_ReportRecorder::DueNotices DueNotices;

    // The ranges the environment's settings are taken from (see ipm_EnvironmentSetting).
    static const int longestCap = 1000000000;
    static const int longestBacklog = 10000000;
    static const int longestShutdownSeconds = 24 * 60 * 60;

    // What the options "job" and "message" made of reporting.
    enum OptionVerdict { reportingOn, noJobOption, noMessageOption, messageNone, jobNotAFileName };

    ipm_MessageTransmit();
    ipm_MessageTransmit(const ipm_MessageTransmit&) = delete;
    ipm_MessageTransmit& operator=(const ipm_MessageTransmit&) = delete;
    // Ends a message task that still serves it (giving up on delivery), then destroys
    // the transport and closes the message file.
    ~ipm_MessageTransmit();

    static ipm_MessageTransmit& Instance();

    // Reads "job" and "message" again while reporting is off, so that options handed over at
    // start-up also apply to a transmitter that an earlier report made. Once reporting is on,
    // the job and its message file stay as they are.
    void ReadCommandLineAgain();
    OptionVerdict GetOptionVerdict() const { return optionVerdict.load(); }

    // The clock that delivery keeps: the message task's pace and retries, the stop's deadline
    // and shut-down's wait for it. Steady unless a test hands over one it drives, before the
    // message task runs; it must outlive the transmitter, or be replaced before it goes.
    void SetClock(ipm_Clock& newClock) { clock.store(&newClock); }
    ipm_Clock& GetClock() const { return *clock.load(); }

    // Takes ownership; a transport installed earlier is interrupted and destroyed once no
    // call uses it any more, and the message task sets the new one up. Safe at any time.
    void SetMechanism(ipm_TransmissionMechanism* newMechanism);
    // Sets the transport up (connects, logs in); false when there is none or it is not
    // ready. Failures the transport raises pass through. The message task calls it.
    bool InitializeMechanism() { return transport.Initialize(); }
    // Where the transport delivers, and why its last set-up answered false (empty when it did
    // not say), for the message task's lines about delivery. Empty without a transport.
    cow_String GetDestination() { return transport.GetDestination(); }
    cow_String GetFailureCause() { return transport.GetFailureCause(); }

    // The payload in the installed transport's variant; without one, in the variant every
    // transport can carry. Empty while reporting is off. Keeps the phase up to date.
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const;
    // Records one report (see ipm_ReportRecorder::Record); nothing while reporting is off.
    void BufferMessage(const cow_String& encoded, const cow_String& type, bool force);
    void BufferMessage(const cow_String& encoded, const char* type, bool force);
    // The same for an unforced report, with the limit notices that fall due with it.
    DueNotices BufferReport(const cow_String& encoded, const char* type);
    // Drops the reports waiting for delivery.
    void ClearMessageBuffer() { recorder.Clear(); }
    // A copy of the reports waiting for delivery.
    cow_List<cow_String> GetMessageBuffer() const { return recorder.GetWaiting(); }

    // For the message task: the oldest waiting report, taken out for delivery (false when none
    // waits); then either delivered, or put back first in line after a failure.
    bool TakeNextMessage(cow_String& report) { return recorder.TakeNext(report); }
    void MessageDelivered() { recorder.Delivered(); }
    void ReturnMessage() { recorder.PutBack(); }

    // These run one at a time on the transport and let its failures pass; a failure marks the
    // transport down, so that the message task sets it up again.
    void TransmitMessage(const cow_String& encoded) { transport.Transmit(encoded); }
    // Hands the report to a transport that is up, on the caller's thread; one that is not up,
    // or is busy for more than a quarter of a second (a write that makes no progress), gets
    // nothing. A write still unfinished at the deadline fails, and the transport counts as
    // down. True when the report was handed over.
    bool TransmitIfReady(const cow_String& encoded, Clock::time_point deadline) {
        return transport.TransmitWithin(encoded, deadline);
    }
    // Does nothing until the transport is up. A "Kill" found here reaches the host's kill
    // hook while the poll holds the transport, so the hook must only record the request.
    void PollMechanism() { transport.Poll(GetClock()); }
    // Closes the transport; the message task sets it up again unless it is ending.
    void CloseMechanism() { transport.Close(); }
    // Opens the message file now rather than with the first report, so that a directory that
    // cannot take it is told at start-up; true when it is open.
    bool OpenMessageFile();

    void SetPhase(const cow_String& newPhase) { phase.Set(newPhase); }
    // The same for a caller's text; a phase that stays as it was costs no new string.
    void SetPhase(const char* newPhase) { phase.Set(newPhase); }
    cow_String GetPhase() const { return phase.Get(); }

    // Asks the message task to deliver the reports that wait now, then end; reports made later
    // are recorded but not waited for. A transport that is down is tried again in short steps
    // until IPM_SHUTDOWN_SECONDS (default 30) have passed; then the task ends. Only the first
    // request counts.
    void RequestStop();
    // Makes the message task give up at once: it stops between two reports and a call
    // blocked on the network is interrupted. Shut-down does this once its deadline passes.
    void Abandon();
    // Shut-down's part in delivery: requests the stop and waits for the task to end, also when
    // its Run has not begun yet; past the stop's deadline, makes it give up. True when the task
    // ended within the deadline, not by giving up on reports at it.
    bool StopDelivery();
    // A report that waited when the stop was requested still waits for delivery.
    bool WaitsForStop() { return recorder.WaitsForStop(); }
    // The stop's deadline has passed (false while no stop is requested).
    bool IsStopDeadlinePassed() const;
    // The message task's pause: ends after `duration` on the clock, or once the task is to give
    // up, or at a stop request when none was made before.
    void PauseDelivery(ipm_Clock::Duration duration);

    // Around fork(), on the forking thread: holds the locks a report is recorded under, so that
    // the child inherits none held by a thread it does not have, then lets them go on each side.
    // In the child the transmitter stops delivering for good (see above).
    void HoldForFork();
    void ReleaseAfterFork();
    void ContinueInForkedChild();
    // This is a forked child's copy, which records but never delivers.
    bool IsInheritedByFork() const { return transport.IsInheritedByFork(); }

    // The message task brackets its Run with these, so that shut-down knows
    // whether it must wait before destroying the transmitter.
    void TaskEntered() { tasksRunning.fetch_add(1); }
    void TaskLeft() { tasksRunning.fetch_sub(1); }
    bool IsTaskRunning() const { return tasksRunning.load() > 0; }

    int GetErrorCount() const { return recorder.GetErrorCount(); }
    int GetWarningCount() const { return recorder.GetWarningCount(); }
    int GetMaxErrorMessages() const { return recorder.GetMaxErrors(); }
    int GetMaxWarningMessages() const { return recorder.GetMaxWarnings(); }
    // MAX_PENDING_MESSAGES: the most reports that wait for delivery (beyond it the oldest
    // that may go is dropped).
    int GetMaxPendingMessages() const { return recorder.GetBacklogBound(); }
    const cow_String& GetJobName() const { return jobName; }
    bool IsEnabled() const { return enabled.load(); }
    // The transport is up: set up and not failed since.
    bool IsMechanismReady() const { return transport.IsReady(); }
    bool HasMechanism() const { return transport.HasTransport(); }
    bool HasMessages() const { return recorder.HasWaiting(); }
    bool IsStopRequested() const { return stop.IsRequested(); }
    bool IsAbandoned() const { return stop.IsAbandoned(); }
    bool IsFinished() const { return finished.load(); }
    bool IsDisabled() const { return !recorder.IsDelivering(); }
    // Reports are recorded but no longer queued for delivery.
    void Disable() { recorder.StopDelivering(); }
    void SetFinished(bool value) { finished.store(value); }

    // Times the transport has been set up or tried to be, counted once each attempt is over.
    int GetConnectionAttempts() const { return transport.GetAttempts(); }
    // Reports waiting for delivery, the one being delivered included.
    int GetPendingCount() { return recorder.GetPending(); }
    // Reports dropped for the backlog's bound and not yet told to the monitor.
    int GetUndeliveredCount() { return recorder.GetDropped(); }
    // The monitor has been told of `count` undelivered reports.
    void UndeliveredTold(int count) { recorder.ForgetDropped(count); }
    // Reports that could not be written to the message file.
    int GetUnloggedCount() { return recorder.GetUnloggedCount(); }
    // The message file's path once a report has tried to open it; empty before.
    cow_String GetMessageFilePath() { return recorder.GetMessageFilePath(); }
    bool IsMessageFileOpen() { return recorder.IsMessageFileOpen(); }

    // Each transmitter has a number of its own, so that a task can tell whether the
    // transmitter it was made for is the one that exists now.
    unsigned long GetGeneration() const { return generation; }

private:
    std::atomic<bool> enabled;
    std::atomic<OptionVerdict> optionVerdict;
    std::atomic<bool> finished;
    std::atomic<int> tasksRunning;
    std::atomic<ipm_Clock*> clock;
    cow_String jobName;
    // Encoding keeps it up to date, also through the const Encode.
    mutable ipm_ReportPhase phase;
    ipm_ReportRecorder recorder;
    ipm_TransportSlot transport;
    ipm_DeliveryStop stop;
    const unsigned long generation;

    void readCommandLine();
    cow_String messageFilePath() const;
    void requestStopBy(Clock::time_point deadline);
};

extern template class QORKEL_API thr_GlobalSingletonBase<ipm_MessageTransmit>;
extern template class QORKEL_API thr_GlobalSingleton<ipm_MessageTransmit>;

#endif
