#ifndef IPM_IPM_MESSAGETRANSMIT_H
#define IPM_IPM_MESSAGETRANSMIT_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "base/thr_GlobalSingleton.h"
#include "base/thr_Mutex.h"
#include "cow/cow_List.h"
#include "ipm/ipm_MessageBacklog.h"
#include "ipm/ipm_MessageFile.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>

class ipm_TransmissionMechanism;

// The one process-wide object every report passes through: it encodes through the
// installed transport, appends to the message file, applies the error and warning
// caps and keeps the backlog the message task delivers. The reporting calls never wait
// on the network: the message task alone sets the transport up, and does it again
// after a failure.
//
// Locks: bufferLock guards the backlog, the counters, the notice claims and the message
// file; the transport lock serialises everything done on the transport; the swap lock
// keeps a transport that Encode uses from being deleted under it. No two of them are
// ever taken the other way round: the transport lock may be held while the swap lock is
// taken, bufferLock is never held with either.
//
// In a child made by fork() the transmitter goes on recording reports to the message file, but
// delivers none: its message task is not there, and its transport's connection is the parent's.
// The child closes its copy of that connection at once and never uses, shuts down or destroys
// the inherited transport.
class QORKEL_API ipm_MessageTransmit {
public:
    typedef std::chrono::steady_clock Clock;

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

    // Takes ownership; a transport installed earlier is interrupted and destroyed once no
    // call uses it any more, and the message task sets the new one up. Safe at any time.
    void SetMechanism(ipm_TransmissionMechanism* newMechanism);
    // Sets the transport up (connects, logs in); false when there is none or it is not
    // ready. Failures the transport raises pass through. The message task calls it.
    bool InitializeMechanism();
    // Where the transport delivers, and why its last set-up answered false (empty when it did
    // not say), for the message task's lines about delivery. Empty without a transport.
    cow_String GetDestination();
    cow_String GetFailureCause();

    // The payload of the installed transport; without one, the payload every transport
    // can carry. Empty while reporting is off.
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const;
    // Logs, counts and queues one report. Call with bufferLock held.
    void BufferMessage(const cow_String& encoded, const cow_String& type, bool force);
    void BufferMessage(const cow_String& encoded, const char* type, bool force);
    // Drops the reports waiting for delivery. Call with bufferLock held.
    void ClearMessageBuffer();
    // A copy of the reports waiting for delivery. Call with bufferLock held.
    cow_List<cow_String> GetMessageBuffer() const;

    // For the message task, each taking bufferLock itself: the oldest waiting report, taken
    // out for delivery (false when none waits); then either delivered, or put back first in
    // line after a failure.
    bool TakeNextMessage(cow_String& report);
    void MessageDelivered();
    void ReturnMessage();

    // These serialise on the transport lock and let the transport's failures pass; a failure
    // marks the transport down, so that the message task sets it up again.
    void TransmitMessage(const cow_String& encoded);
    // Hands the report to a transport that is up, on the caller's thread; one that is not up,
    // or is busy for more than a quarter of a second (a write that makes no progress), gets
    // nothing. A write still unfinished at the deadline fails, and the transport counts as
    // down. True when the report was handed over.
    bool TransmitIfReady(const cow_String& encoded, Clock::time_point deadline);
    // Does nothing until the transport is up. A "Kill" found here reaches the host's kill
    // hook inside the transport lock, so the hook must only record the request.
    void PollMechanism();
    // Closes the transport; the message task sets it up again unless it is ending.
    void CloseMechanism();
    // Opens the message file now rather than with the first report, so that a directory that
    // cannot take it is told at start-up; true when it is open.
    bool OpenMessageFile();

    void SetPhase(const cow_String& newPhase);
    // The same for a caller's text; a phase that stays as it was costs no new string.
    void SetPhase(const char* newPhase);
    cow_String GetPhase() const;

    // True once per process, for the caller that finds the count at its cap; the
    // claim is what makes the limit notice appear exactly once. Call with bufferLock held.
    bool ClaimErrorNotice();
    bool ClaimWarningNotice();

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
    // ended within the deadline.
    bool StopDelivery();
    // A report that waited when the stop was requested still waits for delivery.
    bool WaitsForStop();
    // The stop's deadline has passed (false while no stop is requested).
    bool IsStopDeadlinePassed() const;

    // Around fork(), on the forking thread: holds the locks a report is recorded under, so that
    // the child inherits none held by a thread it does not have, then lets them go on each side.
    // In the child the transmitter stops delivering for good (see above).
    void HoldForFork();
    void ReleaseAfterFork();
    void ContinueInForkedChild();
    // This is a forked child's copy, which records but never delivers.
    bool IsInheritedByFork() const { return inheritedByFork.load(); }

    // The message task brackets its Run with these, so that shut-down knows
    // whether it must wait before destroying the transmitter.
    void TaskEntered() { tasksRunning.fetch_add(1); }
    void TaskLeft() { tasksRunning.fetch_sub(1); }
    bool IsTaskRunning() const { return tasksRunning.load() > 0; }

    int GetErrorCount() const { return errorCount.load(); }
    int GetWarningCount() const { return warningCount.load(); }
    int GetMaxErrorMessages() const { return maxErrorMessages; }
    int GetMaxWarningMessages() const { return maxWarningMessages; }
    // MAX_PENDING_MESSAGES: the most reports that wait for delivery (beyond it the oldest
    // that may go is dropped).
    int GetMaxPendingMessages() const { return maxPendingMessages; }
    const cow_String& GetJobName() const { return jobName; }
    bool IsEnabled() const { return enabled.load(); }
    // The transport is up: set up and not failed since.
    bool IsMechanismReady() const { return mechanismReady.load(); }
    bool HasMechanism() const { return mechanism.load() != nullptr; }
    bool HasMessages() const { return hasMessages.load(); }
    bool IsStopRequested() const { return stopRequested.load(); }
    bool IsAbandoned() const { return abandoned.load(); }
    bool IsFinished() const { return finished.load(); }
    bool IsDisabled() const { return disabled.load(); }
    // Reports are recorded but no longer queued for delivery.
    void Disable() { disabled.store(true); }
    void SetFinished(bool value) { finished.store(value); }
    thr_Mutex& GetBufferLock() { return bufferLock; }

    // Times the transport has been set up or tried to be, counted once each attempt is over.
    int GetConnectionAttempts() const { return connectionAttempts.load(); }
    // Reports waiting for delivery, the one being delivered included.
    int GetPendingCount();
    // Reports dropped for the backlog's bound and not yet told to the monitor.
    int GetUndeliveredCount();
    // The monitor has been told of `count` undelivered reports.
    void UndeliveredTold(int count);
    // Reports that could not be written to the message file.
    int GetUnloggedCount();
    // The message file's path once a report has tried to open it; empty before.
    cow_String GetMessageFilePath();
    bool IsMessageFileOpen();

    // Each transmitter has a number of its own, so that a task can tell whether the
    // transmitter it was made for is the one that exists now.
    unsigned long GetGeneration() const { return generation; }

private:
    std::atomic<ipm_TransmissionMechanism*> mechanism;
    std::atomic<bool> enabled;
    std::atomic<OptionVerdict> optionVerdict;
    int maxErrorMessages;
    int maxWarningMessages;
    int maxPendingMessages;
    std::atomic<int> errorCount;
    std::atomic<int> warningCount;
    std::atomic<bool> mechanismReady;
    std::atomic<bool> finished;
    cow_String jobName;
    cow_String phase;
    ipm_MessageFile logFile;
    ipm_MessageBacklog backlog;
    std::atomic<bool> hasMessages;
    std::atomic<bool> stopRequested;
    // Guarded by bufferLock: the last report the stop waits for.
    ipm_MessageBacklog::Sequence stopAfter;
    std::atomic<Clock::rep> stopDeadline;
    std::atomic<bool> abandoned;
    std::atomic<bool> inheritedByFork;
    // The transport a forked child inherited: never used or destroyed in the child.
    ipm_TransmissionMechanism* inheritedTransport;
    bool logToFile;
    std::atomic<bool> disabled;
    thr_Mutex bufferLock;
    thr_Mutex mechanismLock;
    mutable std::shared_mutex swapLock;
    std::mutex replaceLock;
    mutable thr_Mutex phaseLock;
    bool errorNoticeClaimed;
    bool warningNoticeClaimed;
    std::atomic<int> tasksRunning;
    std::atomic<int> connectionAttempts;
    std::atomic<int> directCallersWaiting;
    const unsigned long generation;

    void readSettings();
    void requestStopBy(Clock::time_point deadline);
    Clock::time_point getStopDeadline() const;
    // Keeps a transport this process inherited through fork out of reach, alive.
    static void keepInherited(ipm_TransmissionMechanism* transport);
    void readCommandLine();
    bool openMessageFile();
    void logReport(const cow_String& encoded);
    void letDirectCallersGoFirst() const;
    bool lockTransportForCaller(Clock::time_point callDeadline);
    void replaceInForkedChild(ipm_TransmissionMechanism* newMechanism);
    // Runs a call on the transport under the transport lock; a failure marks it down.
    template <class Call> void onTransport(Call call);
};

extern template class QORKEL_API thr_GlobalSingletonBase<ipm_MessageTransmit>;
extern template class QORKEL_API thr_GlobalSingleton<ipm_MessageTransmit>;

#endif
