#include "monitor/mon_JobConnection.h"

#include <vector>

mon_JobConnection::mon_JobConnection(csp_TcpSocket&& socket, const std::string& peer,
                                     mon_Roster& roster, Clock::time_point now)
    : socket(std::move(socket)), peer(peer), roster(roster),
      stream(*this, mon_ReportStream::JobNameThenPayloads), now(now), accepted(now), lastHeard(now),
      jobId(0), reports(0) {}

mon_JobConnection::~mon_JobConnection() {
    try {
        socket.close();
    } catch (...) {
    }
}

bool mon_JobConnection::ReadAvailable(Clock::time_point when) {
    now = when;
    static thread_local std::vector<char> received(readSize);
    csp_SocketError error;
    const int count = socket.read(received.data(), readSize, error);
    if (count < 0 && error.kind() == csp_SocketError::wouldBlock)
        return true;
    if (count <= 0) {
        // A reset reads as an end of stream on some platforms; both end the connection.
        stream.Finish();
        ended("the connection closed");
        return false;
    }
    lastHeard = now;
    if (!stream.Feed(received.data(), std::size_t(count))) {
        dropped("it sent " + stream.FailureReason());
        return false;
    }
    return true;
}

void mon_JobConnection::Drop(const std::string& reason, Clock::time_point when) {
    now = when;
    dropped(reason);
}

void mon_JobConnection::dropped(const std::string& reason) {
    const mon_Job* job = roster.Find(jobId);
    const std::string who = job != nullptr ? job->Label() : "connection from " + peer;
    roster.View().Note(who + " dropped: " + reason);
    if (jobId != 0)
        roster.Leave(jobId, "the monitor dropped the connection", now);
}

void mon_JobConnection::ended(const std::string& why) {
    if (jobId != 0)
        roster.Leave(jobId, why, now);
    else if (!stream.Failed())
        roster.View().Note("connection from " + peer + " closed before it named a job");
}

bool mon_JobConnection::SendKill(std::string& why) {
    csp_SocketError error;
    const int sent = socket.write("Kill", 4, error);
    if (sent == 4)
        return true;
    why = sent < 0 ? "the connection failed (error " + std::to_string(error.code()) + ")"
                   : "the job is not reading";
    return false;
}

void mon_JobConnection::JobNamed(const std::string& name) {
    jobId = roster.Arrive(name, peer, "connected from " + peer, now);
}

void mon_JobConnection::ReportArrived(const mon_Report& report) {
    ++reports;
    roster.Report(jobId, report, mon_View::Time::Now(), now);
}

void mon_JobConnection::ReportUnreadable(const std::string& raw, const std::string& reason) {
    ++reports;
    roster.Unreadable(jobId, raw, reason, mon_View::Time::Now(), now);
}
