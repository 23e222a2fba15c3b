#ifndef IPM_IPM_JABBERMECHANISM_H
#define IPM_IPM_JABBERMECHANISM_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_LogInSettings.h"

#include <atomic>
#include <set>
#include <string>

class jcl_Entity;
class jcl_Message;

// Delivers reports through a Jabber server: logs in (TLS whenever the server offers it,
// SASL SCRAM, the resource named after the job) and sends each payload to the monitor's
// address as the x content of a chat message. A message from the monitor's account
// (listener_name@msgserver, from any of its resources) whose x content holds "Kill" reaches
// the kill hook; anyone else's is ignored. Options, read by Initialize: "msgserver" (the
// server's name, which is also the domain of both addresses and the name its certificate
// must carry, optionally followed by ":" and a port), "listener_name" and
// "listener_resource". Environment:
//   IPM_JABBER_USER       the account (default: the machine's name and a fixed suffix)
//   IPM_JABBER_PASSWORD   its password; without it, only a server on this machine (loopback)
//                         is tried, with a built-in password
//   IPM_JABBER_TLS        required (no log-in without TLS), optional (the default: TLS
//                         whenever offered, a line on standard error when not) or off
//   IPM_JABBER_CA         a PEM file of certificates trusted besides the system's
//   IPM_JABBER_PIN        sha256:HEX, the one certificate accepted (as openssl prints its
//                         SHA-256 fingerprint)
class QORKEL_API ipm_JabberMechanism : public ipm_TransmissionMechanism {
public:
    // The client port of an XMPP server, unless "msgserver" names another.
    static const int serverPort = 5222;

    // "host" or "host:port" (port 1 to 65535): the server's name and port. False, with
    // nothing changed, for an empty host or a port that is not a number in that range.
    static bool ParseServerOption(const cow_String& option, cow_String& host, int& port);
    // ParseServerOption of "msgserver". When that fails and `tell`, one line on standard
    // error says that reports are only written to the message file.
    static bool ServerOption(cow_String& host, int& port, bool tell);

    ipm_JabberMechanism();
    // Disconnects; a server that has gone only keeps the footer from arriving.
    ~ipm_JabberMechanism() override;

    // Connects (on a fresh socket, whatever came before), logs in and tells the monitor's
    // address that the job is there, so that the server tells it when the job's session
    // ends. A refused registration is no failure: the account may exist. Every failure is
    // told one way: false, with its cause in GetFailureCause (which the message task's line
    // about delivery gives), and the stream closed. That is when the transport was
    // interrupted (no cause), when "msgserver" or the environment is not valid (said once on
    // standard error too), when there is no password for a server elsewhere, when the server
    // cannot be looked up or reached, or when it ends the stream or the log-in fails.
    bool Initialize() override;
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override;
    const ipm_PayloadEncoder& PayloadVariant() const override;
    // Tells the monitor this job is unavailable, then disconnects.
    void Close() override;
    // Sends the payload, then handles what has arrived (waiting 1 ms at most). Raises when the
    // stream is not up or the server ends it (stream error, footer, closed or reset
    // connection), so that transmission stops instead of going on into the void.
    void Transmit(const cow_String& payload) override;
    // Installs the kill handler and handles what arrives within 60 ms. Without a
    // stream (never connected, or closed) it reads nothing; a stream that the server
    // has ended raises.
    void Poll() override;
    void Interrupt() override;
    void ForgetInheritedConnection() override;
    // "the monitor <listener_name>@<server>/<listener_resource> through the Jabber server
    // <server>:<port>".
    cow_String Destination() const override;

    const cow_String& GetServerName() const { return serverName; }
    // For a caller that measures the traffic (its byte counts) or the security in use.
    const jcl_Connection& GetConnection() const { return connection; }
    const cow_String& GetListenerAddress() const { return listenerAddress; }
    // listener_name@msgserver: the only sender whose Kill counts.
    const cow_String& GetMonitorAccount() const { return monitorAccount; }

    // The account name and user name of this machine: its host name and a fixed
    // suffix, the same on every run so that later jobs log in to the account the
    // first one registered.
    static cow_String Credential();
    // IPM_JABBER_USER when it is set and not empty, the credential otherwise; in lower case.
    static cow_String Account();
    // IPM_JABBER_PASSWORD when it is set and not empty. Otherwise the built-in password (the
    // credential) for a server on this machine, and false for one elsewhere: a password that
    // anyone can know must not open an account that others can reach.
    static bool Password(bool serverOnLoopback, cow_String& password);
    // The encryption and certificate policy of IPM_JABBER_TLS, IPM_JABBER_CA and
    // IPM_JABBER_PIN, shared with the monitor. False, with what is wrong in one line, for a
    // value that is not valid: a mistyped policy must not become a weaker one.
    static bool ReadSecurityPolicy(jcl_LogInSettings& settings, std::string& problem);
    // The log-in failure's cause with what the user can do about it, for the job and the
    // monitor alike: "wrong user or password (...)".
    static std::string DescribeLogInFailure(const jcl_Connection& connection,
                                            const jcl_LogInSettings& settings);
    // The message handler Poll installs. The connection's handler context is the
    // monitor's account (a cow_String); without one, no message is a command.
    static void HandleKill(jcl_Connection& connection, jcl_Entity& stanza);
    // Whether the message is a kill command from monitorAccount (a bare address,
    // compared without regard to case, whatever resource the sender used).
    static bool IsKillCommand(const jcl_Message& message, const cow_String& monitorAccount);

private:
    void RequireStream() const;
    bool readServerOption(int& port);
    bool connectTo(int port);
    bool logIn(int port);
    void announceToListener();
    // The cause that the message task's line about delivery gives.
    void fail(const std::string& cause);

    jcl_Connection connection;
    cow_String serverName;
    cow_String listenerAddress;
    cow_String monitorAccount;
    std::atomic<bool> interrupted;
    bool serverRefusalTold;
    bool clearTextTold;
};

#endif
