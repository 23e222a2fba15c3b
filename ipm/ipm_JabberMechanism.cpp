#include "ipm/ipm_JabberMechanism.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "base/utl_HostName.h"
#include "csp/impl/csp_NetworkEx.h"
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

ipm_JabberMechanism::ipm_JabberMechanism() = default;

ipm_JabberMechanism::~ipm_JabberMechanism() {
    try {
        connection.Disconnect();
    } catch (...) {
    }
}

cow_String ipm_JabberMechanism::Credential() {
    return utl_getHostName() + credentialSuffix;
}

bool ipm_JabberMechanism::Initialize() {
    serverName = option("msgserver");
    listenerAddress = option("listener_name");
    listenerAddress += "@";
    listenerAddress += serverName;
    listenerAddress += "/";
    listenerAddress += option("listener_resource");
    connection.Connect(serverName, serverPort);
    const cow_String credential = Credential();
    if (!connection.IsConnected())
        return false;
    connection.Register(credential, credential, credential);
    connection.Authorize(credential, credential, GetJobName());
    connection.Receive(initialAnswerWait);
    return true;
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
}

void ipm_JabberMechanism::HandleKill(jcl_Connection&, jcl_Entity& stanza) {
    const cow_String& content = static_cast<jcl_Message&>(stanza).GetX();
    if (content.Find("Kill") != content.length())
        eli_setkillsig();
}

// Send swallows write failures and a read at the end of the stream raises nothing, so
// a server that has gone shows only as a socket without a peer.
void ipm_JabberMechanism::RequireConnection() const {
    if (!connection.IsConnected())
        csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                         "the Jabber server has closed the connection");
}
