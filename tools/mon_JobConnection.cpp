#include "mon_JobConnection.h"

namespace {

const int readSize = 16384;

std::string peerText(const csp_TcpSocket& socket) {
    try {
        const sockaddr_in address = socket.peerAddress();
        return std::string(wsa::inet_ntoa(address.sin_addr)) + ":" +
               std::to_string(ntohs(address.sin_port));
    } catch (const csp_NetworkException&) {
        return "unknown peer";
    }
}

} // namespace

mon_JobConnection::mon_JobConnection(csp_TcpSocket&& socket, mon_ReportPrinter& printer,
                                     int killAfter)
    : socket(std::move(socket)), printer(printer),
      stream(*this, mon_ReportStream::JobNameThenPayloads), peer(peerText(this->socket)),
      killAfter(killAfter), reports(0), killSent(false) {}

mon_JobConnection::~mon_JobConnection() {
    try {
        socket.close();
    } catch (...) {
    }
}

bool mon_JobConnection::IsReadable() const {
    return wsa::waitUntilReadable(socket.getDescriptor(), 0) == 1;
}

bool mon_JobConnection::ReadAvailable() {
    char received[readSize];
    int count;
    try {
        count = socket.read(received, readSize);
    } catch (const csp_NetworkException&) {
        // A reset reads as an end of stream on some platforms; both end the job's connection.
        count = 0;
    }
    if (count <= 0) {
        stream.Finish();
        return false;
    }
    if (!stream.Feed(received, count)) {
        printer.Note(Name() + ": this is no report stream; connection closed");
        return false;
    }
    return true;
}

void mon_JobConnection::SendKill() {
    if (killSent)
        return;
    killSent = true;
    try {
        socket.write("Kill", 4);
        printer.Note("sent Kill to " + Name() + " after " + std::to_string(reports) + " reports");
    } catch (const csp_NetworkException&) {
        printer.Note("could not send Kill to " + Name() + ": connection lost");
    }
}

std::string mon_JobConnection::Name() const {
    return stream.HasJobName() ? stream.JobName() : "(job at " + peer + ")";
}

void mon_JobConnection::JobNamed(const std::string& name) {
    printer.Note(name + " connected from " + peer);
}

void mon_JobConnection::ReportArrived(const mon_Report& report) {
    printer.Print(Name(), report);
    counted();
}

void mon_JobConnection::ReportUnreadable(const std::string& raw, const std::string& reason) {
    printer.PrintUnreadable(Name(), raw, reason);
    counted();
}

void mon_JobConnection::counted() {
    ++reports;
    if (killAfter > 0 && reports >= killAfter)
        SendKill();
}
