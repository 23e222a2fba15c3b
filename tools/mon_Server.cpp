#include "mon_Server.h"

#include "mon_Command.h"

#include <chrono>
#include <thread>

namespace {

const int listenBacklog = 16;
const int idleMilliseconds = 10;

csp_TcpSocket listeningSocket(const std::string& address, int port) {
    csp_TcpSocket listener(csp_SocketAddress(csp_IpAddress(cow_String(address.c_str())), port));
    if (listener.listen(listenBacklog) != 0)
        csp_NetworkException::throwError(csp_NetworkException::system_call_failure, "listen");
    return listener;
}

} // namespace

mon_Server::mon_Server(const mon_Options& options, mon_ReportPrinter& printer)
    : options(options), printer(printer), listener(listeningSocket(options.address, options.port)),
      port(listener.name().getPort()), anyJobCame(false), quitRequested(false) {}

void mon_Server::Run(mon_CommandQueue& commands) {
    while (!finished()) {
        bool busy = acceptWaitingJob();
        busy = readJobs() || busy;
        std::string command;
        while (commands.Next(command)) {
            execute(command);
            busy = true;
        }
        if (!busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(idleMilliseconds));
    }
}

bool mon_Server::finished() const {
    return quitRequested || (options.exitWhenIdle && anyJobCame && jobs.empty());
}

bool mon_Server::acceptWaitingJob() {
    if (wsa::waitUntilReadable(listener.getDescriptor(), 0) != 1)
        return false;
    csp_TcpSocket accepted = listener.acceptConnection();
    if (!accepted.isOpen())
        return true;
    jobs.push_back(
        std::make_unique<mon_JobConnection>(std::move(accepted), printer, options.killAfter));
    anyJobCame = true;
    return true;
}

bool mon_Server::readJobs() {
    bool busy = false;
    for (auto job = jobs.begin(); job != jobs.end();) {
        if (!(*job)->IsReadable()) {
            ++job;
            continue;
        }
        busy = true;
        if ((*job)->ReadAvailable()) {
            ++job;
            continue;
        }
        printer.Note((*job)->Name() + " disconnected: " + printer.Tally((*job)->Name()));
        job = jobs.erase(job);
    }
    return busy;
}

void mon_Server::execute(const std::string& line) {
    mon_Command::Run(line, {[this](const std::string& job) { kill(job); }, [this] { listJobs(); },
                            [this] { quitRequested = true; },
                            [this](const std::string& text) { printer.Note(text); }});
}

void mon_Server::kill(const std::string& job) {
    bool found = false;
    for (const std::unique_ptr<mon_JobConnection>& connection : jobs) {
        if (job == "all" || connection->Name() == job) {
            connection->SendKill();
            found = true;
        }
    }
    if (!found)
        printer.Note("no connected job named " + job);
}

void mon_Server::listJobs() {
    if (jobs.empty())
        printer.Note("no job connected");
    for (const std::unique_ptr<mon_JobConnection>& connection : jobs)
        printer.Note(printer.Summary(connection->Name()) + " (from " + connection->Peer() + ")");
}
