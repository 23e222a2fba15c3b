#ifndef MONITOR_MON_OPTIONS_H
#define MONITOR_MON_OPTIONS_H

#include "ipm/ipm_JabberMechanism.h"

#include <set>
#include <string>

// The monitor's command line.
struct mon_Options {
    std::string address = "127.0.0.1";
    int port = 0; // 0: a free port the system picks
    std::string portFile;
    int killAfter = 0;
    bool exitWhenIdle = false;
    bool help = false;
    // Seconds without a report after which a running job is shown silent.
    int silentAfter = 120;
    // Report types to show; empty: all.
    std::set<std::string> only;
    bool json = false;
    // The plain log even on a terminal.
    bool plain = false;
    // A message file to read instead of listening: once (replay) or as it grows (follow).
    std::string replayFile;
    std::string followFile;
    // Over Jabber: the server (its virtual host's name; "-msgserver host:port" names another
    // port than the usual one) and the listener's account.
    std::string msgserver;
    int msgport = ipm_JabberMechanism::serverPort;
    std::string account = "monitor";
    // Empty: IPM_MONITOR_PASSWORD, or the account name for a server on this machine.
    std::string password;
    std::string resource = "console";
    std::string readyFile;
    // Commands run when a job ends and at its first error; no terminal bell with quiet.
    std::string onEnd;
    std::string onError;
    bool quiet = false;
    // The web page: "[ADDR:]PORT" (empty: none), its address and port, and the token that
    // allows Kill from it (empty: the page is read-only).
    std::string http;
    std::string httpAddress = "127.0.0.1";
    int httpPort = -1;
    std::string httpPortFile;
    std::string httpToken;
    // The history database ("none": no history; empty: the default place) and how long it
    // keeps jobs.
    std::string history;
    int keepDays = 30;
    // List the jobs of the history (since `since` seconds ago) and leave.
    bool listJobs = false;
    long long since = 7 * 86400;

    // False with a reason in `error` for an unknown option or a bad value.
    bool Parse(int argc, const char* const* argv, std::string& error);
    static const char* Usage();

private:
    bool takesValue(const std::string& option) const;
    bool setValue(const std::string& option, const std::string& value, std::string& error);
    void setServer(const std::string& value, std::string& error);
    void setHttp(const std::string& value, std::string& error);
};

#endif
