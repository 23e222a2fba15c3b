#include "monitor/mon_TestSupport.h"

#include "jcl/ScriptedServer.h"
#include "monitor/mon_JabberListener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace mon_test;

namespace {

using Clock = mon_Roster::Clock;

// A server older than stream features, which the old registration and log-in serve.
const std::string serverHeader =
    "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns='jabber:client' from='127.0.0.1' id='s1'>";
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
            {"jabber:iq:register", "<iq type='result' id='jcl1'/>"},
            {"jabber:iq:auth", "<iq type='result' id='jcl2'/>"},
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
        csp_Poller poller;
        listener.Watch(poller);
        const Clock::time_point start = Clock::now();
        poller.wait(60000);
        const Clock::duration waited = Clock::now() - start;
        listener.Serve(poller, Clock::now() + skipped);
        return std::chrono::duration_cast<std::chrono::milliseconds>(waited).count();
    }

    std::FILE* quiet = nullptr;
    // How far the listener's time is ahead of the real one, so that a retry is due at once.
    Clock::duration skipped{};
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

TEST_F(mon_JabberListenerTest, AServerThatGoesAwayIsSaidAndTriedAgainWithBackOff) {
    const struct {
        const char* name;
        std::string afterLogIn;
    } cases[] = {
        {"stream footer", "</stream:stream>"},
        {"report, then footer", report + "</stream:stream>"},
    };
    for (const auto& c : cases) {
        view.events.clear();
        int port = 0;
        std::unique_ptr<mon_JabberListener> listener;
        {
            ScriptedServer server(logInThen(c.afterLogIn, "", ""), ScriptedServer::closeAtOnce);
            port = server.Port();
            listener.reset(new mon_JabberListener(optionsFor(port), roster));
            for (int rounds = 0; rounds < 3 && view.Only("note").size() < 2; ++rounds)
                EXPECT_LT(round(*listener), 30000) << c.name;
        }
        const std::string where = "127.0.0.1:" + std::to_string(port);
        EXPECT_FALSE(listener->Ended()) << c.name;
        std::string why;
        EXPECT_FALSE(listener->SendKill(mon_Job(1, "beam", "beam", "", Clock::now()), why));
        EXPECT_EQ(why, "the monitor is not logged in to the Jabber server (it is trying again)");
        // Attempts 1, 2, 4, 8, 10, 10 s apart, the server still away.
        const std::string away = "the Jabber server " + where + " is away; next attempt in ";
        EXPECT_EQ(listener->Describe(), away + "1 s") << c.name;
        csp_Poller poller;
        Clock::time_point at = Clock::now();
        const int delays[] = {1, 2, 4, 8, 10, 10, 10};
        for (int i = 0; i + 1 < 7; ++i) {
            listener->Serve(poller, at + std::chrono::milliseconds(delays[i] * 1000 - 100));
            EXPECT_EQ(listener->Describe(), away + "1 s") << c.name << ", attempt " << i;
            at += std::chrono::seconds(delays[i]);
            listener->Serve(poller, at);
            EXPECT_EQ(listener->Describe(), away + std::to_string(delays[i + 1]) + " s")
                << c.name << ", attempt " << i;
        }
        const std::vector<std::string> notes = view.Only("note");
        const std::vector<std::string> expected = {
            "note the Jabber server " + where +
                " offers no encryption: reports cross the network "
                "in clear, and so did the password",
            "note the Jabber server " + where +
                " ended the connection; logging in again, every few seconds until it answers",
            "note cannot reach the Jabber server " + where +
                " (connection refused: nothing listens on that port); trying again"};
        EXPECT_EQ(notes, expected) << c.name;
    }
}

// The server goes away and tells the monitor that the job's session ended before it ends the
// monitor's own: the job is lost, and may come back, which -exit_when_idle waits for. Back on
// the same address, the job reporting on is the same entry; a new run (Started) is not.
TEST_F(mon_JabberListenerTest, AJobLostAsTheServerWentAwayIsTheSameJobWhenItReportsOn) {
    const std::string from = "from='h-ipmjb@127.0.0.1/beam' to='monitor@127.0.0.1/console'";
    const auto reportOf = [&](const std::string& type) {
        return "<message " + from + " type='chat'><x xmlns='zorvik:msg'><" + type +
               "><jobName type=\"string\">beam</jobName></" + type + ">\n</x></message>";
    };
    const std::string sessionEnded = "<presence " + from + " type='unavailable'/>";
    const struct {
        const char* then;
        std::vector<std::string> labels;
    } cases[] = {{"Step", {"beam"}}, {"Started", {"beam", "beam#2"}}};
    for (const auto& c : cases) {
        RecordingView seen;
        mon_Roster jobs{seen, std::chrono::seconds(120), std::chrono::seconds(10)};
        skipped = Clock::duration::zero();
        std::unique_ptr<mon_JabberListener> listener;
        int port = 0;
        {
            ScriptedServer server(
                logInThen(reportOf("Step") + sessionEnded + "</stream:stream>", "", ""));
            port = server.Port();
            listener.reset(new mon_JabberListener(optionsFor(port), jobs));
            for (int rounds = 0; rounds < 5 && seen.Only("left").empty(); ++rounds)
                round(*listener);
            ASSERT_EQ(jobs.Jobs().size(), 1u) << c.then;
            EXPECT_EQ(jobs.Jobs().front()->GetState(), mon_Job::lost) << c.then;
            EXPECT_TRUE(listener->MayBringJobsBack(Clock::now())) << "just lost";
            for (int rounds = 0;
                 rounds < 5 && listener->Describe().find("away") == std::string::npos; ++rounds)
                round(*listener);
        }
        EXPECT_TRUE(listener->MayBringJobsBack(Clock::now() + std::chrono::seconds(30)))
            << "lost with the server, which is away";

        ScriptedServer back(logInThen(reportOf(c.then), "", ""), ScriptedServer::waitForClientClose,
                            0, port);
        skipped = std::chrono::seconds(1);
        // Its retry is due: it connects, and then has a socket to wait on.
        listener->Serve(csp_Poller(), Clock::now() + skipped);
        for (int rounds = 0; rounds < 10 && seen.Only("report").size() < 2; ++rounds)
            round(*listener);
        std::vector<std::string> labels;
        for (const mon_Job* job : jobs.Jobs())
            labels.push_back(job->Label());
        EXPECT_EQ(labels, c.labels) << c.then;
        EXPECT_EQ(jobs.Connected().size(), 1u) << c.then;
        EXPECT_EQ(jobs.Find(jobs.Jobs().back()->Id())->Reports(), c.labels.size() == 1 ? 2 : 1)
            << c.then;
        EXPECT_FALSE(listener->MayBringJobsBack(Clock::now() + skipped)) << c.then;
        listener.reset();
    }
}

} // namespace
