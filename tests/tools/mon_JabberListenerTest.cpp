#include "mon_TestSupport.h"

#include "jcl/ScriptedServer.h"
#include "mon_JabberListener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace mon_test;

namespace {

using Clock = mon_Roster::Clock;

const std::string serverHeader =
    "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns='jabber:client' from='127.0.0.1' id='s1' version='1.0'>";
const std::string result = "<iq type='result'/>";
const std::string report =
    "<message from='h-ipmjb@127.0.0.1/beam' to='monitor@127.0.0.1/console' type='chat'>"
    "<x xmlns='zorvik:msg'><Step><step type=\"integer\">1</step>"
    "<jobName type=\"string\">beam</jobName></Step>\n</x></message>";

// A server that lets the monitor log in and, a moment after its presence, sends what
// `afterLogIn` holds; then it waits for `then` and sends `reply`.
std::vector<ScriptedServer::Step> logInThen(const std::string& afterLogIn, const std::string& then,
                                            const std::string& reply) {
    ScriptedServer::Step delivered{"<presence", afterLogIn};
    // Long enough that the monitor is waiting when it comes.
    delivered.delayMilliseconds = 300;
    return {{"xmlns=\"jabber:client\">", serverHeader},
            {"jabber:iq:register", result},
            {"jabber:iq:auth", result},
            delivered,
            {then, reply}};
}

mon_Options optionsFor(int port) {
    mon_Options options;
    options.msgserver = "127.0.0.1";
    options.msgport = port;
    options.password = "monitor";
    return options;
}

class mon_JabberListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The XMPP client echoes what it receives on the console.
        quiet = std::tmpfile();
        if (quiet != nullptr)
            aio_cout.SetTarget(quiet);
    }
    void TearDown() override {
        aio_cout.SetTarget(stdout);
        if (quiet != nullptr)
            std::fclose(quiet);
    }

    // One round of the monitor's loop with a wait far longer than the test allows: only a
    // listener whose socket is among those waited on comes back early. How long it waited,
    // in milliseconds.
    long long round(mon_JabberListener& listener) {
        mon_Poller poller;
        listener.Watch(poller);
        const Clock::time_point start = Clock::now();
        poller.Wait(60000);
        const Clock::duration waited = Clock::now() - start;
        listener.Serve(poller, Clock::now());
        return std::chrono::duration_cast<std::chrono::milliseconds>(waited).count();
    }

    std::FILE* quiet = nullptr;
    RecordingView view;
    mon_Roster roster{view, std::chrono::seconds(120), std::chrono::seconds(10)};
};

TEST_F(mon_JabberListenerTest, AReportAtTheServerEndsTheMonitorsWaitAndIsShown) {
    // The first ping, which the monitor sends to a job that sent no presence, ends the
    // script.
    ScriptedServer server(logInThen(report, "urn:xmpp:ping", ""));
    mon_JabberListener listener(optionsFor(server.Port()), roster);
    EXPECT_LT(round(listener), 30000);
    EXPECT_EQ(view.Only("report"), std::vector<std::string>{"report beam Step"});
    EXPECT_FALSE(listener.Ended());
}

TEST_F(mon_JabberListenerTest, TheServerEndingTheStreamEndsTheMonitorsWaitAndTheSource) {
    const struct {
        const char* name;
        std::string afterLogIn;
    } cases[] = {
        {"stream footer", "</stream:stream>"},
        {"report, then footer", report + "</stream:stream>"},
    };
    for (const auto& c : cases) {
        view.events.clear();
        ScriptedServer server(logInThen(c.afterLogIn, "", ""), ScriptedServer::closeAtOnce);
        mon_JabberListener listener(optionsFor(server.Port()), roster);
        for (int rounds = 0; rounds < 3 && !listener.Ended(); ++rounds)
            EXPECT_LT(round(listener), 30000) << c.name;
        EXPECT_TRUE(listener.Ended()) << c.name;
        const std::vector<std::string> notes = view.Only("note");
        EXPECT_EQ(
            std::count(notes.begin(), notes.end(), "note the Jabber server ended the connection"),
            1)
            << c.name;
    }
}

} // namespace
