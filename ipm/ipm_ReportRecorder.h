#ifndef IPM_IPM_REPORTRECORDER_H
#define IPM_IPM_REPORTRECORDER_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "cow/cow_List.h"
#include "ipm/ipm_MessageBacklog.h"
#include "ipm/ipm_MessageFile.h"

#include <functional>
#include <mutex>

// Records reports into its two sinks: every report into the message file, and the reports that
// are to be delivered into the backlog, from which the message task takes them. It applies the
// error and warning caps on the way to the backlog, claims the limit notices, and remembers which
// reports a stop waits for.
//
// Every public call takes the recorder's one lock and lets it go before it returns: the sinks
// run under it and take none of their own, and no caller ever holds it. So the message file
// and the backlog see the reports in the same order, and the reports that the caps let through
// are the first ones made.
class QORKEL_API ipm_ReportRecorder {
public:
    typedef ipm_MessageBacklog::Sequence Sequence;
    // The path of the message file, asked when the file is to be opened.
    typedef std::function<cow_String()> PathSource;

    // The limit notices that fall due with a report: each once per process, for the report
    // that finds its count at the cap.
    struct DueNotices {
        bool error;
        bool warning;
    };

    ipm_ReportRecorder(int maxErrors, int maxWarnings, int backlogBound, PathSource messageFile);
    ipm_ReportRecorder(const ipm_ReportRecorder&) = delete;
    ipm_ReportRecorder& operator=(const ipm_ReportRecorder&) = delete;

    // Into the message file (opened on first use, and tried again while it cannot be); then,
    // unless delivery is off or the report is an "Error" or a "Warning" over its cap and not
    // forced, into the backlog. "Error" and "Warning" reports count against their caps
    // either way, forced ones too, as long as delivery is on.
    void Record(const cow_String& report, const char* type, bool force);
    // Records an unforced report and claims the notices that fall due with it.
    DueNotices RecordAndClaimNotices(const cow_String& report, const char* type);

    // Opens the message file now; true when it is open.
    bool OpenMessageFile();
    bool IsMessageFileOpen() const {
        return locked([&] { return messageFile.IsOpen(); });
    }
    // Empty until the file has been tried.
    cow_String GetMessageFilePath() const {
        return locked([&] { return messageFile.GetPath(); });
    }
    // Reports the message file could not take.
    int GetUnloggedCount() const {
        return locked([&] { return messageFile.GetFailedAppends(); });
    }

    // From now on reports go into the message file only.
    void StopDelivering() {
        locked([&] { delivering = false; });
    }
    bool IsDelivering() const {
        return locked([&] { return delivering; });
    }

    // The delivery side, for the message task: the oldest waiting report, taken out (false
    // when none waits); then delivered, or put back first in line.
    bool TakeNext(cow_String& report);
    void Delivered() {
        locked([&] { backlog.Delivered(); });
    }
    void PutBack();
    // Reports are waiting; set by every report that reaches the backlog, cleared once none waits.
    bool HasWaiting() const {
        return locked([&] { return hasWaiting; });
    }
    // Waiting reports, the one out for delivery included.
    int GetPending() const {
        return locked([&] { return backlog.Pending(); });
    }
    cow_List<cow_String> GetWaiting() const {
        return locked([&] { return backlog.Waiting(); });
    }
    void Clear();
    // Reports dropped for the backlog's bound and not yet told to the monitor.
    int GetDropped() const {
        return locked([&] { return backlog.GetDropped(); });
    }
    void ForgetDropped(int count) {
        locked([&] { backlog.ForgetDropped(count); });
    }

    // The reports recorded up to now are the ones a stop waits for; only the first call counts.
    void MarkStop();
    // One of them still waits, or is out for delivery.
    bool WaitsForStop() const {
        return locked([&] { return backlog.HoldsAnyUpTo(stopAfter); });
    }

    int GetErrorCount() const {
        return locked([&] { return errors; });
    }
    int GetWarningCount() const {
        return locked([&] { return warnings; });
    }
    int GetMaxErrors() const { return maxErrors; }
    int GetMaxWarnings() const { return maxWarnings; }
    int GetBacklogBound() const { return backlog.GetBound(); }

    // Around fork(), on the forking thread: the lock is held across it. In the child the
    // recorder goes on into the message file only, with nothing waiting.
    void HoldForFork() { lock.lock(); }
    void ReleaseAfterFork() { lock.unlock(); }
    void ContinueInForkedChild();

private:
    mutable std::mutex lock;
    ipm_MessageFile messageFile;
    ipm_MessageBacklog backlog;
    const PathSource messageFilePath;
    const int maxErrors;
    const int maxWarnings;
    int errors;
    int warnings;
    bool errorNoticeClaimed;
    bool warningNoticeClaimed;
    bool delivering;
    bool hasWaiting;
    bool stopMarked;
    Sequence stopAfter;

    // Every public call runs in here.
    template <class Call> auto locked(Call call) const -> decltype(call()) {
        std::lock_guard<std::mutex> guard(lock);
        return call();
    }
    void record(const cow_String& report, const char* type, bool force);
    bool openMessageFile();
};

#endif
