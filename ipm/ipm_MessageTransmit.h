#ifndef IPM_IPM_MESSAGETRANSMIT_H
#define IPM_IPM_MESSAGETRANSMIT_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "base/thr_GlobalSingleton.h"
#include "base/thr_Mutex.h"
#include "cow/cow_List.h"
#include "ipm/ipm_MessageFile.h"

#include <atomic>

class ipm_TransmissionMechanism;

// The one process-wide object every report passes through: it encodes through the
// installed transport, appends to the message file, applies the error and warning
// caps and keeps the buffer the message task delivers.
//
// Locks: bufferLock guards the buffer, the counters and the notice claims; the
// transport lock serialises everything done on the transport. When both are held,
// bufferLock is taken first (only the first buffered report does so, to initialise
// the transport); the message task never holds both.
class QORKEL_API ipm_MessageTransmit {
public:
    ipm_MessageTransmit();
    ipm_MessageTransmit(const ipm_MessageTransmit&) = delete;
    ipm_MessageTransmit& operator=(const ipm_MessageTransmit&) = delete;
    ~ipm_MessageTransmit();

    static ipm_MessageTransmit& Instance();

    // Takes ownership; a transport installed earlier is destroyed and the new one
    // waits for the next buffered report to initialise it.
    void SetMechanism(ipm_TransmissionMechanism* newMechanism);
    // Opens the message file and initialises the transport; false when there is no
    // transport or it is not ready. Failures the transport raises pass through.
    bool InitializeMechanism();

    // The payload of the installed transport; empty while reporting is off.
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const;
    // Logs, counts and buffers one report. Call with bufferLock held.
    void BufferMessage(const cow_String& encoded, const cow_String& type, bool force);
    // Call with bufferLock held.
    void ClearMessageBuffer();
    // A copy sharing the buffer's contents. Call with bufferLock held.
    cow_List<cow_String> GetMessageBuffer() const;

    // These three serialise on the transport lock and let the transport's failures pass.
    void TransmitMessage(const cow_String& encoded);
    // Does nothing until the transport has been initialised. A "Kill" found here
    // reaches the host's kill hook inside the transport lock, so the hook must only
    // record the request.
    void PollMechanism();
    void CloseMechanism();

    void SetPhase(const cow_String& newPhase);
    cow_String GetPhase() const;

    // True once per process, for the caller that finds the count at its cap; the
    // claim is what makes the limit notice appear exactly once. Call with bufferLock held.
    bool ClaimErrorNotice();
    bool ClaimWarningNotice();

    // Asks the message task to end once it finds the buffer empty.
    void RequestStop() { stopRequested.store(true); }

    // The message task brackets its Run with these, so that shut-down knows
    // whether it must wait before destroying the transmitter.
    void TaskEntered() { tasksRunning.fetch_add(1); }
    void TaskLeft() { tasksRunning.fetch_sub(1); }
    bool IsTaskRunning() const { return tasksRunning.load() > 0; }

    int GetErrorCount() const { return errorCount.load(); }
    int GetWarningCount() const { return warningCount.load(); }
    int GetMaxErrorMessages() const { return maxErrorMessages; }
    int GetMaxWarningMessages() const { return maxWarningMessages; }
    const cow_String& GetJobName() const { return jobName; }
    bool IsEnabled() const { return enabled.load(); }
    bool IsMechanismReady() const { return mechanismReady.load(); }
    bool HasMechanism() const { return mechanism.load() != nullptr; }
    bool HasMessages() const { return hasMessages.load(); }
    bool IsStopRequested() const { return stopRequested.load(); }
    bool IsFinished() const { return finished.load(); }
    bool IsDisabled() const { return disabled.load(); }
    void Disable() { disabled.store(true); }
    void SetFinished(bool value) { finished.store(value); }
    thr_Mutex& GetBufferLock() { return bufferLock; }

private:
    std::atomic<ipm_TransmissionMechanism*> mechanism;
    std::atomic<bool> enabled;
    int maxErrorMessages;
    int maxWarningMessages;
    std::atomic<int> errorCount;
    std::atomic<int> warningCount;
    std::atomic<bool> mechanismReady;
    std::atomic<bool> finished;
    cow_String jobName;
    cow_String phase;
    ipm_MessageFile logFile;
    cow_List<cow_String> buffer;
    std::atomic<bool> hasMessages;
    std::atomic<bool> stopRequested;
    bool logToFile;
    std::atomic<bool> disabled;
    thr_Mutex bufferLock;
    thr_Mutex mechanismLock;
    mutable thr_Mutex phaseLock;
    bool errorNoticeClaimed;
    bool warningNoticeClaimed;
    std::atomic<int> tasksRunning;

    void readCaps();
    void readCommandLine();
    void openMessageFile();
    bool initializeMechanismKeeping(const cow_String& encoded);
};

extern template class QORKEL_API thr_GlobalSingletonBase<ipm_MessageTransmit>;
extern template class QORKEL_API thr_GlobalSingleton<ipm_MessageTransmit>;

#endif
