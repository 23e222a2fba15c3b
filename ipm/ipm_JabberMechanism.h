#ifndef IPM_IPM_JABBERMECHANISM_H
#define IPM_IPM_JABBERMECHANISM_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "jcl/jcl_Connection.h"

#include <atomic>

class jcl_Entity;

// Delivers reports through a Jabber server: logs in under an account named after the
// machine and sends each payload to the monitor's address as the x content of a chat
// message. A message from anyone whose x content holds "Kill" reaches the kill hook.
// Options, read by Initialize: "msgserver" (the server's name, which is also the
// domain of both addresses, optionally followed by ":" and a port), "listener_name" and
// "listener_resource".
class QORKEL_API ipm_JabberMechanism : public ipm_TransmissionMechanism {
public:
    // The client port of an XMPP server, unless "msgserver" names another.
    static const int serverPort = 5222;

    // "host" or "host:port" (port 1 to 65535): the server's name and port. False, with
    // nothing changed, for an empty host or a port that is not a number in that range.
    static bool ParseServerOption(const cow_String& option, cow_String& host, int& port);

    ipm_JabberMechanism();
    // Disconnects; a server that has gone makes the disconnect fail, and that failure
    // is dropped here rather than ending the process.
    ~ipm_JabberMechanism() override;

    // Connects (closing an earlier connection first), registers, logs in and tells the
    // monitor's address that the job is there, so that the server tells it when the job's
    // session ends. False when the connection attempt left no connected socket, when the
    // connection failed during the log-in, or when "msgserver" names no valid server (said
    // once on standard error); a refused registration or log-in is not detected. Lookup and
    // connection failures raise.
    bool Initialize() override;
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override;
    // Tells the monitor this job is unavailable, then disconnects.
    void Close() override;
    // Sends the payload, then handles what arrives within 10 ms. Raises when the
    // server has closed or reset the connection, so that transmission stops instead
    // of going on into the void.
    void Transmit(const cow_String& payload) override;
    // Installs the kill handler and handles what arrives within 50 ms. Without a
    // connection it reads nothing; a connection the server has ended raises.
    void Poll() override;
    void Interrupt() override;

    const cow_String& GetServerName() const { return serverName; }
    const cow_String& GetListenerAddress() const { return listenerAddress; }

    // The account name, user name and password of this machine: its host name and a
    // fixed suffix, the same on every run so that later jobs log in to the account
    // the first one registered.
    static cow_String Credential();
    // The message handler Poll installs.
    static void HandleKill(jcl_Connection& connection, jcl_Entity& stanza);

private:
    void RequireConnection() const;
    bool readServerOption(int& port);
    void dropConnection();
    void announceToListener();

    jcl_Connection connection;
    cow_String serverName;
    cow_String listenerAddress;
    std::atomic<bool> interrupted;
    bool serverRefusalTold;
};

#endif
