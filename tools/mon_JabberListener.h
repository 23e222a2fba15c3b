#ifndef TOOLS_MON_JABBERLISTENER_H
#define TOOLS_MON_JABBERLISTENER_H

#include "QORKelCommunications.h"
#include "mon_Options.h"
#include "mon_Roster.h"
#include "mon_Source.h"

#include <chrono>
#include <map>
#include <set>
#include <string>

// The monitor's Jabber side, on the library's XMPP client: logs in to the server as the
// listener (registering the account first if the server does not know it), feeds the
// reports that jobs send there as chat messages into the roster, and sends "Kill" in a
// chat message's x element.
//
// A job's session ends without a final report when it goes unavailable (the server says so
// to a contact that the job sent its presence to). A job that never sent presence is asked
// with a ping once it has been quiet for a few seconds: the server answers with an error
// for a session that is gone, unless the job's own client answers pings that way too,
// which a ping sent when the job arrives finds out.
class mon_JabberListener : public mon_Source {
public:
    // Quiet this long, a job that never sent presence is pinged (and again as long as it
    // stays quiet).
    static constexpr std::chrono::seconds probeAfter{3};

    // Connects and logs in; raises csp_NetworkException when the server cannot be reached
    // and std::runtime_error when it refuses the log-in.
    mon_JabberListener(const mon_Options& options, mon_Roster& roster);
    mon_JabberListener(const mon_JabberListener&) = delete;
    mon_JabberListener& operator=(const mon_JabberListener&) = delete;
    ~mon_JabberListener() override;

    // The listener's own address, which jobs send to.
    std::string Address() const;

    void Watch(mon_Poller& poller) override;
    void Serve(const mon_Poller& poller, Clock::time_point now) override;
    bool SendKill(const mon_Job& job, std::string& why) override;
    bool Ended() const override { return ended; }
    std::string Describe() const override;

private:
    struct Peer {
        int jobId = 0;
        bool sentPresence = false;
        // Its client answers a ping with an error even while it runs.
        bool refusesPings = false;
        Clock::time_point lastProbe;
    };

    mon_Options options;
    mon_Roster& roster;
    jcl_Connection connection;
    // Full addresses of the jobs that reported, and of those that only sent presence.
    std::map<std::string, Peer> peers;
    std::set<std::string> refusedNames;
    Clock::time_point now;
    bool ended;
    int probes;

    void logIn();
    void readWaitingStanzas();
    static void onMessage(jcl_Connection& connection, jcl_Entity& stanza);
    static void onPresence(jcl_Connection& connection, jcl_Entity& stanza);
    static void onIQ(jcl_Connection& connection, jcl_Entity& stanza);
    void handleMessage(const jcl_Message& message);
    void handlePresence(const jcl_Presence& presence);
    void handleAnswer(const jcl_IQ& iq);
    int jobOf(const std::string& address);
    void probeQuietJobs();
    bool ping(const std::string& address, const char* prefix);
    void pingRefused(const std::string& address, bool firstPing);
    void sessionEnded(const std::string& address, const std::string& why);
};

#endif
