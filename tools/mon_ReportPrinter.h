#ifndef TOOLS_MON_REPORTPRINTER_H
#define TOOLS_MON_REPORTPRINTER_H

#include "mon_JobCounts.h"
#include "mon_Report.h"

#include <cstdio>
#include <map>
#include <string>

// The monitor's live view: one readable line per report (time, job, type, phase, the other
// fields) and the monitor's own notes, with per-job counts of reports, errors and warnings.
// Whatever the transport, a report reaches the view through Print.
class mon_ReportPrinter {
public:
    explicit mon_ReportPrinter(std::FILE* out);

    void Print(const std::string& job, const mon_Report& report);
    // A payload that could not be read, shown raw; it counts as a report.
    void PrintUnreadable(const std::string& job, const std::string& raw, const std::string& reason);
    // A line of the monitor's own, marked so that it stands apart from the reports.
    void Note(const std::string& text);
    // "12 reports, 2 errors, 3 warnings"
    std::string Tally(const std::string& job) const;
    // "beam: 12 reports, 2 errors, 3 warnings"
    std::string Summary(const std::string& job) const;
    mon_JobCounts Counts(const std::string& job) const;

    // The line Print writes, without the time.
    static std::string Describe(const std::string& job, const mon_Report& report);
    // A value on one line: control characters escaped, quoted when it holds blanks.
    static std::string Shown(const std::string& value);

private:
    std::FILE* out;
    std::map<std::string, mon_JobCounts> counts;

    void count(const std::string& job, const std::string& type);
    void writeLine(const std::string& text);
};

#endif
