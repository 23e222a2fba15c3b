#ifndef MONITOR_MON_SOURCE_H
#define MONITOR_MON_SOURCE_H

#include "csp/csp_Poller.h"
#include "monitor/mon_Job.h"

#include <string>

// Where jobs report from: the direct listener, the Jabber server or a message file. The
// monitor's loop asks each round for the descriptors to wait on, waits once for all of
// them, and lets the source handle what became readable; the source feeds the roster.
class mon_Source {
public:
    using Clock = mon_Job::Clock;

    virtual ~mon_Source() = default;

    virtual void Watch(csp_Poller& poller) = 0;
    // Also called when nothing was readable, for the source's own timers.
    virtual void Serve(const csp_Poller& poller, Clock::time_point now) = 0;
    // Sends Kill to a connected job; false with the reason when that was not possible.
    virtual bool SendKill(const mon_Job& job, std::string& why) = 0;
    // No more reports can come (the server ended the session, a replayed file is read).
    virtual bool Ended() const = 0;
    // For the board's title: "listening on 127.0.0.1:40312".
    virtual std::string Describe() const = 0;
    // Jobs that look gone may still come back (see mon_Departures): -exit_when_idle waits.
    virtual bool MayBringJobsBack(Clock::time_point) const { return false; }
};

#endif
