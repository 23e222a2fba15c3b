#ifndef MONITOR_MON_WEBSERVER_H
#define MONITOR_MON_WEBSERVER_H

#include "monitor/mon_Monitor.h"
#include "monitor/mon_Report.h"
#include "monitor/mon_View.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

// The web page of -http: the live job table, each job's latest reports and plots of its
// numbers, kept up to date by server-sent events. The server's threads never touch the
// roster: the monitor's loop publishes finished JSON texts under a lock (a few times a
// second, and only while someone is looking), the threads hand them out, and a Kill asked
// for on the page waits in a queue that the loop takes each round. Without a token
// the page is read-only; with one, Kill needs it.
class mon_WebServer : public mon_View, public mon_Monitor::KillRequests {
public:
    // Reports kept per job for the page.
    static constexpr std::size_t keptReports = 20;
    static constexpr std::size_t keptNotes = 30;
    // Event streams served at once; more would hold every server thread.
    static constexpr int maxStreams = 12;

    // Throws std::runtime_error when the address cannot be listened on.
    mon_WebServer(const std::string& address, int port, const std::string& token,
                  const std::string& title);
    ~mon_WebServer() override;
    mon_WebServer(const mon_WebServer&) = delete;
    mon_WebServer& operator=(const mon_WebServer&) = delete;

    int Port() const { return port; }
    // "http://127.0.0.1:8080/"
    std::string Address() const;

    void JobArrived(const mon_Job& job, const std::string& how) override;
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override;
    void ReportUnreadable(const mon_Job& job, const std::string& raw, const std::string& reason,
                          const Time& time) override;
    void StateChanged(const mon_Job& job, mon_Job::State previous, const std::string& why) override;
    void JobLeft(const mon_Job& job) override;
    void Note(const std::string& text) override;
    // Publishes what the page shows, when it changed and someone is looking.
    void Refresh(const mon_Roster& roster) override;
    void Summary(const mon_Roster&) override {}

    // Kill asked for on the page.
    bool NextKill(int& job) override;

    // The JSON texts the page reads, built from the roster (public for tests).
    std::string TableJson(const mon_Roster& roster) const;
    std::string JobJson(const mon_Job& job) const;

private:
    // A report as the page may want it, in one block: its time, type and fields joined
    // by separators that XML text never holds, so that hundreds of jobs cost little.
    struct Kept {
        std::string packed;
    };
    struct Shared;
    using Clock = std::chrono::steady_clock;

    std::string address;
    int port;
    std::string title;
    bool tokenSet;
    std::shared_ptr<Shared> shared;
    std::map<int, std::deque<Kept>> kept;
    std::deque<std::pair<std::string, std::string>> notes;
    bool tableDirty;
    std::set<int> jobsDirty;
    Clock::time_point lastLook;
    Clock::time_point tableBuilt;
    std::map<int, Clock::time_point> jobBuilt;

    void keep(int job, Kept entry);
    void routes();
};

#endif
