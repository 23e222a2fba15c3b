#ifndef TOOLS_MON_JOBCONNECTION_H
#define TOOLS_MON_JOBCONNECTION_H

#include "QORKelCommunications.h"
#include "mon_ReportPrinter.h"
#include "mon_ReportStream.h"

#include <string>

// One job's direct connection: reads its name and reports into the live view, sends it
// "Kill" when asked, or by itself after a set number of reports.
class mon_JobConnection : public mon_ReportStream::Sink {
public:
    // killAfter 0: never by itself.
    mon_JobConnection(csp_TcpSocket&& socket, mon_ReportPrinter& printer, int killAfter);
    mon_JobConnection(const mon_JobConnection&) = delete;
    mon_JobConnection& operator=(const mon_JobConnection&) = delete;
    ~mon_JobConnection() override;

    bool IsReadable() const;
    // Takes what has arrived; false once the connection is over (closed by the job, reset,
    // or carrying something that is not a report stream at all).
    bool ReadAvailable();
    void SendKill();

    // The job's name, or a stand-in until it has arrived.
    std::string Name() const;
    const std::string& Peer() const { return peer; }

    void JobNamed(const std::string& name) override;
    void ReportArrived(const mon_Report& report) override;
    void ReportUnreadable(const std::string& raw, const std::string& reason) override;

private:
    csp_TcpSocket socket;
    mon_ReportPrinter& printer;
    mon_ReportStream stream;
    std::string peer;
    int killAfter;
    int reports;
    bool killSent;

    void counted();
};

#endif
