#include "ipm/ipm_ReportRecorder.h"

#include <cstring>

namespace {

typedef std::lock_guard<std::mutex> Guard;

bool isType(const char* type, const char* name) {
    return type != nullptr && std::strcmp(type, name) == 0;
}

// Counts a capped report; false when it is over its cap and not forced.
bool countAgainstCap(int& count, int cap, bool force) {
    return ++count <= cap || force;
}

} // namespace

ipm_ReportRecorder::ipm_ReportRecorder(int maxErrors, int maxWarnings, int backlogBound,
                                       PathSource messageFile)
    : backlog(backlogBound), messageFilePath(std::move(messageFile)), maxErrors(maxErrors),
      maxWarnings(maxWarnings), errors(0), warnings(0), errorNoticeClaimed(false),
      warningNoticeClaimed(false), delivering(true), hasWaiting(false), stopMarked(false),
      stopAfter(0) {}

void ipm_ReportRecorder::Record(const cow_String& report, const char* type, bool force) {
    Guard guard(lock);
    record(report, type, force);
}

ipm_ReportRecorder::DueNotices ipm_ReportRecorder::RecordAndClaimNotices(const cow_String& report,
                                                                         const char* type) {
    Guard guard(lock);
    record(report, type, false);
    DueNotices due{!errorNoticeClaimed && errors == maxErrors,
                   !warningNoticeClaimed && warnings == maxWarnings};
    errorNoticeClaimed = errorNoticeClaimed || due.error;
    warningNoticeClaimed = warningNoticeClaimed || due.warning;
    return due;
}

void ipm_ReportRecorder::record(const cow_String& report, const char* type, bool force) {
    openMessageFile();
    messageFile.Take(report, force);
    if (!delivering)
        return;
    const bool error = isType(type, "Error");
    const bool warning = isType(type, "Warning");
    if (error && !countAgainstCap(errors, maxErrors, force))
        return;
    if (warning && !countAgainstCap(warnings, maxWarnings, force))
        return;
    backlog.Take(report, force || error || warning);
    hasWaiting = true;
}

bool ipm_ReportRecorder::OpenMessageFile() {
    Guard guard(lock);
    return openMessageFile();
}

bool ipm_ReportRecorder::openMessageFile() {
    if (messageFile.IsOpen())
        return true;
    return messageFile.Open(messageFilePath(),
                            delivering ? "the reports are delivered but not recorded"
                                       : "the reports are neither recorded nor delivered");
}

bool ipm_ReportRecorder::TakeNext(cow_String& report) {
    Guard guard(lock);
    const bool taken = backlog.TakeOldest(report);
    hasWaiting = !backlog.IsEmpty();
    return taken;
}

void ipm_ReportRecorder::PutBack() {
    Guard guard(lock);
    backlog.PutBack();
    hasWaiting = !backlog.IsEmpty();
}

void ipm_ReportRecorder::Clear() {
    Guard guard(lock);
    backlog.Clear();
    hasWaiting = false;
}

void ipm_ReportRecorder::MarkStop() {
    Guard guard(lock);
    if (stopMarked)
        return;
    stopMarked = true;
    stopAfter = backlog.LastAppended();
}

// The child's only thread is the one that forked, and it holds the lock.
void ipm_ReportRecorder::ContinueInForkedChild() {
    delivering = false;
    backlog.Clear();
    hasWaiting = false;
    lock.unlock();
}
