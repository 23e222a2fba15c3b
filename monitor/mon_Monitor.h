#ifndef MONITOR_MON_MONITOR_H
#define MONITOR_MON_MONITOR_H

#include "csp/csp_Poller.h"
#include "monitor/mon_CommandInput.h"
#include "monitor/mon_Options.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Source.h"

#include <string>
#include <vector>

// The monitor's one thread: waits on the source and the keyboard at once, lets the source
// feed the roster, carries out the typed commands, keeps the states up to date and lets
// the view redraw, until "quit", a stop signal, the end of the source or, with
// -exit_when_idle, the last job's departure.
class mon_Monitor {
public:
    using Clock = mon_Roster::Clock;
    // The longest the loop waits for input before it looks at its timers again.
    static const int roundMilliseconds = 100;

    mon_Monitor(const mon_Options& options, mon_Roster& roster, mon_Source& source,
                mon_CommandInput& input);

    // Kill asked for elsewhere (on the web page), by the job's id: a name may hold what a
    // typed line cannot (a line feed, trailing blanks).
    class KillRequests {
    public:
        virtual ~KillRequests() = default;
        virtual bool NextKill(int& job) = 0;
    };
    // Taken each round.
    void AddKillRequests(KillRequests& requests) { killRequests.push_back(&requests); }
    // The loop goes on after the source has ended, until quit (a replay on the board).
    void KeepOpenAfterEnd() { keepOpen = true; }

    void Run();
    // One typed line, as the keyboard would give it.
    void Execute(const std::string& line, Clock::time_point now);
    bool Done() const { return done; }

private:
    const mon_Options& options;
    mon_Roster& roster;
    mon_Source& source;
    mon_CommandInput& input;
    csp_Poller poller;
    std::vector<KillRequests*> killRequests;
    bool done;
    bool quitWarned;
    bool keepOpen;
    bool endSaid;

    void round(int waitMilliseconds);
    void kill(const std::string& target, Clock::time_point now);
    void askWhich(const std::vector<const mon_Job*>& live, Clock::time_point now);
    void killAll(Clock::time_point now);
    void killRequested(Clock::time_point now);
    bool killOne(const mon_Job& job, Clock::time_point now, std::string& why);
    void killAfterEnoughReports(Clock::time_point now);
    void list(Clock::time_point now);
    void help();
    void quit();
    bool idle() const;
    void note(const std::string& text);
};

#endif
