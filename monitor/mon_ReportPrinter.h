#ifndef MONITOR_MON_REPORTPRINTER_H
#define MONITOR_MON_REPORTPRINTER_H

#include "monitor/mon_Report.h"
#include "monitor/mon_View.h"

#include <cstdio>
#include <string>

// The plain log: one line per report (time, job, type, phase, the other fields) and the
// monitor's own lines marked with "--", for a pipe, a file or a terminal without the board.
class mon_ReportPrinter : public mon_View {
public:
    // Unreadable payloads are shown up to this many bytes.
    static const std::size_t shownRawBytes = 400;

    explicit mon_ReportPrinter(std::FILE* out);

    void JobArrived(const mon_Job& job, const std::string& how) override;
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override;
    void ReportUnreadable(const mon_Job& job, const std::string& raw, const std::string& reason,
                          const Time& time) override;
    void StateChanged(const mon_Job& job, mon_Job::State previous, const std::string& why) override;
    void JobLeft(const mon_Job& job) override;
    void Note(const std::string& text) override;
    // Reports are written out once a round rather than once a line: hundreds of jobs
    // reporting would cost a write each.
    void Refresh(const mon_Roster& roster) override;
    void Summary(const mon_Roster& roster) override;

    // The line of a report, without the time; every text made visible.
    static std::string Describe(const std::string& job, const mon_Report& report);
    static std::string DescribeUnreadable(const std::string& job, const std::string& raw,
                                          const std::string& reason);
    // "12:01:33", or "--:--:--" when the time is unknown.
    static std::string ClockTime(const Time& time);
    // The monitor's line about a job's new state, without the "-- ".
    static std::string DescribeState(const mon_Job& job, const std::string& why);

private:
    std::FILE* out;

    // Reports wait for the end of the round (Refresh); the monitor's own lines do not.
    void writeLine(const std::string& text, bool flush = true);
};

#endif
