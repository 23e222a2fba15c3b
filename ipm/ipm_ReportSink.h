#ifndef IPM_IPM_REPORTSINK_H
#define IPM_IPM_REPORTSINK_H

#include "base/cow_String.h"

// Where ipm_ReportRecorder puts a report: the message file, the backlog of reports waiting
// for delivery. The recorder calls its sinks one report at a time under its own lock, so a
// sink takes no lock and never calls back into the recorder.
class ipm_ReportSink {
public:
    virtual ~ipm_ReportSink() = default;

    // keep: a report that must not be dropped to make room ("Error", "Warning", a notice).
    virtual void Take(const cow_String& report, bool keep) = 0;
};

#endif
