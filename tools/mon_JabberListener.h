#ifndef TOOLS_MON_JABBERLISTENER_H
#define TOOLS_MON_JABBERLISTENER_H

#include "QORKelCommunications.h"
#include "mon_CommandQueue.h"
#include "mon_Options.h"
#include "mon_Report.h"
#include "mon_ReportPrinter.h"

#include <map>
#include <memory>
#include <string>

// The monitor's Jabber side: logs in to the server as the listener (registering the account
// first if the server does not know it), shows the reports that jobs send there as chat
// messages, and answers "kill <job>" with a chat message whose x element holds "Kill".
// A job counts as gone when it announces that it is unavailable.
class mon_JabberListener {
public:
    static const int serverPort = ipm_JabberMechanism::serverPort;

    // Connects and logs in; raises csp_NetworkException when the server cannot be reached
    // and std::runtime_error when it refuses the log-in.
    mon_JabberListener(const mon_Options& options, mon_ReportPrinter& printer);
    mon_JabberListener(const mon_JabberListener&) = delete;
    mon_JabberListener& operator=(const mon_JabberListener&) = delete;
    ~mon_JabberListener();

    // The listener's own address, which jobs send to.
    std::string Address() const;
    // Serves until "quit", the end of the server's stream, or, with exitWhenIdle, until
    // every job that reported has gone.
    void Run(mon_CommandQueue& commands);

    // The report a payload element holds: its name, and each child as a field whose value
    // is all the text inside it.
    static mon_Report ReportOf(const jcl_Node& payload);

private:
    class Stream;
    struct Job {
        std::string address;
        int reports = 0;
        bool killSent = false;
    };

    mon_Options options;
    mon_ReportPrinter& printer;
    csp_TcpSocket socket;
    std::unique_ptr<Stream> stream;
    std::map<std::string, Job> jobs;
    bool anyJobCame;
    bool quitRequested;
    bool loggedIn;

    void write(const std::string& text);
    void logIn();
    bool readFor(int milliseconds);
    void handle(const jcl_Node& stanza);
    void handleMessage(const jcl_Node& message);
    void handlePresence(const jcl_Node& presence);
    void handleAnswer(const jcl_Node& iq);
    void execute(const std::string& line);
    void kill(const std::string& job);
    void sendKill(const std::string& name, Job& job);
    void listJobs();
    bool finished() const;
};

#endif
