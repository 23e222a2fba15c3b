#ifndef MONITOR_MON_SERVER_H
#define MONITOR_MON_SERVER_H

#include "QORKelCommunications.h"
#include "monitor/mon_JobConnection.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Source.h"

#include <memory>
#include <string>
#include <vector>

// The monitor's direct listener: accepts jobs and reads all of them on the monitor's one
// thread, never waiting on any of them.
class mon_Server : public mon_Source {
public:
    // The most connections one monitor holds, however many descriptors it may have: each
    // costs memory, and hundreds of jobs are what one monitor is for.
    static const std::size_t connectionCeiling = 4096;

    // Binds and listens; raises std::runtime_error with a plain reason ("address already in
    // use") when the address cannot be had. Holds at most `mostConnections` connections (0:
    // as many as the process's descriptors and the ceiling allow); when full, the one idle
    // longest makes way for each new one.
    mon_Server(const std::string& address, int port, mon_Roster& roster,
               std::size_t mostConnections = 0);

    // Whether only this machine reaches the listener (it listens on a loopback address):
    // the direct wire has no authentication, so whoever reaches it can report as any job.
    static bool IsLoopback(const csp_IpAddress& address);
    bool OnlyThisMachine() const;

    int Port() const { return port; }
    std::size_t MostConnections() const { return mostConnections; }

    void Watch(csp_Poller& poller) override;
    void Serve(const csp_Poller& poller, Clock::time_point now) override;
    bool SendKill(const mon_Job& job, std::string& why) override;
    bool Ended() const override { return false; }
    std::string Describe() const override;

    // Reports read on the job's current connection (0 when it has none).
    int ReportsOnConnection(int jobId) const;

private:
    std::string address;
    mon_Roster& roster;
    csp_TcpSocket listener;
    int port;
    std::size_t mostConnections;
    std::vector<std::unique_ptr<mon_JobConnection>> connections;
    // While the process has no descriptor left, accepting waits until then.
    Clock::time_point acceptPausedUntil;
    bool acceptPaused;
    // Said once until accepting works again, however long the shortage lasts.
    bool acceptTroubleSaid;

    void acceptWaitingJobs(Clock::time_point now);
    void pauseAccepting(const csp_SocketError& error, Clock::time_point now);
    bool dropIdlest(Clock::time_point now, std::size_t newest, const std::string& why);
    bool unnamedTooLong(const mon_JobConnection& connection, Clock::time_point now);
    mon_JobConnection* connectionOf(int jobId) const;
};

#endif
