#include "ipm/ipm_JabberMechanism.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "base/utl_HostName.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_Warning.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

namespace {

// Six characters after the host name; part of every machine's account for good, so
// changing it strands the accounts registered before.
const char credentialSuffix[] = "-ipmjb";

const int initialAnswerWait = 1000;
const int afterReportWait = 10;
const int pollWait = 50;

cow_String option(const char* name) {
    return thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue(name);
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

bool ipm_JabberMechanism::readServerOption(int& port) {
    const cow_String option =
        thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("msgserver");
    cow_String host;
    if (ParseServerOption(option, host, port)) {
        serverName = host;
        return true;
    }
    if (!serverRefusalTold) {
        serverRefusalTold = true;
        ipm_warn("-msgserver " + ipm_shown(option) +
                 " is not a server name, optionally followed by ':' and a port number from 1 to "
                 "65535: reports are not delivered, only written to the message file");
    }
    return false;
}

bool ipm_JabberMechanism::Initialize() {
    int port = 0;
    if (interrupted.load() || !readServerOption(port))
        return false;
    listenerAddress = option("listener_name");
    listenerAddress += "@";
    listenerAddress += serverName;
    listenerAddress += "/";
    listenerAddress += option("listener_resource");
    dropConnection();
    connection.Connect(serverName, port);
    const cow_String credential = Credential();
    if (interrupted.load() || !connection.IsConnected())
        return false;
    connection.Register(credential, credential, credential);
    connection.Authorize(credential, credential, GetJobName());
    connection.Receive(initialAnswerWait);
    announceToListener();
    return !interrupted.load() && connection.IsConnected() && connection.IsUsable();
}

// A connection set up earlier (now failed, or given up on) makes way for a new one; its
// end cannot fail the new attempt.
void ipm_JabberMechanism::dropConnection() {
    try {
        connection.Disconnect();
    } catch (...) {
    }
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
    RequireConnection();
    jcl_Message report;
    report.SetTo(listenerAddress);
    report.SetType("chat");
    report.SetX(payload);
    connection.Send(report);
    connection.Receive(afterReportWait);
    RequireConnection();
}

void ipm_JabberMechanism::Poll() {
    // An unconnected socket reads as ready and then fails its read: nothing to poll.
    if (!connection.IsConnected())
        return;
    connection.SetMessageHandler(HandleKill);
    connection.Receive(pollWait);
    RequireConnection();
}

void ipm_JabberMechanism::Interrupt() {
    interrupted.store(true);
    connection.Interrupt();
}

void ipm_JabberMechanism::HandleKill(jcl_Connection&, jcl_Entity& stanza) {
    const cow_String& content = static_cast<jcl_Message&>(stanza).GetX();
    if (content.Find("Kill") != content.length())
        eli_setkillsig();
}

// Send swallows write failures and a read at the end of the stream raises nothing, so a
// server that has gone shows only as a socket without a peer, or one that can no longer
// be used (a write that failed or timed out, the server's end of the stream).
void ipm_JabberMechanism::RequireConnection() const {
    if (!connection.IsConnected() || !connection.IsUsable())
        csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                         "the Jabber server has closed the connection");
}
