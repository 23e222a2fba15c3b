#ifndef IPM_IPM_MESSAGEFILE_H
#define IPM_IPM_MESSAGEFILE_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "ipm/ipm_ReportSink.h"
#include "platform/platform_Files.h"

// The job's message file: every buffered report, appended as it is made, one write each, so
// that a job that crashes keeps the reports that explain it. A symbolic link planted at its
// path is refused, not followed. A report the disk cannot take whole is cut off again, so
// the file never ends in half a line. A file that is removed while open (itself, or its
// directory) is noticed at the next report and made again at its path as soon as it can be;
// the reports made meanwhile are counted as not written. The first failure to open, the first
// failure to write, the first removal and the first time the file is made again are each told
// to the user on standard error. Not thread-safe: ipm_ReportRecorder calls it under its lock.
class QORKEL_API ipm_MessageFile : public ipm_ReportSink {
public:
    ipm_MessageFile();
    ipm_MessageFile(const ipm_MessageFile&) = delete;
    ipm_MessageFile& operator=(const ipm_MessageFile&) = delete;
    ~ipm_MessageFile() override;

    // Opens the file for appending (an existing file is never truncated); true when open.
    // A failed open may be tried again; it is told only the first time, with its
    // consequence for the reports.
    bool Open(const cow_String& path,
              const char* consequence = "the reports are delivered but not recorded");
    bool IsOpen() const { return file != platform_file::noHandle; }
    const cow_String& GetPath() const { return path; }
    // Writes the text's bytes unchanged, or none of them; false when they are not in the file.
    bool Append(const cow_String& text);
    // Every report goes in, whether it is kept for delivery or not.
    void Take(const cow_String& report, bool) override { Append(report); }
    // Reports that could not be written since the file was opened.
    int GetFailedAppends() const { return failedAppends; }

private:
    platform_file::Handle file;
    cow_String path;
    bool removed;
    bool openFailureTold;
    bool appendFailureTold;
    bool removalTold;
    bool remakingTold;
    int failedAppends;
    int failedBeforeRemoval;

    void letGoOfRemovedFile();
    bool makeAgain();
};

#endif
