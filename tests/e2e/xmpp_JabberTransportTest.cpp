#include "xmpp_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TestSupport.h"
#include "ipm/ipm_sendMessage.h"
#include "jcl/jcl_Message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace xmpp_test;
using ipm_test::TempDir;

namespace {

const char monitorName[] = "monitor";
const char monitorResource[] = "console";

std::string JobAccount() {
    return Bare(std::string(ipm_JabberMechanism::Account().c_str()) + "@" + serverName);
}

// The job's command line for reporting over the private server into dir.
void JabberJobCommandLine(const TempDir& dir, const std::string& job) {
    ipm_test::SetCommandLine({"-job", job, "-message", "on", "-indir", dir.Path(), "-msgserver",
                              ServerOption(), "-listener_name", monitorName, "-listener_resource",
                              monitorResource});
}

// A report the monitor received: from the job's account, to the monitor, of type chat,
// with an x element that holds exactly one payload.
void ExpectReport(const jcl_Node* message, const std::string& payload, const std::string& job) {
    ASSERT_NE(message, nullptr) << "missing report " << payload;
    EXPECT_EQ(Bare(Attribute(*message, "from")), JobAccount());
    EXPECT_EQ(Attribute(*message, "from").substr(Attribute(*message, "from").find('/') + 1), job);
    EXPECT_EQ(Attribute(*message, "type"), "chat");
    const jcl_Node& x = *Child(*message, "x");
    EXPECT_EQ(Attribute(x, "xmlns"), "zorvik:msg");
    ASSERT_EQ(x.children.Count(), 1);
    EXPECT_EQ(Canonical(x.children.ConstGet(0)), CanonicalText(payload));
}

// Runs the message task on a thread of its own, as a host does.
class TaskThread {
public:
    TaskThread() : thread([] { ipm_MessageTask().Run(0); }) {}
    ~TaskThread() { Stop(); }
    void Stop() {
        if (!thread.joinable())
            return;
        ipm_MessageTransmit::Instance().RequestStop();
        thread.join();
    }

private:
    std::thread thread;
};

template <typename Condition> bool Eventually(Condition condition, int milliseconds = 5000) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void SendReport(const char* type, const char* format, const char* text) {
    const char* texts[] = {text};
    const int integers[] = {7};
    ipm_sendMessage(type, format, integers, nullptr, texts);
}

class JabberTransport : public ::testing::Test {
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

TEST_F(JabberTransport, EveryReportReachesTheMonitorAndItsKillReachesTheJob) {
    Monitor monitor(monitorName, monitorResource);
    TempDir dir;
    JabberJobCommandLine(dir, "e2ejob");
    ipm_MessageTransmit::Instance().SetMechanism(new ipm_JabberMechanism);
    TaskThread task;

    // Texts that a server would refuse as they are come first, so that a stream the
    // server closed shows as missing reports after them.
    SendReport("JobStarted", "count=%i", nullptr);
    SendReport("Error", "count=%i message=%s", "x < 0 & y > 1");
    SendReport("Warning", "count=%i message=%s",
               "20 \xB0"
               "C, 5 \xB5m");
    SendReport("Status", "count=%i message=%s", "<b>bold</b> stays markup");
    SendReport("Step", "count=%i stepName=%s", "a<<b");
    const std::vector<std::string> payloads =
        ipm_test::Lines(ipm_test::ReadFile(dir.File("e2ejob.ipm")));
    ASSERT_EQ(payloads.size(), 5u);
    for (const std::string& payload : payloads)
        ExpectReport(monitor.NextReport(), payload, "e2ejob");
    EXPECT_NE(payloads[3].find("<b>bold</b>"), std::string::npos);

    jcl_Message kill;
    kill.SetTo((JobAccount() + "/e2ejob").c_str());
    kill.SetType("chat");
    kill.SetX("Kill");
    monitor.Send(kill);
    EXPECT_TRUE(Eventually([] { return eli_getkillsig(); })) << "the kill command was not seen";

    task.Stop();
    EXPECT_FALSE(ipm_MessageTransmit::Instance().IsDisabled());
    ipm_MessageTransmit::Instance().CloseMechanism();
    const jcl_Node* farewell = monitor.WaitFor([](const jcl_Node& n) {
        return n.GetTagName() == "presence" && Bare(Attribute(n, "from")) == JobAccount();
    });
    ASSERT_NE(farewell, nullptr) << "no presence from the job";
    EXPECT_EQ(Attribute(*farewell, "type"), "unavailable");
}

TEST_F(JabberTransport, ASecondRunMeetsTheExistingAccountAndStillLogsIn) {
    Monitor monitor(monitorName, monitorResource);
    TempDir dir;
    for (const std::string job : {"first", "second"}) {
        JabberJobCommandLine(dir, job);
        ipm_JabberMechanism mechanism;
        mechanism.SetJobName(job.c_str());
        ASSERT_TRUE(mechanism.Initialize());
        const std::string payload = "<Status><run type=\"string\">" + job + "</run></Status>\n";
        mechanism.Transmit(payload.c_str());
        ExpectReport(monitor.NextReport(), payload, job);
        mechanism.Close();
    }
}

TEST_F(JabberTransport, MissingListenerOptionsAddressTheServerItself) {
    ipm_test::SetCommandLine({"-msgserver", ServerOption()});
    ipm_JabberMechanism mechanism;
    ASSERT_TRUE(mechanism.Initialize());
    EXPECT_STREQ(mechanism.GetServerName().c_str(), "localhost");
    EXPECT_STREQ(mechanism.GetListenerAddress().c_str(), "@localhost/");
    EXPECT_STREQ(mechanism.GetMonitorAccount().c_str(), "@localhost") << "nobody's Kill counts";
    EXPECT_NO_THROW(mechanism.Transmit("<Status></Status>\n"));
    mechanism.Close();
}

TEST_F(JabberTransport, OnlyAnXContentKillReachesTheHookAndOnlyOnceTheJobPolls) {
    Monitor monitor(monitorName, monitorResource);
    TempDir dir;
    JabberJobCommandLine(dir, "killjob");
    ipm_JabberMechanism mechanism;
    mechanism.SetJobName("killjob");
    ASSERT_TRUE(mechanism.Initialize());
    const cow_String job = (JobAccount() + "/killjob").c_str();

    jcl_Message inBody;
    inBody.SetTo(job);
    inBody.SetType("chat");
    inBody.SetBody("Kill");
    monitor.Send(inBody);
    for (int i = 0; i < 10; ++i)
        mechanism.Poll();
    EXPECT_FALSE(eli_getkillsig()) << "a body is not a command";

    jcl_Message command;
    command.SetTo(job);
    command.SetType("chat");
    command.SetX("Kill");
    monitor.Send(command);
    EXPECT_TRUE(Eventually([&] {
        mechanism.Poll();
        return eli_getkillsig();
    }));
    mechanism.Close();
}

// Sends "Kill" to the job from the given client.
void SendKill(Monitor& from, const std::string& job) {
    jcl_Message kill;
    kill.SetTo((JobAccount() + "/" + job).c_str());
    kill.SetType("chat");
    kill.SetX("Kill");
    from.Send(kill);
}

TEST_F(JabberTransport, AStrangersKillIsIgnoredAndTheMonitorsStopsTheJob) {
    Monitor monitor(monitorName, monitorResource);
    Monitor stranger("stranger", monitorResource);
    TempDir dir;
    JabberJobCommandLine(dir, "guarded");
    ipm_JabberMechanism mechanism;
    mechanism.SetJobName("guarded");
    ASSERT_TRUE(mechanism.Initialize());

    SendKill(stranger, "guarded");
    // A report the monitor receives after the stranger's message shows that the job
    // has read past it.
    mechanism.Poll();
    mechanism.Transmit("<Status><after type=\"string\">stranger</after></Status>\n");
    ASSERT_NE(monitor.NextReport(), nullptr);
    for (int i = 0; i < 10; ++i)
        mechanism.Poll();
    EXPECT_FALSE(eli_getkillsig()) << "a stranger stopped the job";

    Monitor otherConsole(monitorName, "other");
    SendKill(otherConsole, "guarded");
    EXPECT_TRUE(Eventually([&] {
        mechanism.Poll();
        return eli_getkillsig();
    })) << "the monitor's account, from another resource, could not stop the job";
    mechanism.Close();
}

TEST_F(JabberTransport, AJobWhoseNameHoldsMarkupReportsNormally) {
    // Not through the message file: a Windows file name cannot hold these characters.
    const std::string job = "a&b<c \"d\" 'e'>";
    Monitor monitor(monitorName, monitorResource);
    ipm_test::SetCommandLine({"-msgserver", ServerOption(), "-listener_name", monitorName,
                              "-listener_resource", monitorResource});
    ipm_JabberMechanism mechanism;
    mechanism.SetJobName(job.c_str());
    ASSERT_TRUE(mechanism.Initialize());
    const char* texts[] = {"still here"};
    for (const char* type : {"Started", "Status"}) {
        const cow_String payload = mechanism.Encode(type, "message=%s", nullptr, nullptr, texts,
                                                    std::string(type) == "Started");
        mechanism.Transmit(payload);
        const jcl_Node* message = monitor.NextReport();
        ExpectReport(message, payload.c_str(), job);
        ASSERT_NE(message, nullptr);
        const jcl_Node& report = Child(*message, "x")->children.ConstGet(0);
        EXPECT_STREQ(Child(report, "jobName")->text.c_str(), job.c_str());
    }
    SendKill(monitor, job);
    EXPECT_TRUE(Eventually([&] {
        mechanism.Poll();
        return eli_getkillsig();
    }));
    mechanism.Close();
}

TEST_F(JabberTransport, AStreamTheServerEndsIsSetUpAgainAndTheFileKeepsEveryReport) {
    Monitor monitor(monitorName, monitorResource);
    TempDir dir;
    JabberJobCommandLine(dir, "replaced");
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    transmitter.SetMechanism(new ipm_JabberMechanism);
    TaskThread task;
    SendReport("Status", "count=%i message=%s", "before");
    ASSERT_NE(monitor.NextReport(), nullptr);
    const int attempts = transmitter.GetConnectionAttempts();

    // A second log-in with the job's own resource makes the server end the job's stream
    // with a conflict; the job then logs in again and ends the usurper's.
    jcl_Connection usurper;
    usurper.Connect(serverName, ServerPort());
    jcl_LogInSettings account;
    account.user = ipm_JabberMechanism::Account();
    ipm_JabberMechanism::Password(true, account.password);
    account.resource = "replaced";
    ASSERT_TRUE(usurper.LogIn(account)) << usurper.GetLogInFailureText();
    EXPECT_TRUE(Eventually([&] { return transmitter.GetConnectionAttempts() > attempts; }))
        << "the job did not notice that its stream was ended";
    ASSERT_TRUE(Eventually([&] { return transmitter.IsMechanismReady(); }, 15000));
    SendReport("Status", "count=%i message=%s", "after");
    const jcl_Node* after = monitor.WaitFor(
        [](const jcl_Node& n) {
            return n.GetTagName() == "message" && Child(n, "x") != nullptr &&
                   Canonical(*Child(n, "x")).find(">after<") != std::string::npos;
        },
        10000);
    EXPECT_NE(after, nullptr) << "the report made after the stream was ended never came";
    EXPECT_FALSE(transmitter.IsDisabled());
    task.Stop();
    EXPECT_EQ(ipm_test::Lines(ipm_test::ReadFile(dir.File("replaced.ipm"))).size(), 2u);
    usurper.Disconnect();
}

TEST_F(JabberTransport, AWrongPasswordDeliversNothingKeepsEveryReportAndSaysSoOnce) {
    const std::string account = ipm_JabberMechanism::Account().c_str();
    {
        // The job's account exists with its usual password, as after any earlier run.
        ipm_test::ScopedEnv usual("IPM_JABBER_PASSWORD", nullptr);
        jcl_Connection registration;
        registration.Connect(serverName, ServerPort());
        jcl_LogInSettings accountOfOld;
        accountOfOld.user = account.c_str();
        ipm_JabberMechanism::Password(true, accountOfOld.password);
        accountOfOld.resource = "registration";
        ASSERT_TRUE(registration.LogIn(accountOfOld)) << registration.GetLogInFailureText();
        registration.Disconnect();
    }
    Monitor monitor(monitorName, monitorResource);
    TempDir dir;
    ipm_MessageTransmit* transmitter = nullptr;
    {
        ipm_test::ScopedEnv wrong("IPM_JABBER_PASSWORD", "not the password");
        ipm_test::CapturedWarnings warnings;
        JabberJobCommandLine(dir, "refused");
        transmitter = &ipm_MessageTransmit::Instance();
        transmitter->SetMechanism(new ipm_JabberMechanism);
        TaskThread task;
        ipm_test::TimedReporter host;
        host.ReportRange(1, 5);
        // The task tries at once, then a second and two seconds later.
        EXPECT_TRUE(Eventually([&] { return transmitter->GetConnectionAttempts() >= 3; }, 15000));
        host.ReportRange(6, 10);
        EXPECT_FALSE(transmitter->IsMechanismReady()) << "a refused log-in counts as up";
        // A job that had logged in would have sent its presence, then its reports.
        const auto fromTheJob = [](const jcl_Node& n) {
            return Bare(Attribute(n, "from")) == JobAccount() &&
                   (n.GetTagName() == "message" || Attribute(n, "type").empty());
        };
        EXPECT_EQ(monitor.WaitFor(fromTheJob, 1000), nullptr) << "the monitor heard from the job";
        task.Stop();
        EXPECT_FALSE(transmitter->IsDisabled()) << "the job goes on trying";
        EXPECT_LT(host.LongestMilliseconds(), 500.0) << "the host never waits for the server";
        const std::vector<std::string> said = ipm_test::Lines(warnings.Text());
        ASSERT_EQ(said.size(), 1u) << warnings.Text();
        EXPECT_NE(said[0].find("as \"" + account + "\": wrong user or password"), std::string::npos)
            << said[0];
        EXPECT_NE(said[0].find("IPM_JABBER_PASSWORD"), std::string::npos) << said[0];
        EXPECT_EQ(said[0].find("not the password"), std::string::npos) << "the password is shown";
    }
    const std::vector<std::string> logged =
        ipm_test::Lines(ipm_test::ReadFile(dir.File("refused.ipm")));
    ASSERT_EQ(logged.size(), 10u);
    for (std::size_t i = 0; i < logged.size(); ++i)
        EXPECT_NE(logged[i].find(">r" + std::to_string(i + 1) + "<"), std::string::npos) << i;

    // With the right password the same job reports.
    ipm_test::DestroyTransmitter();
    ipm_test::ScopedEnv right("IPM_JABBER_PASSWORD", nullptr);
    JabberJobCommandLine(dir, "accepted");
    ipm_MessageTransmit::Instance().SetMechanism(new ipm_JabberMechanism);
    TaskThread task;
    ipm_test::TimedReporter host;
    host.Report(1);
    const std::vector<std::string> accepted =
        ipm_test::Lines(ipm_test::ReadFile(dir.File("accepted.ipm")));
    ASSERT_EQ(accepted.size(), 1u);
    ExpectReport(monitor.NextReport(), accepted[0], "accepted");
}

// Everything below needs the server's port without the server, or the server gone.

// The x content of a received chat message, as the payload text it carries.
std::string PayloadOf(const jcl_Node* message) {
    if (message == nullptr || Child(*message, "x") == nullptr ||
        Child(*message, "x")->children.Count() != 1)
        return "";
    return Canonical(Child(*message, "x")->children.ConstGet(0));
}

TEST_F(JabberTransport, AServerThatStopsAndComesBackGetsTheJobAgainAndTheFileKeepsEveryReport) {
    if (!PrivateServer::CanControl())
        GTEST_SKIP() << "the server cannot be stopped from here";
    TempDir dir;
    JabberJobCommandLine(dir, "backjob");
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    transmitter.SetMechanism(new ipm_JabberMechanism);
    TaskThread task;
    ipm_test::TimedReporter host;
    {
        Monitor monitor(monitorName, monitorResource);
        ASSERT_TRUE(Eventually([&] { return transmitter.IsMechanismReady(); }, 15000));
        host.ReportRange(1, 2);
        ASSERT_NE(monitor.NextReport(), nullptr);
        ASSERT_NE(monitor.NextReport(), nullptr);
    }
    {
        ServerPause pause;
        for (int n = 3; n <= 8; ++n) {
            host.Report(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(Eventually([&] { return !transmitter.IsMechanismReady(); }))
            << "the job notices that the server has gone";
        EXPECT_FALSE(transmitter.IsFinished()) << "and goes on";
    }
    // The accounts went with the server: the job registers again when it comes back.
    Monitor monitor(monitorName, monitorResource);
    ASSERT_TRUE(Eventually([&] { return transmitter.IsMechanismReady(); }, 90000))
        << "the job did not come back";
    host.ReportRange(9, 10);
    std::vector<std::string> received;
    while (received.empty() || received.back().find(">r10<") == std::string::npos) {
        const std::string payload = PayloadOf(monitor.NextReport(15000));
        ASSERT_FALSE(payload.empty()) << "missing reports after the restart";
        received.push_back(payload);
    }
    EXPECT_LT(host.LongestMilliseconds(), 500.0) << "the host never waits for the server";

    // Whatever reached the monitor came in the order made and once, a notice ahead of the
    // reports the job kept while the server was away.
    const std::vector<std::string> logged =
        ipm_test::Lines(ipm_test::ReadFile(dir.File("backjob.ipm")));
    ASSERT_EQ(logged.size(), 10u);
    for (std::size_t i = 0; i < logged.size(); ++i)
        EXPECT_NE(logged[i].find(">r" + std::to_string(i + 1) + "<"), std::string::npos) << i;
    std::size_t next = 0;
    for (const std::string& payload : received) {
        if (payload.rfind("<Notice>", 0) == 0) {
            EXPECT_EQ(next, 0u) << "the notice comes first";
            continue;
        }
        while (next < logged.size() && CanonicalText(logged[next]) != payload)
            ++next;
        ASSERT_LT(next, logged.size()) << "out of order or twice: " << payload;
        ++next;
    }
    if (received.size() > 2) {
        EXPECT_EQ(received.front().rfind("<Notice>", 0), 0u) << received.front();
    }
    task.Stop();
}

// Binds the server's port of 127.0.0.1 although connections the stopped server ended may linger.
csp_TcpSocket ListenOnServerPort() {
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReuseAddress(true);
    listener.bind(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), ServerPort()));
    listener.listen(4);
    return listener;
}

TEST_F(JabberTransport, AServerThatNeverAnswersHoldsTheLogInForTenSecondsAndFailsIt) {
    if (!PrivateServer::CanControl())
        GTEST_SKIP() << "the server cannot be stopped from here";
    ServerPause pause;
    csp_TcpSocket listener = ListenOnServerPort();
    ipm_test::SetCommandLine({"-msgserver", "127.0.0.1:" + std::to_string(ServerPort())});
    ipm_JabberMechanism mechanism;
    ipm_test::CapturedWarnings warnings;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mechanism.Initialize()) << "a log-in without an answer let the job in";
    const auto waited = std::chrono::steady_clock::now() - start;
    // Each of the server's steps gets 10 s; this one never takes its first.
    EXPECT_GE(waited, std::chrono::seconds(10));
    EXPECT_LT(waited, std::chrono::seconds(20));
    EXPECT_EQ(std::string(mechanism.GetFailureCause().c_str()),
              "cannot log in as \"" + std::string(ipm_JabberMechanism::Account().c_str()) +
                  "\": the server did not send its stream header within 10 s");
    EXPECT_EQ(warnings.Text(), "") << "the message task's line about delivery tells it";
}

TEST_F(JabberTransport, AServerThatEndsTheConnectionMakesTransmitRaiseAndLeavesNothingBehind) {
    if (!PrivateServer::CanControl())
        GTEST_SKIP() << "the server cannot be stopped from here";
    ServerPause pause;
    for (const bool reset : {true, false}) {
        csp_TcpSocket listener = ListenOnServerPort();
        std::atomic<bool> loggedIn(false);
        std::thread peer([&] {
            csp_TcpSocket connection(listener.acceptConnection());
            // Opens its stream (of a server older than stream features), answers the
            // registration and the log-in, then ends the connection.
            const std::string header = "<?xml version='1.0'?><stream:stream "
                                       "xmlns:stream='http://etherx.jabber.org/streams' "
                                       "xmlns='jabber:client' from='127.0.0.1' id='1'>";
            connection.write(header.data(), int(header.size()));
            std::string received;
            int answered = 0;
            char buffer[2000];
            while (answered < 2 &&
                   wsa::waitUntilReadable(connection.getDescriptor(), 5000000) == 1) {
                const int count = connection.read(buffer, sizeof buffer);
                if (count <= 0)
                    break;
                received.append(buffer, std::size_t(count));
                for (std::size_t at; (at = received.find("</iq>")) != std::string::npos;) {
                    received.erase(0, at + 5);
                    const std::string answer =
                        "<iq type='result' id='jcl" + std::to_string(answered + 1) + "'/>";
                    connection.write(answer.data(), int(answer.size()));
                    ++answered;
                }
            }
            Eventually([&] { return loggedIn.load(); });
            if (reset)
                connection.setLinger(true, 0);
            connection.close();
        });
        {
            ipm_test::SetCommandLine({"-msgserver", "127.0.0.1:" + std::to_string(ServerPort())});
            ipm_JabberMechanism mechanism;
            bool initialized = false;
            try {
                initialized = mechanism.Initialize();
            } catch (...) {
            }
            loggedIn = true;
            peer.join();
            ASSERT_TRUE(initialized);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            bool raised = false;
            for (int i = 0; i < 3 && !raised; ++i) {
                try {
                    mechanism.Transmit("<Status></Status>\n");
                } catch (...) {
                    raised = true;
                }
            }
            EXPECT_TRUE(raised) << (reset ? "reset" : "closed");
            EXPECT_ANY_THROW(mechanism.Poll()) << "the task must see the failure when it polls";
        } // the destructor's disconnect meets a connection that has gone
    }
}

} // namespace
