#ifndef MONITOR_MON_VIEW_H
#define MONITOR_MON_VIEW_H

#include "monitor/mon_Job.h"
#include "monitor/mon_Report.h"

#include <ctime>
#include <string>

class mon_Roster;

// What the monitor shows: the plain log, the JSON log and the board each take the roster's
// events and show them their own way. Texts from jobs arrive as they came; a view makes
// them visible (mon_Text) before they reach the screen.
class mon_View {
public:
    // When a report arrived; reports read from a message file carry no time.
    struct Time {
        bool known = false;
        std::time_t when = 0;
        static Time Now() { return Time{true, std::time(nullptr)}; }
        static Time Unknown() { return Time(); }
    };

    virtual ~mon_View() = default;

    // how: "connected from 127.0.0.1:40312", "reporting as h-ipmjb@server/beam", ...
    virtual void JobArrived(const mon_Job& job, const std::string& how) = 0;
    virtual void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) = 0;
    virtual void ReportUnreadable(const mon_Job& job, const std::string& raw,
                                  const std::string& reason, const Time& time) = 0;
    virtual void StateChanged(const mon_Job& job, mon_Job::State previous,
                              const std::string& why) = 0;
    // The connection or session is over; the job's tally is final.
    virtual void JobLeft(const mon_Job& job) = 0;
    // A line of the monitor's own.
    virtual void Note(const std::string& text) = 0;
    // Called every round of the monitor's loop; a view that shows the roster redraws.
    virtual void Refresh(const mon_Roster&) {}
    // The monitor is leaving: every job with its state and tally.
    virtual void Summary(const mon_Roster& roster) = 0;
};

#endif
