#include "mon_JabberListener.h"

#include "mon_Command.h"

#include <chrono>
#include <stdexcept>

namespace {

const int answerMilliseconds = 10000;
const int waitMicroseconds = 50000;

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

void appendAllText(const jcl_Node& node, std::string& out) {
    out.append(node.text.c_str(), std::size_t(node.text.length()));
    for (int i = 0; i < node.children.Count(); ++i)
        appendAllText(node.children.ConstGet(i), out);
}

// Registration may be refused because the account exists; the log-in tells whether the
// account is usable.
void registerAccount(const mon_Options& options) {
    jcl_Connection connection;
    connection.Connect(options.msgserver.c_str(), options.msgport);
    connection.Register(options.account.c_str(), options.account.c_str(), options.password.c_str());
    connection.Disconnect();
}

} // namespace

// Hands every stanza of the server's stream to the listener.
class mon_JabberListener::Stream : public jcl_Stream {
public:
    Stream(mon_JabberListener& owner, const csp_TcpSocket& socket)
        : jcl_Stream(owner.options.msgserver.c_str(), owner.options.msgport, 2, socket),
          owner(owner) {}
    void HandleStanza(const jcl_Node& stanza) override { owner.handle(stanza); }

private:
    mon_JabberListener& owner;
};

mon_JabberListener::mon_JabberListener(const mon_Options& options, mon_ReportPrinter& printer)
    : options(options), printer(printer), socket(csp_TcpSocket::bindToAnyPort), anyJobCame(false),
      quitRequested(false), loggedIn(false) {
    registerAccount(options);
    socket.connectTo(
        csp_SocketAddress(csp_IpAddress(cow_String(options.msgserver.c_str())), options.msgport));
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

void mon_JabberListener::write(const std::string& text) {
    socket.write(text.data(), int(text.size()));
}

void mon_JabberListener::logIn() {
    write("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/"
          "streams\" to=\"" +
          options.msgserver + "\" xmlns=\"jabber:client\">\n");
    jcl_IQ request;
    request.SetTo(options.msgserver.c_str());
    request.SetType("set");
    request.SetQueryNamespace("jabber:iq:auth");
    request.SetUsername(options.account.c_str());
    request.SetPassword(options.password.c_str());
    request.SetResource(options.resource.c_str());
    write(request.Serialize().c_str());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(answerMilliseconds);
    while (!loggedIn && std::chrono::steady_clock::now() < deadline)
        if (!readFor(100))
            break;
    if (!loggedIn)
        throw std::runtime_error("the server refused the log-in as " + options.account);
    // Available, so that the server delivers what is sent to this address.
    write(jcl_Presence().Serialize().c_str());
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

void mon_JabberListener::Run(mon_CommandQueue& commands) {
    while (!finished()) {
        if (!readFor(waitMicroseconds / 1000)) {
            printer.Note("the Jabber server ended the connection");
            return;
        }
        std::string command;
        while (commands.Next(command))
            execute(command);
    }
}

bool mon_JabberListener::finished() const {
    return quitRequested || (options.exitWhenIdle && anyJobCame && jobs.empty());
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
    if (!loggedIn && attribute(iq, "type") == "result")
        loggedIn = true;
}

mon_Report mon_JabberListener::ReportOf(const jcl_Node& payload) {
    mon_Report report(payload.GetTagName().c_str());
    for (int i = 0; i < payload.children.Count(); ++i) {
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
    if (x == nullptr || x->children.Count() == 0)
        return;
    const std::string from = attribute(message, "from");
    const std::string name = resourceOf(from);
    auto known = jobs.find(name);
    if (known == jobs.end()) {
        known = jobs.emplace(name, Job()).first;
        known->second.address = from;
        anyJobCame = true;
        printer.Note(name + " reporting as " + from);
    }
    Job& job = known->second;
    for (int i = 0; i < x->children.Count(); ++i) {
        ++job.reports;
        printer.Print(name, ReportOf(x->children.ConstGet(i)));
    }
    if (options.killAfter > 0 && job.reports >= options.killAfter)
        sendKill(name, job);
}

void mon_JabberListener::handlePresence(const jcl_Node& presence) {
    if (attribute(presence, "type") != "unavailable")
        return;
    const std::string name = resourceOf(attribute(presence, "from"));
    const auto gone = jobs.find(name);
    if (gone == jobs.end())
        return;
    printer.Note(name + " disconnected: " + printer.Tally(name));
    jobs.erase(gone);
}

void mon_JabberListener::execute(const std::string& line) {
    mon_Command::Run(line, {[this](const std::string& job) { kill(job); }, [this] { listJobs(); },
                            [this] { quitRequested = true; },
                            [this](const std::string& text) { printer.Note(text); }});
}

void mon_JabberListener::kill(const std::string& name) {
    bool found = false;
    for (auto& job : jobs) {
        if (name == "all" || job.first == name) {
            sendKill(job.first, job.second);
            found = true;
        }
    }
    if (!found)
        printer.Note("no reporting job named " + name);
}

void mon_JabberListener::sendKill(const std::string& name, Job& job) {
    if (job.killSent)
        return;
    job.killSent = true;
    jcl_Message command;
    command.SetTo(job.address.c_str());
    command.SetType("chat");
    command.SetX("Kill");
    try {
        write(command.Serialize().c_str());
        printer.Note("sent Kill to " + name + " after " + std::to_string(job.reports) + " reports");
    } catch (const csp_NetworkException&) {
        printer.Note("could not send Kill to " + name + ": connection lost");
    }
}

void mon_JabberListener::listJobs() {
    if (jobs.empty())
        printer.Note("no job reporting");
    for (const auto& job : jobs)
        printer.Note(printer.Summary(job.first) + " (as " + job.second.address + ")");
}
