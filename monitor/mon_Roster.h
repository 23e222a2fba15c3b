#ifndef MONITOR_MON_ROSTER_H
#define MONITOR_MON_ROSTER_H

#include "monitor/mon_Job.h"
#include "monitor/mon_Report.h"
#include "monitor/mon_View.h"

#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Every job the monitor has seen, fed by whichever source the jobs report through, and
// told to the view. Jobs that ended stay until the monitor quits, up to a bound that a
// job connecting in a loop cannot push past.
class mon_Roster {
public:
    using Clock = mon_Job::Clock;
    static const std::size_t maxEndedJobs = 2000;

    mon_Roster(mon_View& view, Clock::duration silentAfter, Clock::duration killAnswerTime);

    // Only reports of these types are shown (all when empty); every report is counted.
    void ShowOnly(const std::set<std::string>& types) { shownTypes = types; }

    // A job arrives and gets an id and an entry of its own, always: nothing tells a job that
    // reconnects from another that gives the same name, so neither takes over an entry.
    int Arrive(const std::string& name, const std::string& origin, const std::string& how,
               Clock::time_point now);
    // A run that ended before the monitor started (from its history): on the roster as it
    // ended, with no event for the view. Filled in through the job's Restore.
    mon_Job& Recall(const std::string& name, const std::string& origin, Clock::time_point arrived);
    void Report(int id, const mon_Report& report, const mon_View::Time& time,
                Clock::time_point now);
    void Unreadable(int id, const std::string& raw, const std::string& reason,
                    const mon_View::Time& time, Clock::time_point now);
    // The job's connection or session ended; `why` says how ("the connection closed").
    void Leave(int id, const std::string& why, Clock::time_point now);
    // A lost job reports again through the session it was lost from (which only the Jabber
    // listener can tell): its entry, connected again. False when there is no such lost job.
    bool Return(int id, const std::string& how);
    void KillSent(int id, Clock::time_point now);
    // Silence and unanswered Kills.
    void Tick(Clock::time_point now);

    // Null when the id is unknown (or the job was dropped from the roster).
    const mon_Job* Find(int id) const;
    mon_Job* Find(int id);
    // The job with this label where the label is not its name ("beam#2"; "beam#1" for the
    // first "beam"); else every job with this name, those connected first.
    std::vector<const mon_Job*> Matching(const std::string& nameOrLabel) const;
    // In the order they arrived.
    std::vector<const mon_Job*> Jobs() const;
    std::vector<const mon_Job*> Connected() const;
    bool Empty() const { return jobs.empty(); }
    // Jobs that arrived while this monitor ran (not those recalled from its history).
    int Arrivals() const { return arrivals; }
    int CountIn(mon_Job::State state) const;
    // "3 jobs: 1 running, 1 finished, 1 lost"
    std::string Counts() const;
    mon_View& View() { return *view; }
    // Another view from now on (the board, once it is open).
    void SetView(mon_View& next) { view = &next; }

private:
    struct Entry {
        std::unique_ptr<mon_Job> job;
        bool killOverdueSaid = false;
    };

    mon_View* view;
    Clock::duration silentAfter;
    Clock::duration killAnswerTime;
    std::set<std::string> shownTypes;
    std::deque<Entry> jobs;
    int nextId;
    int arrivals;
    bool dropSaid;

    Entry* entry(int id);
    std::string uniqueLabel(const std::string& name) const;
    void changed(mon_Job& job, mon_Job::State previous, Clock::time_point now,
                 const std::string& cause);
    std::string killAnswer(const mon_Job& job, Clock::time_point now,
                           const std::string& cause) const;
    void dropOldEndedJobs();
};

#endif
