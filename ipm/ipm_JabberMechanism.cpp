#include "ipm/ipm_JabberMechanism.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "base/utl_HostName.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_Warning.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_TlsFilter.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Six characters after the host name; part of every machine's account for good, so
// changing it strands the accounts registered before.
const char credentialSuffix[] = "-ipmjb";

// The task spaces reports 60 ms apart and polls in between: a report that waited for answers
// after it pushed the next poll past the spacing and halved the pace. Answers that come later
// are the next poll's, which waits as long as the spacing, as the direct transport's does.
const int afterReportWait = 1;
const int pollWait = 60;

const char userVariable[] = "IPM_JABBER_USER";
const char passwordVariable[] = "IPM_JABBER_PASSWORD";
const char tlsVariable[] = "IPM_JABBER_TLS";
const char caVariable[] = "IPM_JABBER_CA";
const char pinVariable[] = "IPM_JABBER_PIN";

// "host:port", the host as a warning may show it.
std::string serverText(const cow_String& host, int port) {
    const std::string shown = ipm_shown(host);
    return shown.substr(1, shown.size() - 2) + ":" + std::to_string(port);
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
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

ipm_JabberMechanism::ipm_JabberMechanism()
    : interrupted(false), serverRefusalTold(false), clearTextTold(false) {}

ipm_JabberMechanism::~ipm_JabberMechanism() {
    connection.Disconnect();
}

cow_String ipm_JabberMechanism::Credential() {
    return utl_getHostName() + credentialSuffix;
}

// Servers keep account names in lower case, and not every SASL mechanism folds the case of the
// name it is given (Windows names its machines in capitals).
cow_String ipm_JabberMechanism::Account() {
    std::string user = environment(userVariable);
    if (user.empty())
        user = Credential().c_str();
    for (char& c : user)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return user.c_str();
}

bool ipm_JabberMechanism::Password(bool serverOnLoopback, cow_String& password) {
    const std::string given = environment(passwordVariable);
    if (!given.empty()) {
        password = given.c_str();
        return true;
    }
    if (!serverOnLoopback)
        return false;
    password = Credential();
    return true;
}

bool ipm_JabberMechanism::ReadSecurityPolicy(jcl_LogInSettings& settings, std::string& problem) {
    const std::string tls = environment(tlsVariable);
    if (tls.empty() || tls == "optional")
        settings.encryption = jcl_LogInSettings::encryptionWhenOffered;
    else if (tls == "required")
        settings.encryption = jcl_LogInSettings::encryptionRequired;
    else if (tls == "off")
        settings.encryption = jcl_LogInSettings::encryptionOff;
    else {
        problem = std::string(tlsVariable) + "=" + ipm_shown(tls.c_str()) +
                  " is not required, optional or off";
        return false;
    }
    settings.caFile = environment(caVariable);
    if (!settings.caFile.empty()) {
        std::FILE* file = std::fopen(settings.caFile.c_str(), "rb");
        if (file == nullptr) {
            problem = std::string(caVariable) + " names " + ipm_shown(settings.caFile.c_str()) +
                      ", which cannot be read";
            return false;
        }
        std::fclose(file);
    }
    const std::string pin = environment(pinVariable);
    settings.pinnedDigest.clear();
    if (!pin.empty() && !jcl_TlsFilter::ParsePin(pin, settings.pinnedDigest)) {
        problem = std::string(pinVariable) + "=" + ipm_shown(pin.c_str()) +
                  " is not sha256: followed by the 64 hex digits of a SHA-256 fingerprint";
        return false;
    }
    return true;
}

std::string ipm_JabberMechanism::DescribeLogInFailure(const jcl_Connection& connection,
                                                      const jcl_LogInSettings& settings) {
    std::string text = connection.GetLogInFailureText();
    switch (connection.GetLogInFailure()) {
    case jcl_Negotiation::encryptionRequired:
        if (settings.encryption == jcl_LogInSettings::encryptionOff)
            text += std::string(" (") + tlsVariable + "=off)";
        break;
    case jcl_Negotiation::encryptionUnavailable:
        text += std::string(" (") + tlsVariable + "=required)";
        break;
    case jcl_Negotiation::certificateUntrusted:
        text += std::string(" (if that is your server's certificate, ") + pinVariable +
                "=sha256:" + connection.GetCertificateFingerprint() + " accepts it; " + caVariable +
                "=FILE adds the authority that signed it)";
        break;
    default:
        break;
    }
    return text;
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
    if (!connectTo(port) || interrupted.load())
        return false;
    if (!logIn(port))
        return false;
    announceToListener();
    return !interrupted.load() && connection.IsStreamOpen();
}

// A failure is told like any other: the message task says where reports do not get and why.
bool ipm_JabberMechanism::connectTo(int port) {
    try {
        connection.Connect(serverName, port);
    } catch (const csp_NetworkException& failure) {
        fail(jcl_Connection::DescribeConnectFailure(failure));
        return false;
    }
    if (!connection.IsStreamOpen()) {
        fail("the server did not open an XMPP stream");
        return false;
    }
    return true;
}

bool ipm_JabberMechanism::logIn(int port) {
    jcl_LogInSettings settings;
    std::string problem;
    if (!ReadSecurityPolicy(settings, problem)) {
        fail(problem);
        connection.Disconnect();
        return false;
    }
    settings.user = Account();
    settings.resource = GetJobName();
    // A server that is gone again has no address left to tell where it is; the password
    // hint would send the user the wrong way.
    const csp_SocketAddress server = connection.GetPeerAddress();
    if (!server.isDefined()) {
        fail("cannot log in as " + ipm_shown(settings.user) +
             ": the server closed the connection before the log-in");
        connection.Disconnect();
        return false;
    }
    const bool onLoopback = server.getIpAddress().isLoopback();
    if (!Password(onLoopback, settings.password)) {
        fail(std::string("the server is not on this machine: set ") + passwordVariable +
             " to the password of " + ipm_shown(settings.user) +
             " (the built-in one serves only a server on this machine)");
        connection.Disconnect();
        return false;
    }
    if (!connection.LogIn(settings)) {
        fail("cannot log in as " + ipm_shown(settings.user) + ": " +
             DescribeLogInFailure(connection, settings) +
             (connection.GetLogInFailure() == jcl_Negotiation::notAuthorized
                  ? std::string(" (") + userVariable + " and " + passwordVariable +
                        " name the account)"
                  : std::string()));
        return false;
    }
    if (!connection.IsEncrypted() && !clearTextTold) {
        clearTextTold = true;
        ipm_warn("the Jabber server " + serverText(serverName, port) +
                 " offers no encryption: reports cross the network in clear" +
                 (connection.SentPasswordInClear() ? std::string(", and so did the password")
                                                   : std::string()) +
                 " (" + tlsVariable + "=required refuses such a server)");
    }
    return true;
}

void ipm_JabberMechanism::fail(const std::string& cause) {
    if (!interrupted.load())
        SetFailureCause(cause.c_str());
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
    return EncodePayload(PayloadVariant(), type, format, integers, reals, texts, started);
}

const ipm_PayloadEncoder& ipm_JabberMechanism::PayloadVariant() const {
    return ipm_PayloadEncoder::Jabber();
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
