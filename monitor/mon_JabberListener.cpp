#include "monitor/mon_JabberListener.h"

#include "monitor/mon_ChatReports.h"
#include "monitor/mon_ReportStream.h"

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

// Reads per round at most: enough to keep up with many jobs, few enough that the loop
// gets to its commands and timers.
const int readsPerRound = 256;
const std::size_t maxPeers = 10000;
const char pingPrefix[] = "ping-";
// The first ping, sent when a job arrives, learns how the job's client answers one.
const char firstPingPrefix[] = "ping-first-";
const char passwordVariable[] = "IPM_MONITOR_PASSWORD";
const auto firstRetry = std::chrono::seconds(1);

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A job's name is the resource it logged in with.
std::string resourceOf(const std::string& address) {
    const std::string::size_type slash = address.find('/');
    return slash == std::string::npos ? std::string() : address.substr(slash + 1);
}

std::string bareOf(const std::string& address) {
    return address.substr(0, address.find('/'));
}

mon_JabberListener& listenerOf(jcl_Connection& connection) {
    return *static_cast<mon_JabberListener*>(connection.GetHandlerContext());
}

} // namespace

constexpr std::chrono::seconds mon_JabberListener::probeAfter;
constexpr std::chrono::seconds mon_JabberListener::longestRetry;

mon_JabberListener::mon_JabberListener(const mon_Options& options, mon_Roster& roster)
    : options(options), roster(roster), state(loggingIn), retryDelay(firstRetry), now(Clock::now()),
      probes(0) {
    connection.SetHandlerContext(this);
    connection.SetMessageHandler(onMessage);
    connection.SetPresenceHandler(onPresence);
    connection.SetIQHandler(onIQ);
    logIn();
}

mon_JabberListener::~mon_JabberListener() {
    connection.Disconnect();
}

std::string mon_JabberListener::Address() const {
    return options.account + "@" + options.msgserver + "/" + options.resource;
}

std::string mon_JabberListener::Describe() const {
    switch (state) {
    case loggedIn:
        return "logged in as " + Address();
    case loggingIn:
        return "logging in to the Jabber server " + serverText() + " again";
    default: {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - now).count();
        return "the Jabber server " + serverText() + " is away; next attempt in " +
               std::to_string(left <= 0 ? 0 : (left + 999) / 1000) + " s";
    }
    }
}

std::string mon_JabberListener::serverText() const {
    return options.msgserver + ":" + std::to_string(options.msgport);
}

// The policy and the password; the password's default only for a server on this machine.
void mon_JabberListener::prepareLogIn() {
    std::string problem;
    settings = jcl_LogInSettings();
    if (!ipm_JabberMechanism::ReadSecurityPolicy(settings, problem))
        throw std::runtime_error(problem);
    settings.user = options.account.c_str();
    settings.resource = options.resource.c_str();
    const char* fromEnvironment = std::getenv(passwordVariable);
    if (!options.password.empty())
        settings.password = options.password.c_str();
    else if (fromEnvironment != nullptr && *fromEnvironment != '\0')
        settings.password = fromEnvironment;
    else if (connection.GetPeerAddress().getIpAddress().isLoopback())
        settings.password = options.account.c_str();
    else
        throw std::runtime_error("the Jabber server " + serverText() +
                                 " is not on this machine: give the password of " +
                                 options.account + " with -password or " + passwordVariable +
                                 " (the built-in one serves only a server on this machine)");
}

// Through the call that raises nothing: on Windows an exception cannot leave the library's DLL.
void mon_JabberListener::connect() {
    std::string cause;
    if (!connection.TryConnect(options.msgserver.c_str(), options.msgport, cause))
        throw std::runtime_error("cannot reach the Jabber server " + serverText() + " (" + cause +
                                 ")");
}

void mon_JabberListener::logIn() {
    connect();
    prepareLogIn();
    if (!connection.LogIn(settings))
        throw std::runtime_error("cannot log in to the Jabber server " + serverText() + " as " +
                                 options.account + ": " +
                                 ipm_JabberMechanism::DescribeLogInFailure(connection, settings));
    loggedInNow();
}

void mon_JabberListener::loggedInNow() {
    state = loggedIn;
    retryDelay = firstRetry;
    causesTold.clear();
    if (!connection.IsEncrypted())
        roster.View().Note(
            "the Jabber server " + serverText() +
            " offers no encryption: reports cross the network in clear" +
            (connection.SentPasswordInClear() ? ", and so did the password" : std::string()));
    // Available, so that the server delivers what is sent to this address.
    connection.Send(jcl_Presence());
}

void mon_JabberListener::connectionLost(const std::string& why) {
    connection.Disconnect();
    state = waitingToRetry;
    lostAt = now;
    departures.ServerLost(now);
    retryDelay = firstRetry;
    nextAttempt = now + retryDelay;
    roster.View().Note(why + "; logging in again, every few seconds until it answers");
}

void mon_JabberListener::attemptFailed(const std::string& why) {
    connection.Disconnect();
    state = waitingToRetry;
    retryDelay = std::min<Clock::duration>(retryDelay * 2, longestRetry);
    nextAttempt = now + retryDelay;
    // Each cause once per outage: a server that stays away does not fill the log.
    if (causesTold.insert(why).second)
        roster.View().Note(why + "; trying again");
}

// Connecting blocks only as long as the connection attempt; the log-in itself moves on with
// each round's reads.
void mon_JabberListener::retry() {
    state = loggingIn;
    try {
        connect();
        prepareLogIn();
    } catch (const std::runtime_error& failure) {
        attemptFailed(failure.what());
        return;
    }
    connection.BeginLogIn(settings);
    followLogIn();
}

void mon_JabberListener::followLogIn() {
    connection.CheckLogInTime();
    switch (connection.GetLogInOutcome()) {
    case jcl_Connection::loggedIn: {
        const long long away =
            std::chrono::duration_cast<std::chrono::seconds>(now - lostAt).count();
        loggedInNow();
        departures.ServerBack(now);
        roster.View().Note("logged in again as " + Address() + ", " + std::to_string(away) +
                           " s after the connection was lost");
        return;
    }
    case jcl_Connection::logInFailed:
        attemptFailed("cannot log in to the Jabber server " + serverText() + " as " +
                      options.account + ": " +
                      ipm_JabberMechanism::DescribeLogInFailure(connection, settings));
        return;
    default:
        return;
    }
}

void mon_JabberListener::Watch(csp_Poller& poller) {
    if (state != waitingToRetry)
        poller.add(connection.GetDescriptor());
}

void mon_JabberListener::Serve(const csp_Poller& poller, Clock::time_point when) {
    now = when;
    if (state == waitingToRetry) {
        if (now >= nextAttempt)
            retry();
        return;
    }
    if (poller.isReadable(connection.GetDescriptor()))
        readWaitingStanzas();
    if (state == loggingIn)
        followLogIn();
    else if (state == loggedIn)
        probeQuietJobs();
}

// Each receive reads once; the round goes on while more is waiting, never waiting itself.
// Through the calls that raise nothing: on Windows an exception cannot leave the library's DLL,
// so a reset connection reaches the monitor as the stream's end, with its reason.
void mon_JabberListener::readWaitingStanzas() {
    for (int reads = 0; reads < readsPerRound; ++reads) {
        if (!connection.TryReceive(1)) {
            if (state == loggedIn)
                connectionLost("the Jabber server " + serverText() + " ended the connection");
            return;
        }
        if (state == loggingIn && connection.GetLogInOutcome() != jcl_Connection::logInInProgress)
            return;
        if (!connection.HasDataWaiting())
            return;
    }
}

void mon_JabberListener::onMessage(jcl_Connection& connection, jcl_Entity& stanza) {
    listenerOf(connection).handleMessage(static_cast<jcl_Message&>(stanza));
}

void mon_JabberListener::onPresence(jcl_Connection& connection, jcl_Entity& stanza) {
    listenerOf(connection).handlePresence(static_cast<jcl_Presence&>(stanza));
}

void mon_JabberListener::onIQ(jcl_Connection& connection, jcl_Entity& stanza) {
    listenerOf(connection).handleAnswer(static_cast<jcl_IQ&>(stanza));
}

void mon_JabberListener::handleAnswer(const jcl_IQ& iq) {
    const std::string id = iq.id.c_str();
    const std::string type = iq.type.c_str();
    if (startsWith(id, pingPrefix) && type == "error")
        pingRefused(iq.from.c_str(), startsWith(id, firstPingPrefix));
}

// The job that reports from this address; 0 when it cannot be one.
int mon_JabberListener::jobOf(const std::string& address, bool startsARun) {
    const auto known = peers.find(address);
    if (known != peers.end() && known->second.jobId != 0)
        return known->second.jobId;
    const std::string name = resourceOf(address);
    if (name.size() > mon_ReportStream::maxNameBytes) {
        if (refusedNames.size() < maxPeers && refusedNames.insert(address).second)
            roster.View().Note("reports from " + address.substr(0, 64) +
                               "... ignored: a job name longer than " +
                               std::to_string(mon_ReportStream::maxNameBytes) + " bytes");
        return 0;
    }
    if (known == peers.end() && peers.size() >= maxPeers)
        return 0;
    Peer& peer = peers[address];
    peer.jobId = entryFor(address, name, startsARun);
    peer.lastProbe = now;
    if (!peer.sentPresence)
        ping(address, firstPingPrefix);
    return peer.jobId;
}

// A job lost from this address that reports on in mid-run gets its entry back; any other
// arrival is a new entry.
int mon_JabberListener::entryFor(const std::string& address, const std::string& name,
                                 bool startsARun) {
    const int returning = departures.Returning(address);
    if (returning != 0 && !startsARun &&
        roster.Return(returning, "reporting again as " + address + " once its session was back"))
        return returning;
    return roster.Arrive(name, address, "reporting as " + address, now);
}

void mon_JabberListener::handleMessage(const jcl_Message& message) {
    const std::string x = message.GetX().c_str();
    if (x.empty() || message.type == "error")
        return;
    std::vector<mon_Report> reports;
    const bool readable = mon_ChatReports::Read(x, reports);
    const bool startsARun = readable && !reports.empty() && reports.front().Type() == "Started";
    const int jobId = jobOf(message.from.c_str(), startsARun);
    if (jobId == 0)
        return;
    if (!readable) {
        roster.Unreadable(jobId, x, "not a report", mon_View::Time::Now(), now);
        return;
    }
    for (const mon_Report& report : reports)
        roster.Report(jobId, report, mon_View::Time::Now(), now);
}

void mon_JabberListener::handlePresence(const jcl_Presence& presence) {
    const std::string from = presence.from.c_str();
    if (presence.type == "unavailable") {
        sessionEnded(from, "its session ended");
        return;
    }
    if (!presence.type.IsEmpty() || from.empty() || bareOf(from) == bareOf(Address()))
        return;
    auto known = peers.find(from);
    if (known == peers.end()) {
        if (peers.size() >= maxPeers)
            return;
        known = peers.emplace(from, Peer()).first;
    }
    known->second.sentPresence = true;
}

// A job that is there and answers pings with an error cannot be told from one whose
// session is gone; its first ping, sent while it reports, shows which kind it is.
void mon_JabberListener::pingRefused(const std::string& address, bool firstPing) {
    const auto known = peers.find(address);
    if (known == peers.end())
        return;
    const mon_Job* job = roster.Find(known->second.jobId);
    if (firstPing && job != nullptr && now - job->LastReport() < probeAfter) {
        known->second.refusesPings = true;
        return;
    }
    if (!known->second.refusesPings)
        sessionEnded(address, "its session is gone");
}

void mon_JabberListener::sessionEnded(const std::string& address, const std::string& why) {
    const auto gone = peers.find(address);
    if (gone == peers.end())
        return;
    const int jobId = gone->second.jobId;
    peers.erase(gone);
    if (jobId == 0)
        return;
    roster.Leave(jobId, why, now);
    const mon_Job* job = roster.Find(jobId);
    if (job != nullptr && job->GetState() == mon_Job::lost)
        departures.Left(address, jobId, now);
}

// The server answers a ping to a session that is gone with an error; a job that is there
// does not answer at all.
void mon_JabberListener::probeQuietJobs() {
    for (auto& entry : peers) {
        Peer& peer = entry.second;
        if (peer.jobId == 0 || peer.sentPresence || peer.refusesPings ||
            now - peer.lastProbe < probeAfter)
            continue;
        const mon_Job* job = roster.Find(peer.jobId);
        if (job == nullptr || !job->IsConnected() || now - job->LastReport() < probeAfter)
            continue;
        peer.lastProbe = now;
        if (!ping(entry.first, pingPrefix))
            return;
    }
}

// Any iq does: the server answers for a session that is gone before it looks inside.
bool mon_JabberListener::ping(const std::string& address, const char* prefix) {
    jcl_IQ probe;
    probe.SetTo(address.c_str());
    probe.SetType("get");
    probe.id = (prefix + std::to_string(++probes)).c_str();
    probe.SetQueryNamespace("urn:xmpp:ping");
    connection.Send(probe);
    return connection.IsStreamOpen();
}

bool mon_JabberListener::SendKill(const mon_Job& job, std::string& why) {
    if (state != loggedIn) {
        why = "the monitor is not logged in to the Jabber server (it is trying again)";
        return false;
    }
    for (const auto& entry : peers) {
        if (entry.second.jobId != job.Id())
            continue;
        jcl_Message command;
        command.SetTo(entry.first.c_str());
        command.SetType("chat");
        command.SetX("Kill");
        connection.Send(command);
        if (connection.IsStreamOpen())
            return true;
        why = "the connection to the Jabber server failed";
        return false;
    }
    why = "its session has ended";
    return false;
}
