#include "ipm/ipm_JabberMechanism.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "base/utl_HostName.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_Warning.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace {

// Six characters after the host name; part of every machine's account for good, so
// changing it strands the accounts registered before.
const char credentialSuffix[] = "-ipmjb";

const int initialAnswerWait = 1000;
const int afterReportWait = 10;
const int pollWait = 50;

const char passwordVariable[] = "IPM_JABBER_PASSWORD";

std::string durationText(int milliseconds) {
    if (milliseconds % 1000 == 0)
        return std::to_string(milliseconds / 1000) + " s";
    return std::to_string(milliseconds) + " ms";
}

cow_String option(const char* name) {
    return thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue(name);
}

// The part of a Jabber address before its resource.
cow_String bareAddress(const cow_String& address) {
    return cow_String(address.c_str(), address.Find("/"));
}

// Servers keep account and domain names in lower case; the monitor's options need not.
bool equalIgnoringCase(const cow_String& left, const cow_String& right) {
    if (left.length() != right.length())
        return false;
    for (int i = 0; i < left.length(); ++i)
        if (std::tolower(static_cast<unsigned char>(left[i])) !=
            std::tolower(static_cast<unsigned char>(right[i])))
            return false;
    return true;
}

} // namespace

ipm_JabberMechanism::ipm_JabberMechanism() : interrupted(false), serverRefusalTold(false) {}

ipm_JabberMechanism::~ipm_JabberMechanism() {
    try {
        connection.Disconnect();
    } catch (...) {
    }
}

cow_String ipm_JabberMechanism::Credential() {
    return utl_getHostName() + credentialSuffix;
}

cow_String ipm_JabberMechanism::Password() {
    const char* password = std::getenv(passwordVariable);
    if (password == nullptr || *password == '\0')
        return Credential();
    return password;
}

bool ipm_JabberMechanism::ParseServerOption(const cow_String& option, cow_String& host, int& port) {
    const int colon = option.Find(":");
    if (colon == option.length()) {
        if (option.IsEmpty())
            return false;
        host = option;
        port = serverPort;
        return true;
    }
    int givenPort = 0;
    if (colon == 0 || !ParsePort(option.Substr(colon + 1, option.length() - colon - 1), givenPort))
        return false;
    host = option.Substr(0, colon);
    port = givenPort;
    return true;
}

bool ipm_JabberMechanism::ServerOption(cow_String& host, int& port, bool tell) {
    const cow_String given = option("msgserver");
    if (ParseServerOption(given, host, port))
        return true;
    if (tell)
        ipm_warn("-msgserver " + ipm_shown(given) +
                 " is not a server name, optionally followed by ':' and a port number from 1 to "
                 "65535: reports are not delivered, only written to the message file");
    return false;
}

bool ipm_JabberMechanism::readServerOption(int& port) {
    cow_String host;
    if (ServerOption(host, port, !serverRefusalTold)) {
        serverName = host;
        return true;
    }
    serverRefusalTold = true;
    return false;
}

bool ipm_JabberMechanism::Initialize() {
    int port = 0;
    if (interrupted.load() || !readServerOption(port))
        return false;
    monitorAccount = option("listener_name");
    monitorAccount += "@";
    monitorAccount += serverName;
    listenerAddress = monitorAccount;
    listenerAddress += "/";
    listenerAddress += option("listener_resource");
    connection.Connect(serverName, port);
    const cow_String credential = Credential();
    if (interrupted.load())
        return false;
    if (!connection.IsStreamOpen()) {
        SetFailureCause("the server did not open an XMPP stream");
        return false;
    }
    const cow_String password = Password();
    // Refused whenever the account exists, which is the usual case; the log-in tells.
    connection.Register(credential, credential, password);
    if (!connection.Authorize(credential, password, GetJobName())) {
        if (interrupted.load())
            return false;
        RequireStream();
        noteLogInFailed(credential);
        // Not logged in, the server would drop every report sent on this stream.
        try {
            connection.Disconnect();
        } catch (const csp_NetworkException&) {
        }
        return false;
    }
    connection.Receive(initialAnswerWait);
    RequireStream();
    announceToListener();
    return !interrupted.load() && connection.IsStreamOpen();
}

// The message task's line about delivery gives it, once per outage.
void ipm_JabberMechanism::noteLogInFailed(const cow_String& account) {
    if (connection.GetLastAnswer() == jcl_Connection::answerError)
        SetFailureCause(("the server refused the log-in as " + ipm_shown(account) +
                         "; check that " + passwordVariable +
                         " holds that account's password, or is unset or empty where the "
                         "password is the account's name")
                            .c_str());
    else
        SetFailureCause(("the server did not answer the log-in within " +
                         durationText(connection.GetAnswerTimeout()))
                            .c_str());
}

cow_String ipm_JabberMechanism::Destination() const {
    cow_String host;
    int port = 0;
    if (!ParseServerOption(option("msgserver"), host, port))
        return ("the monitor through the Jabber server " + ipm_shown(option("msgserver"))).c_str();
    const std::string server = ipm_bare(host);
    return ("the monitor " + ipm_bare(option("listener_name")) + "@" + server + "/" +
            ipm_bare(option("listener_resource")) + " through the Jabber server " + server + ":" +
            std::to_string(port))
        .c_str();
}

// Directed presence: the server then tells the monitor's address when this session ends,
// also when the job dies without a word.
void ipm_JabberMechanism::announceToListener() {
    jcl_Presence here;
    here.SetTo(listenerAddress);
    connection.Send(here);
}

cow_String ipm_JabberMechanism::Encode(const char* type, const char* format, const int* integers,
                                       const double* reals, const char* const* texts,
                                       bool started) const {
    return EncodePayload(ipm_PayloadEncoder::Jabber(), type, format, integers, reals, texts,
                         started);
}

void ipm_JabberMechanism::Close() {
    jcl_Presence farewell;
    farewell.SetTo(listenerAddress);
    farewell.SetType("unavailable");
    connection.Send(farewell);
    connection.Disconnect();
}

void ipm_JabberMechanism::Transmit(const cow_String& payload) {
    RequireStream();
    jcl_Message report;
    report.SetTo(listenerAddress);
    report.SetType("chat");
    report.SetX(payload);
    connection.Send(report);
    connection.Receive(afterReportWait);
    RequireStream();
}

void ipm_JabberMechanism::Poll() {
    // Never connected, or closed by Close: nothing to poll, and nothing has failed.
    if (!connection.HasStreamEnded() && !connection.IsStreamOpen())
        return;
    RequireStream();
    connection.SetHandlerContext(&monitorAccount);
    connection.SetMessageHandler(HandleKill);
    connection.Receive(pollWait);
    RequireStream();
}

void ipm_JabberMechanism::Interrupt() {
    interrupted.store(true);
    connection.Interrupt();
}

void ipm_JabberMechanism::ForgetInheritedConnection() {
    connection.CloseInheritedCopy();
}

void ipm_JabberMechanism::HandleKill(jcl_Connection& connection, jcl_Entity& stanza) {
    const cow_String* monitorAccount =
        static_cast<const cow_String*>(connection.GetHandlerContext());
    if (monitorAccount != nullptr &&
        IsKillCommand(static_cast<jcl_Message&>(stanza), *monitorAccount))
        eli_setkillsig();
}

bool ipm_JabberMechanism::IsKillCommand(const jcl_Message& message,
                                        const cow_String& monitorAccount) {
    const cow_String& content = message.GetX();
    return content.Find("Kill") != content.length() &&
           equalIgnoringCase(bareAddress(message.from), monitorAccount);
}

// Send swallows write failures and the server may end the stream in several ways; the
// connection notes them all, and here they become the failure the task acts on.
void ipm_JabberMechanism::RequireStream() const {
    if (!connection.IsStreamOpen())
        csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                         "the Jabber server has ended the stream");
}
