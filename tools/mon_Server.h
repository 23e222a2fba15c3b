#ifndef TOOLS_MON_SERVER_H
#define TOOLS_MON_SERVER_H

#include "QORKelCommunications.h"
#include "mon_CommandQueue.h"
#include "mon_JobConnection.h"
#include "mon_Options.h"
#include "mon_ReportPrinter.h"

#include <memory>
#include <string>
#include <vector>

// The monitor's direct listener: accepts jobs, reads all of them on one thread, and carries
// out the commands typed at the monitor.
class mon_Server {
public:
    // Binds and listens; raises csp_NetworkException when the address cannot be had.
    mon_Server(const mon_Options& options, mon_ReportPrinter& printer);

    int Port() const { return port; }
    // Serves until "quit", or, with exitWhenIdle, until every job that came has gone.
    void Run(mon_CommandQueue& commands);

private:
    mon_Options options;
    mon_ReportPrinter& printer;
    csp_TcpSocket listener;
    int port;
    std::vector<std::unique_ptr<mon_JobConnection>> jobs;
    bool anyJobCame;
    bool quitRequested;

    bool acceptWaitingJob();
    bool readJobs();
    void execute(const std::string& line);
    void kill(const std::string& job);
    void listJobs();
    bool finished() const;
};

#endif
