#ifndef MONITOR_MON_JSONLOG_H
#define MONITOR_MON_JSONLOG_H

#include "monitor/mon_Progress.h"
#include "monitor/mon_View.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

// One JSON object per line for other tools: every report (its fields as an object, each
// value as its type says: numbers, booleans, texts; a key that repeats keeps its first value
// there and the later ones under "repeats"), every
// change of a job's state (with the state's name, e.g. "lost"), arrivals, departures and
// the monitor's own notes. Texts that are not UTF-8 have the bad bytes replaced.
class mon_JsonLog : public mon_View {
public:
    explicit mon_JsonLog(std::FILE* out);

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

    // The line ReportArrived writes, without its line feed; time "" when unknown.
    static std::string ReportLine(const mon_Job& job, const mon_Report& report,
                                  const std::string& time);

    // A report's fields as an object, the first value of each key, typed.
    static nlohmann::ordered_json FieldsObject(const mon_Report& report);
    // The job's progress as numbers, null where unknown.
    static nlohmann::ordered_json ProgressObject(const mon_Progress& progress);

private:
    std::FILE* out;
};

#endif
