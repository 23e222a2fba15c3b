#ifndef MONITOR_MON_DEPARTURES_H
#define MONITOR_MON_DEPARTURES_H

#include "monitor/mon_Job.h"

#include <chrono>
#include <map>
#include <set>
#include <string>

// Jobs whose Jabber session ended without a final report, by their full address. When the
// server goes away it may end the jobs' sessions before the monitor's own connection, and
// those jobs log in again once it is back and report on from where they were: such a job is
// the same entry, and -exit_when_idle waits for it rather than leaving as the server goes.
class mon_Departures {
public:
    using Clock = mon_Job::Clock;

    // A session that ended this long before the monitor's own connection was lost went with
    // the server; one that ended less than half of it ago may still turn out to have.
    static constexpr std::chrono::seconds withTheServer{2};
    // Jobs lost with the server are waited for while it is away, at most this long...
    static constexpr std::chrono::seconds longestOutage{60};
    // ...and for this long once the monitor is logged in again: a job tries again at most
    // 10 s apart.
    static constexpr std::chrono::seconds afterReturn{30};

    void Left(const std::string& address, int jobId, Clock::time_point now);
    // The job that was lost from `address`, taken off the list; 0 when there is none.
    int Returning(const std::string& address);
    void ServerLost(Clock::time_point now);
    void ServerBack(Clock::time_point now);
    // Jobs that look gone may still come back.
    bool MayComeBack(Clock::time_point now) const;

private:
    struct Departure {
        int jobId;
        Clock::time_point at;
    };

    std::map<std::string, Departure> departed;
    // The jobs lost with the server, until they come back.
    std::set<int> awaited;
    bool anyLeft = false;
    bool serverAway = false;
    Clock::time_point lastLeft;
    Clock::time_point lostAt;
    Clock::time_point backAt;

    void forgetOldest();
};

#endif
