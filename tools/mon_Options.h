#ifndef TOOLS_MON_OPTIONS_H
#define TOOLS_MON_OPTIONS_H

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

    // False with a reason in `error` for an unknown option or a bad value.
    bool Parse(int argc, const char* const* argv, std::string& error);
    static const char* Usage();

private:
    bool takesValue(const std::string& option) const;
    bool setValue(const std::string& option, const std::string& value, std::string& error);
    void setServer(const std::string& value, std::string& error);
};

#endif
