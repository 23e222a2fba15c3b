#ifndef MONITOR_MON_JABBERLISTENER_H
#define MONITOR_MON_JABBERLISTENER_H

#include "QORKelCommunications.h"
#include "monitor/mon_Departures.h"
#include "monitor/mon_Options.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Source.h"

#include <chrono>
#include <map>
#include <set>
#include <string>

// The monitor's Jabber side, on the library's XMPP client: logs in to the server as the
// listener (TLS, SASL and the certificate policy of the library's IPM_JABBER_TLS,
// IPM_JABBER_CA and IPM_JABBER_PIN; registering the account first where the server offers
// that), feeds the reports that jobs send there as chat messages into the roster, and sends
// "Kill" in a chat message's x element. When the server goes away, it says so and logs in
// again, 1 s later, then after twice as long each time up to 10 s, without holding up the
// monitor's loop while the server answers.
//
// A job's session ends without a final report when it goes unavailable (the server says so
// to a contact that the job sent its presence to). A job that never sent presence is asked
// with a ping once it has been quiet for a few seconds: the server answers with an error
// for a session that is gone, unless the job's own client answers pings that way too,
// which a ping sent when the job arrives finds out. A job lost that way that reports again
// from the same address, but for a new run's Started, is the same job (mon_Departures).
class mon_JabberListener : public mon_Source {
public:
    // Quiet this long, a job that never sent presence is pinged (and again as long as it
    // stays quiet).
    static constexpr std::chrono::seconds probeAfter{3};

    // The longest pause between two log-in attempts once the server has gone.
    static constexpr std::chrono::seconds longestRetry{10};

    // Connects and logs in; raises std::runtime_error, with the cause in one line, when the
    // server cannot be reached or the log-in fails.
    mon_JabberListener(const mon_Options& options, mon_Roster& roster);
    mon_JabberListener(const mon_JabberListener&) = delete;
    mon_JabberListener& operator=(const mon_JabberListener&) = delete;
    ~mon_JabberListener() override;

    // The listener's own address, which jobs send to.
    std::string Address() const;

    void Watch(csp_Poller& poller) override;
    void Serve(const csp_Poller& poller, Clock::time_point now) override;
    bool SendKill(const mon_Job& job, std::string& why) override;
    // A server that goes away is no end: the listener logs in again.
    bool Ended() const override { return false; }
    std::string Describe() const override;
    bool MayBringJobsBack(Clock::time_point when) const override {
        return departures.MayComeBack(when);
    }

private:
    struct Peer {
        int jobId = 0;
        bool sentPresence = false;
        // Its client answers a ping with an error even while it runs.
        bool refusesPings = false;
        Clock::time_point lastProbe;
    };

    enum State { loggedIn, waitingToRetry, loggingIn };

    mon_Options options;
    mon_Roster& roster;
    jcl_Connection connection;
    jcl_LogInSettings settings;
    State state;
    Clock::time_point nextAttempt;
    Clock::duration retryDelay;
    Clock::time_point lostAt;
    std::set<std::string> causesTold;
    // Full addresses of the jobs that reported, and of those that only sent presence.
    std::map<std::string, Peer> peers;
    std::set<std::string> refusedNames;
    mon_Departures departures;
    Clock::time_point now;
    int probes;

    std::string serverText() const;
    void prepareLogIn();
    void connect();
    void loggedInNow();
    void logIn();
    void connectionLost(const std::string& why);
    void retry();
    void attemptFailed(const std::string& why);
    void followLogIn();
    void readWaitingStanzas();
    static void onMessage(jcl_Connection& connection, jcl_Entity& stanza);
    static void onPresence(jcl_Connection& connection, jcl_Entity& stanza);
    static void onIQ(jcl_Connection& connection, jcl_Entity& stanza);
    void handleMessage(const jcl_Message& message);
    void handlePresence(const jcl_Presence& presence);
    void handleAnswer(const jcl_IQ& iq);
    // `startsARun`: its report is a Started, which a job that logs in again does not send.
    int jobOf(const std::string& address, bool startsARun);
    int entryFor(const std::string& address, const std::string& name, bool startsARun);
    void probeQuietJobs();
    bool ping(const std::string& address, const char* prefix);
    void pingRefused(const std::string& address, bool firstPing);
    void sessionEnded(const std::string& address, const std::string& why);
};

#endif
