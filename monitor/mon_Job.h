#ifndef MONITOR_MON_JOB_H
#define MONITOR_MON_JOB_H

#include "monitor/mon_Progress.h"
#include "monitor/mon_Report.h"
#include "monitor/mon_Series.h"

#include <chrono>
#include <string>

// What the monitor knows about one job: where it reports from, how far it has come, what it
// reported, and its state. A job is
//   running   connected and reporting;
//   silent    connected, but no report for longer than the silence time;
//   finished  its final report arrived (see IsFinalReport);
//   lost      its connection or session ended without a final report;
//   killed    a Kill was sent to it and it then ended (final report or not).
// Finished, lost and killed are for good (a job that connects again is another entry), but
// for a lost job whose Jabber session comes back from the same address in mid-run (its server
// went away and came back), which runs again; silent turns into running with the next report.
class mon_Job {
public:
    using Clock = std::chrono::steady_clock;
    enum State { running, silent, finished, lost, killed };

    mon_Job(int id, const std::string& name, const std::string& label, const std::string& origin,
            Clock::time_point now);

    // What a monitor remembers of a run that ended before it started.
    struct Remembered {
        State state = lost;
        Clock::time_point ended;
        int reports = 0;
        int errors = 0;
        int warnings = 0;
        int notices = 0;
        std::string phase;
        long step = -1;
        long steps = -1;
        double percent = -1;
        std::string lastMessage;
        std::string finalReport;
    };
    // The job as remembered: ended, not connected.
    void Restore(const Remembered& remembered);

    // A job's own end report: its type is one of Finished, Stopped, Completed, Ended,
    // Aborted, Terminated, or its `status` field is one of those or Killed, Failed.
    static bool IsFinalReport(const mon_Report& report);
    // The one-time notice a job sends when its error or warning cap is reached, or a report
    // of type Notice: counted apart from errors and warnings.
    static bool IsNotice(const mon_Report& report);
    static const char* StateName(State state);

    // Counts the report and updates progress and state.
    void Apply(const mon_Report& report, Clock::time_point now);
    void ApplyUnreadable(Clock::time_point now);
    // The connection or session ended; false when it had ended before.
    bool End(Clock::time_point now);
    // A lost job's session is back: connected and running again; false for any other job.
    bool Resume();
    void KillSent(Clock::time_point now);
    // Running turns silent after `silentAfter` without a report; true when it changed.
    bool CheckSilence(Clock::time_point now, Clock::duration silentAfter);
    // Sets when the last report came, for reports whose time is learnt afterwards.
    void SetLastReportTime(Clock::time_point when) { lastReport = when; }

    int Id() const { return id; }
    const std::string& Name() const { return name; }
    // The name on the roster, unique among its jobs ("beam", "beam#2").
    const std::string& Label() const { return label; }
    const std::string& Origin() const { return origin; }
    State GetState() const { return state; }
    bool IsConnected() const { return connected; }
    bool HasEnded() const { return state == finished || state == lost || state == killed; }
    bool WasKillSent() const { return killSent; }
    Clock::time_point KillSentAt() const { return killSentAt; }
    Clock::time_point Arrived() const { return arrived; }
    Clock::time_point LastReport() const { return lastReport; }
    Clock::time_point EndedAt() const { return endedAt; }
    bool HasReports() const { return reports > 0; }

    const std::string& Phase() const { return phase; }
    // "5/12 41%", "step 5", "41%" or empty, from steps=, step= and percent=.
    std::string Progress() const { return progress.Text(); }
    const mon_Progress& GetProgress() const { return progress; }
    const mon_Series& Series() const { return series; }
    int Reports() const { return reports; }
    int Errors() const { return errors; }
    int Warnings() const { return warnings; }
    int Notices() const { return notices; }
    int Unreadable() const { return unreadable; }
    const std::string& LastMessage() const { return lastMessage; }
    // The final report, as "Finished status=Completed"; empty until one came.
    const std::string& FinalReport() const { return finalReport; }
    // "40 reports, 2 errors, 3 warnings, 1 notices"
    std::string Tally() const;
    // The job on one line, as `list` shows it; texts as they came.
    std::string Describe(Clock::time_point now) const;
    // "1:02:03", "2:03": how long something has lasted.
    static std::string Duration(Clock::duration elapsed);

private:
    int id;
    std::string name;
    std::string label;
    std::string origin;
    State state;
    bool connected;
    bool killSent;
    Clock::time_point arrived;
    Clock::time_point lastReport;
    Clock::time_point endedAt;
    Clock::time_point killSentAt;
    std::string phase;
    mon_Progress progress;
    mon_Series series;
    int reports;
    int errors;
    int warnings;
    int notices;
    int unreadable;
    std::string lastMessage;
    std::string finalReport;

    void count(const mon_Report& report);
    void followProgress(const mon_Report& report, Clock::time_point now);
    void endWith(State endState, Clock::time_point now);
};

#endif
