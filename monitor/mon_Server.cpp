#include "monitor/mon_Server.h"

#include "monitor/mon_Platform.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace {

const int listenBacklog = 64;
// Accepted per round, so that a crowd of arriving jobs cannot starve the others' reports.
const int acceptsPerRound = 32;
const auto acceptPause = std::chrono::seconds(1);
// A connection that has not named its job by then is no job: it only holds a descriptor.
const auto namingTime = std::chrono::seconds(30);
// Descriptors kept free of connections: the listener, the terminal, files, the sanitizers.
const std::size_t spareDescriptors = 16;

std::size_t connectionLimit() {
    std::size_t most = mon_Server::connectionCeiling;
    for (const std::size_t descriptors :
         {mon_Platform::DescriptorLimit(), csp_Poller::mostDescriptors()}) {
        const std::size_t usable = descriptors > 2 * spareDescriptors
                                       ? descriptors - spareDescriptors
                                       : std::max<std::size_t>(descriptors / 2, 1);
        most = std::min(most, usable);
    }
    return most;
}

std::string errorText(const csp_SocketError& error) {
    if (error.kind() == csp_SocketError::addressNotAvailable)
        return error.text() + " on this machine";
    return error.text();
}

std::string peerText(const csp_SocketAddress& peer) {
    return std::string(peer.getIpAddress().toDottedString().c_str()) + ":" +
           std::to_string(peer.getPort());
}

[[noreturn]] void cannotListen(const std::string& address, int port, const std::string& why) {
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                             why);
}

csp_TcpSocket listeningSocket(const std::string& address, int port) {
    csp_SocketAddress local(0);
    try {
        local = csp_SocketAddress(csp_IpAddress(cow_String(address.c_str())), port);
    } catch (const csp_NetworkException&) {
        cannotListen(address, port, "not an address of this machine");
    }
    csp_SocketError error;
    csp_TcpSocket listener = csp_TcpSocket::listenOn(local, listenBacklog, error);
    if (!listener.isOpen())
        cannotListen(address, port, errorText(error));
    listener.setNonBlocking(true, error);
    return listener;
}

} // namespace

mon_Server::mon_Server(const std::string& address, int port, mon_Roster& roster,
                       std::size_t mostConnections)
    : address(address), roster(roster), listener(listeningSocket(address, port)),
      port(listener.name().getPort()),
      mostConnections(mostConnections != 0 ? mostConnections : connectionLimit()),
      acceptPausedUntil(Clock::now()), acceptPaused(false), acceptTroubleSaid(false) {}

bool mon_Server::IsLoopback(const csp_IpAddress& address) {
    return (static_cast<unsigned>(address.getHostOrder()) >> 24) == 127;
}

bool mon_Server::OnlyThisMachine() const {
    return IsLoopback(listener.name().getIpAddress());
}

std::string mon_Server::Describe() const {
    return "listening on " + address + ":" + std::to_string(port);
}

void mon_Server::Watch(csp_Poller& poller) {
    if (!acceptPaused)
        poller.add(listener.getDescriptor());
    for (const auto& connection : connections)
        poller.add(connection->Descriptor());
}

void mon_Server::Serve(const csp_Poller& poller, Clock::time_point now) {
    if (acceptPaused && now >= acceptPausedUntil)
        acceptPaused = false;
    if (!acceptPaused && poller.isReadable(listener.getDescriptor()))
        acceptWaitingJobs(now);
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [&](const std::unique_ptr<mon_JobConnection>& connection) {
                                         return (poller.isReadable(connection->Descriptor()) &&
                                                 !connection->ReadAvailable(now)) ||
                                                unnamedTooLong(*connection, now);
                                     }),
                      connections.end());
}

void mon_Server::acceptWaitingJobs(Clock::time_point now) {
    for (int accepted = 0; accepted < acceptsPerRound; ++accepted) {
        csp_SocketAddress peer(0);
        csp_SocketError error;
        csp_TcpSocket socket = listener.acceptConnection(peer, error);
        if (!socket.isOpen()) {
            const csp_SocketError::Kind kind = error.kind();
            if (kind == csp_SocketError::noDescriptors && dropIdlest(now, 0, "no descriptor left"))
                continue;
            if (kind != csp_SocketError::wouldBlock && kind != csp_SocketError::aborted &&
                kind != csp_SocketError::reset && kind != csp_SocketError::interrupted)
                pauseAccepting(error, now);
            return;
        }
        if (acceptTroubleSaid) {
            acceptTroubleSaid = false;
            roster.View().Note("accepting connections again");
        }
        socket.setNonBlocking(true, error);
        connections.push_back(
            std::make_unique<mon_JobConnection>(std::move(socket), peerText(peer), roster, now));
        if (connections.size() > mostConnections)
            dropIdlest(now, 1, "the most this monitor holds");
    }
}

// Full, the connection quiet longest makes way for the new one: idle connections, however
// many, cannot lock out a job that reports. The `newest` connections are spared.
bool mon_Server::dropIdlest(Clock::time_point now, std::size_t newest, const std::string& why) {
    if (connections.size() <= newest)
        return false;
    const auto candidates = connections.end() - std::ptrdiff_t(newest);
    const auto idlest = std::min_element(connections.begin(), candidates,
                                         [](const std::unique_ptr<mon_JobConnection>& one,
                                            const std::unique_ptr<mon_JobConnection>& other) {
                                             return one->LastHeard() < other->LastHeard();
                                         });
    (*idlest)->Drop("quiet for " + mon_Job::Duration(now - (*idlest)->LastHeard()) +
                        ", the longest of " + std::to_string(connections.size() - newest) +
                        " connections (" + why + "), it made way for a new one",
                    now);
    connections.erase(idlest);
    return true;
}

bool mon_Server::unnamedTooLong(const mon_JobConnection& connection, Clock::time_point now) {
    if (connection.JobId() != 0 || now - connection.Accepted() < namingTime)
        return false;
    roster.View().Note("connection from " + connection.Peer() + " dropped: no job name within " +
                       std::to_string(namingTime.count()) + " s");
    return true;
}

// Out of descriptors the listener stays readable: accepting again at once would spin.
// Accepting tries again a second later; one line tells of the shortage, one of its end.
void mon_Server::pauseAccepting(const csp_SocketError& error, Clock::time_point now) {
    acceptPaused = true;
    acceptPausedUntil = now + acceptPause;
    if (acceptTroubleSaid)
        return;
    acceptTroubleSaid = true;
    roster.View().Note("cannot accept a connection (" + errorText(error) + ", " +
                       std::to_string(connections.size()) +
                       " connections open); trying again every second");
}

mon_JobConnection* mon_Server::connectionOf(int jobId) const {
    for (const auto& connection : connections)
        if (connection->JobId() == jobId)
            return connection.get();
    return nullptr;
}

int mon_Server::ReportsOnConnection(int jobId) const {
    const mon_JobConnection* connection = connectionOf(jobId);
    return connection == nullptr ? 0 : connection->Reports();
}

bool mon_Server::SendKill(const mon_Job& job, std::string& why) {
    mon_JobConnection* connection = connectionOf(job.Id());
    if (connection == nullptr) {
        why = "it is not connected";
        return false;
    }
    return connection->SendKill(why);
}
