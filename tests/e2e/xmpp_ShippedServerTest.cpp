#include "xmpp_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TestSupport.h"
#include "ipm/ipm_sendMessage.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_TlsFilter.h"
#include "windows/UnderWine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Against the server as Debian ships it: TLS required, SASL, accounts made by an
// administrator ("monitor" and "job"), a self-signed certificate trusted by its pin.
namespace {

using namespace xmpp_test;

std::string StateFile(const char* name) {
    std::ifstream file(PrivateServer::StateDir() + "/" + name);
    std::string text;
    std::getline(file, text);
    return text;
}

std::string WithoutLineFeeds(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

// The monitor, on the library's own client, keeping every chat message it receives.
class TlsMonitor {
public:
    TlsMonitor() {
        connection.SetHandlerContext(this);
        connection.SetMessageHandler([](jcl_Connection& c, jcl_Entity& stanza) {
            static_cast<TlsMonitor*>(c.GetHandlerContext())
                ->messages.push_back(static_cast<jcl_Message&>(stanza));
        });
        connection.Connect(serverName, ServerPort());
        jcl_LogInSettings settings;
        settings.user = "monitor";
        settings.password = "monitor-pw";
        settings.resource = "console";
        settings.encryption = jcl_LogInSettings::encryptionRequired;
        jcl_TlsFilter::ParsePin(StateFile("pin"), settings.pinnedDigest);
        loggedIn = connection.LogIn(settings);
        if (loggedIn)
            connection.Send(jcl_Presence());
    }
    ~TlsMonitor() { connection.Disconnect(); }

    // The x content of the next chat message from `from`, reading for at most 10 s; empty
    // when none came. The server may hand over messages that waited for any monitor.
    std::string NextReport(const char* from) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            for (; taken < messages.size(); ++taken)
                if (messages[taken].from == from)
                    return messages[taken++].GetX().c_str();
            if (!connection.IsStreamOpen() || std::chrono::steady_clock::now() > deadline)
                return "";
            connection.Receive(100);
        }
    }

    jcl_Connection connection;
    std::vector<jcl_Message> messages;
    std::size_t taken = 0;
    bool loggedIn = false;
};

class ShippedServer : public ::testing::Test {
protected:
    void SetUp() override {
        ipm_test::DestroyTransmitter();
        eli_resetkillsig();
    }
    void TearDown() override {
        ipm_test::DestroyTransmitter();
        eli_resetkillsig();
    }
};

TEST_F(ShippedServer, JobAndMonitorLogInWithTlsAndScramEveryReportArrivesAndKillComesBack) {
    TlsMonitor monitor;
    ASSERT_TRUE(monitor.loggedIn) << monitor.connection.GetLogInFailureText();
    EXPECT_TRUE(monitor.connection.IsEncrypted());
    EXPECT_EQ(monitor.connection.GetLogInMechanism().compare(0, 6, "SCRAM-"), 0)
        << monitor.connection.GetLogInMechanism();
    EXPECT_STREQ(monitor.connection.GetBoundAddress().c_str(), "monitor@localhost/console");

    ipm_test::ScopedEnv user("IPM_JABBER_USER", "job");
    ipm_test::ScopedEnv password("IPM_JABBER_PASSWORD", "job-pw");
    ipm_test::ScopedEnv pin("IPM_JABBER_PIN", StateFile("pin").c_str());
    ipm_test::ScopedEnv tls("IPM_JABBER_TLS", "required");
    ipm_test::CapturedWarnings warnings;
    ipm_test::TempDir dir;
    ipm_test::SetCommandLine({"-job", "tlsjob", "-message", "on", "-indir", dir.Path(),
                              "-msgserver", ServerOption(), "-listener_name", "monitor",
                              "-listener_resource", "console"});
    ipm_MessageTransmit::Instance().SetMechanism(new ipm_JabberMechanism);
    std::thread task([] { ipm_MessageTask().Run(0); });
    ipm_test::TimedReporter host;
    host.ReportRange(1, 20);
    const std::vector<std::string> logged =
        ipm_test::Lines(ipm_test::ReadFile(dir.File("tlsjob.ipm")));
    ASSERT_EQ(logged.size(), 20u) << "the message file is complete";
    std::chrono::steady_clock::time_point first;
    for (const std::string& payload : logged) {
        const std::string x = monitor.NextReport("job@localhost/tlsjob");
        ASSERT_FALSE(x.empty()) << "missing " << payload;
        if (&payload == &logged.front())
            first = std::chrono::steady_clock::now();
        // The x content comes back written anew, a line feed after every end tag.
        EXPECT_NE(WithoutLineFeeds(x).find(WithoutLineFeeds(payload)), std::string::npos) << x;
    }

    // The task spaces reports 60 ms apart; a transport that waits past the spacing halves the
    // pace (121 ms a report). The bound is loose: bench_jabber measures the pace itself.
    const long long milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - first)
                                       .count();
    if (!RunningUnderWine()) {
        EXPECT_LT(milliseconds, 19 * 100) << "19 reports after the first";
    }

    jcl_Message kill;
    kill.SetTo("job@localhost/tlsjob");
    kill.SetType("chat");
    kill.SetX("Kill");
    monitor.connection.Send(kill);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!eli_getkillsig() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(eli_getkillsig()) << "the Kill did not come back through TLS";
    ipm_MessageTransmit::Instance().RequestStop();
    task.join();
    EXPECT_EQ(warnings.Text(), "") << "nothing to say when TLS and the log-in work";
}

} // namespace
