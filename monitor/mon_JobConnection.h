#ifndef MONITOR_MON_JOBCONNECTION_H
#define MONITOR_MON_JOBCONNECTION_H

#include "QORKelCommunications.h"
#include "monitor/mon_ReportStream.h"
#include "monitor/mon_Roster.h"

#include <string>

// One job's direct connection: reads its name and reports into the roster and sends it
// "Kill". Reads never wait: the monitor's loop calls ReadAvailable when the socket is
// readable. A job that breaks a bound of mon_ReportStream is dropped.
class mon_JobConnection : public mon_ReportStream::Sink {
public:
    using Clock = mon_Roster::Clock;
    static const int readSize = 16384;

    mon_JobConnection(csp_TcpSocket&& socket, const std::string& peer, mon_Roster& roster,
                      Clock::time_point now);
    mon_JobConnection(const mon_JobConnection&) = delete;
    mon_JobConnection& operator=(const mon_JobConnection&) = delete;
    ~mon_JobConnection() override;

    int Descriptor() const { return socket.getDescriptor(); }
    // Takes what has arrived; false once the connection is over (closed by the job, reset,
    // or over a bound), after the roster has been told.
    bool ReadAvailable(Clock::time_point now);
    // False with the reason when the job could not be sent it.
    bool SendKill(std::string& why);
    // The monitor lets go of the connection: says so with the reason and tells the roster.
    void Drop(const std::string& reason, Clock::time_point now);

    // The roster's id of the job; 0 until its name has arrived.
    int JobId() const { return jobId; }
    Clock::time_point Accepted() const { return accepted; }
    // When bytes last came, or when the connection was accepted.
    Clock::time_point LastHeard() const { return lastHeard; }
    int Reports() const { return reports; }
    const std::string& Peer() const { return peer; }

    void JobNamed(const std::string& name) override;
    void ReportArrived(const mon_Report& report) override;
    void ReportUnreadable(const std::string& raw, const std::string& reason) override;

private:
    csp_TcpSocket socket;
    std::string peer;
    mon_Roster& roster;
    mon_ReportStream stream;
    Clock::time_point now;
    Clock::time_point accepted;
    Clock::time_point lastHeard;
    int jobId;
    int reports;

    void ended(const std::string& why);
    void dropped(const std::string& reason);
};

#endif
