#ifndef MONITOR_MON_HISTORYREPLAY_H
#define MONITOR_MON_HISTORYREPLAY_H

#include "monitor/mon_History.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Source.h"

#include <string>

// One run from the history shown as a replayed message file would be, but with the time
// each report arrived: elapsed times, pace and ETA are as they were. The run ends as it
// ended (finished, lost, killed), or stays as it was when the history stops.
class mon_HistoryReplay : public mon_Source {
public:
    // Reports handed to the roster per round of the monitor's loop.
    static constexpr int reportsPerRound = 5000;

    mon_HistoryReplay(const mon_History& history, const mon_History::Run& run, mon_Roster& roster);

    void Watch(csp_Poller&) override {}
    void Serve(const csp_Poller& poller, Clock::time_point now) override;
    bool SendKill(const mon_Job& job, std::string& why) override;
    bool Ended() const override { return ended; }
    std::string Describe() const override;

private:
    const mon_History& history;
    mon_History::Run run;
    mon_Roster& roster;
    int jobId;
    long long lastReport;
    bool ended;

    void finish(Clock::time_point now, double wallNow);
};

#endif
