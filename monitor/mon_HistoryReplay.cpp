#include "monitor/mon_HistoryReplay.h"

#include "monitor/mon_Clock.h"

#include <chrono>
#include <cmath>

namespace {

// The monitor's clock at a moment of the past.
mon_Source::Clock::time_point steadyAt(double wall, mon_Source::Clock::time_point now,
                                       double wallNow) {
    return mon_Clock::SteadyAt(wall, now, wallNow);
}

} // namespace

mon_HistoryReplay::mon_HistoryReplay(const mon_History& history, const mon_History::Run& run,
                                     mon_Roster& roster)
    : history(history), run(run), roster(roster), jobId(0), lastReport(0), ended(false) {}

std::string mon_HistoryReplay::Describe() const {
    return "replaying run " + std::to_string(run.id) + " of " + run.label + " from " +
           history.Path();
}

bool mon_HistoryReplay::SendKill(const mon_Job&, std::string& why) {
    why = "a job replayed from the history cannot be sent a Kill";
    return false;
}

void mon_HistoryReplay::Serve(const csp_Poller&, Clock::time_point now) {
    if (ended)
        return;
    const double wallNow = mon_Clock::WallSeconds();
    if (jobId == 0) {
        jobId = roster.Arrive(run.name, run.origin,
                              "from the history (run " + std::to_string(run.id) + ")",
                              steadyAt(run.arrived, now, wallNow));
        // A Kill was sent to it, as far as its end tells.
        if (run.state == "killed")
            roster.KillSent(jobId, steadyAt(run.arrived, now, wallNow));
    }
    const std::vector<mon_History::StoredReport> reports =
        history.Reports(run.id, lastReport, reportsPerRound);
    for (const mon_History::StoredReport& stored : reports) {
        lastReport = stored.id;
        const mon_View::Time time{true, std::time_t(std::floor(stored.at))};
        const Clock::time_point when = steadyAt(stored.at, now, wallNow);
        if (stored.report.Type().empty())
            roster.Unreadable(jobId, stored.raw, "kept unreadable in the history", time, when);
        else
            roster.Report(jobId, stored.report, time, when);
    }
    if (reports.size() < std::size_t(reportsPerRound))
        finish(now, wallNow);
}

void mon_HistoryReplay::finish(Clock::time_point now, double wallNow) {
    ended = true;
    const mon_Job* job = roster.Find(jobId);
    if (job == nullptr || job->HasEnded())
        return;
    if (run.ended >= 0 || run.state == "lost" || run.state == "killed")
        roster.Leave(jobId, "its history ends",
                     steadyAt(run.ended >= 0 ? run.ended : run.updated, now, wallNow));
}
