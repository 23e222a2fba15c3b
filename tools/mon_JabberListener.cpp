#include "mon_JabberListener.h"

#include "mon_ReportStream.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

const int answerMilliseconds = 10000;
// Reads per round: enough to keep up with many jobs, few enough to keep the loop moving.
const int readsPerRound = 64;
const std::size_t maxPeers = 10000;
const char pingPrefix[] = "ping-";
// The first ping, sent when a job arrives, learns how the job's client answers one.
const char firstPingPrefix[] = "ping-first-";

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string attribute(const jcl_Node& node, const char* name) {
    return node.attributes.ConstGet(name).c_str();
}

const jcl_Node* child(const jcl_Node& node, const char* name) {
    for (int i = 0; i < node.children.Count(); ++i)
        if (node.children.ConstGet(i).GetTagName() == name)
            return &node.children.ConstGet(i);
    return nullptr;
}

// A job's name is the resource it logged in with.
std::string resourceOf(const std::string& address) {
    const std::string::size_type slash = address.find('/');
    return slash == std::string::npos ? std::string() : address.substr(slash + 1);
}

std::string bareOf(const std::string& address) {
    return address.substr(0, address.find('/'));
}

void appendAllText(const jcl_Node& node, std::string& out) {
    if (out.size() > mon_ReportStream::maxReportBytes)
        return;
    out.append(node.text.c_str(), std::size_t(node.text.length()));
    for (int i = 0; i < node.children.Count(); ++i)
        appendAllText(node.children.ConstGet(i), out);
}

// Registration may be refused because the account exists; the log-in tells whether the
// account is usable.
void registerAccount(const mon_Options& options) {
    jcl_Connection connection;
    connection.Connect(options.msgserver.c_str(), mon_JabberListener::serverPort);
    connection.Register(options.account.c_str(), options.account.c_str(), options.password.c_str());
    connection.Disconnect();
}

} // namespace

constexpr std::chrono::seconds mon_JabberListener::probeAfter;

// Hands every stanza of the server's stream to the listener.
class mon_JabberListener::Stream : public jcl_Stream {
public:
    Stream(mon_JabberListener& owner, const csp_TcpSocket& socket)
        : jcl_Stream(owner.options.msgserver.c_str(), serverPort, 2, socket), owner(owner) {}
    void HandleStanza(const jcl_Node& stanza) override { owner.handle(stanza); }

private:
    mon_JabberListener& owner;
};

mon_JabberListener::mon_JabberListener(const mon_Options& options, mon_Roster& roster)
    : options(options), roster(roster), socket(csp_TcpSocket::bindToAnyPort), now(Clock::now()),
      loggedIn(false), loginRefused(false), ended(false), probes(0) {
    registerAccount(options);
    socket.connectTo(
        csp_SocketAddress(csp_IpAddress(cow_String(options.msgserver.c_str())), serverPort));
    // The stream holds a copy of the socket and closes it when it ends.
    socket.setToAutoClose(false);
    stream.reset(new Stream(*this, socket));
    logIn();
}

mon_JabberListener::~mon_JabberListener() {
    try {
        write("</stream:stream>\n");
    } catch (...) {
    }
}

std::string mon_JabberListener::Address() const {
    return options.account + "@" + options.msgserver + "/" + options.resource;
}

std::string mon_JabberListener::Describe() const {
    return "logged in as " + Address();
}

std::string mon_JabberListener::Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// All of it: a short write would cut a stanza and end the stream.
void mon_JabberListener::write(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const int count = socket.write(text.data() + written, int(text.size() - written));
        if (count <= 0)
            csp_NetworkException::throwError(csp_NetworkException::write_failed, "write");
        written += std::size_t(count);
    }
}

void mon_JabberListener::logIn() {
    write("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/"
          "streams\" to=\"" +
          Escaped(options.msgserver) + "\" xmlns=\"jabber:client\">\n");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(answerMilliseconds);
    // The registration just made may not be in force yet: a refusal is tried again.
    for (int attempt = 0; !loggedIn && std::chrono::steady_clock::now() < deadline; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        loginRefused = false;
        write("<iq to=\"" + Escaped(options.msgserver) +
              "\" type=\"set\" id=\"login\"><query xmlns=\"jabber:iq:auth\"><username>" +
              Escaped(options.account) + "</username><password>" + Escaped(options.password) +
              "</password><resource>" + Escaped(options.resource) + "</resource></query></iq>");
        while (!loggedIn && !loginRefused && std::chrono::steady_clock::now() < deadline)
            if (!readFor(100))
                throw std::runtime_error("the Jabber server ended the connection at the log-in");
    }
    if (!loggedIn)
        throw std::runtime_error("the server refused the log-in as " + options.account);
    // Available, so that the server delivers what is sent to this address.
    write("<presence/>");
}

// Waits for data, then reads once; false once the server's stream is over.
bool mon_JabberListener::readFor(int milliseconds) {
    const int ready = wsa::waitUntilReadable(socket.getDescriptor(), long(milliseconds) * 1000L);
    if (ready == SOCKET_ERROR)
        return false;
    if (ready == 0)
        return true;
    try {
        return stream->Read() > 0 && !stream->HasFailed();
    } catch (const csp_NetworkException&) {
        return false;
    }
}

void mon_JabberListener::Watch(mon_Poller& poller) {
    if (!ended)
        poller.Add(socket.getDescriptor());
}

void mon_JabberListener::Serve(const mon_Poller& poller, Clock::time_point when) {
    now = when;
    if (ended)
        return;
    if (poller.IsReadable(socket.getDescriptor())) {
        for (int reads = 0; reads < readsPerRound; ++reads) {
            if (!readFor(0)) {
                ended = true;
                roster.View().Note("the Jabber server ended the connection");
                return;
            }
            if (wsa::waitUntilReadable(socket.getDescriptor(), 0) != 1)
                break;
        }
    }
    probeQuietJobs();
}

void mon_JabberListener::handle(const jcl_Node& stanza) {
    const cow_String& name = stanza.GetTagName();
    if (name == "message")
        handleMessage(stanza);
    else if (name == "presence")
        handlePresence(stanza);
    else if (name == "iq")
        handleAnswer(stanza);
}

void mon_JabberListener::handleAnswer(const jcl_Node& iq) {
    const std::string id = attribute(iq, "id");
    if (!loggedIn && id == "login")
        (attribute(iq, "type") == "result" ? loggedIn : loginRefused) = true;
    else if (startsWith(id, pingPrefix) && attribute(iq, "type") == "error")
        pingRefused(attribute(iq, "from"), startsWith(id, firstPingPrefix));
}

mon_Report mon_JabberListener::ReportOf(const jcl_Node& payload) {
    mon_Report report(payload.GetTagName().c_str());
    const int fields = std::min<int>(payload.children.Count(), int(mon_ReportStream::maxFields));
    for (int i = 0; i < fields; ++i) {
        const jcl_Node& element = payload.children.ConstGet(i);
        mon_Report::Field field{element.GetTagName().c_str(), attribute(element, "type"),
                                std::string()};
        appendAllText(element, field.value);
        report.AddField(field);
    }
    return report;
}

void mon_JabberListener::handleMessage(const jcl_Node& message) {
    const jcl_Node* x = child(message, "x");
    if (x == nullptr || x->children.Count() == 0 || attribute(message, "type") == "error")
        return;
    const std::string from = attribute(message, "from");
    const std::string name = resourceOf(from);
    auto known = peers.find(from);
    if (known == peers.end() || known->second.jobId == 0) {
        if (name.size() > mon_ReportStream::maxNameBytes) {
            if (refusedNames.size() < maxPeers && refusedNames.insert(from).second)
                roster.View().Note("reports from " + from.substr(0, 64) +
                                   "... ignored: a job name longer than " +
                                   std::to_string(mon_ReportStream::maxNameBytes) + " bytes");
            return;
        }
        if (peers.size() >= maxPeers)
            return;
        Peer& peer = peers[from];
        peer.jobId = roster.Arrive(name, from, "reporting as " + from, bareOf(from), now);
        peer.lastProbe = now;
        if (!peer.sentPresence)
            ping(from, firstPingPrefix);
        known = peers.find(from);
    }
    const int jobId = known->second.jobId;
    for (int i = 0; i < x->children.Count(); ++i)
        roster.Report(jobId, ReportOf(x->children.ConstGet(i)), mon_View::Time::Now(), now);
}

void mon_JabberListener::handlePresence(const jcl_Node& presence) {
    const std::string from = attribute(presence, "from");
    const std::string type = attribute(presence, "type");
    if (type == "unavailable") {
        sessionEnded(from, "its session ended");
        return;
    }
    if (!type.empty() || from.empty() || bareOf(from) == bareOf(Address()))
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
    if (firstPing && roster.Find(known->second.jobId) != nullptr &&
        now - roster.Find(known->second.jobId)->LastReport() < probeAfter) {
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
    if (jobId != 0)
        roster.Leave(jobId, why, now);
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

bool mon_JabberListener::ping(const std::string& address, const char* prefix) {
    try {
        write("<iq type=\"get\" to=\"" + Escaped(address) + "\" id=\"" + prefix +
              std::to_string(++probes) + "\"><ping xmlns=\"urn:xmpp:ping\"/></iq>");
        return true;
    } catch (const csp_NetworkException&) {
        return false;
    }
}

bool mon_JabberListener::SendKill(const mon_Job& job, std::string& why) {
    for (const auto& entry : peers) {
        if (entry.second.jobId != job.Id())
            continue;
        try {
            write("<message to=\"" + Escaped(entry.first) +
                  "\" type=\"chat\"><x xmlns=\"zorvik:msg\">Kill</x></message>");
            return true;
        } catch (const csp_NetworkException&) {
            why = "the connection to the Jabber server failed";
            return false;
        }
    }
    why = "its session has ended";
    return false;
}
