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
    return Bare(std::string(ipm_JabberMechanism::Credential().c_str()) + "@" + serverName);
}

// The job's command line for reporting over the private server into dir.
void JabberJobCommandLine(const TempDir& dir, const std::string& job) {
    ipm_test::SetCommandLine({"-job", job, "-message", "on", "-indir", dir.Path(), "-msgserver",
                              serverName, "-listener_name", monitorName, "-listener_resource",
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
    ipm_test::SetCommandLine({"-msgserver", serverName});
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
    ipm_test::SetCommandLine({"-msgserver", serverName, "-listener_name", monitorName,
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

TEST_F(JabberTransport, AStreamTheServerEndsFailsTheTransportAndTheFileKeepsEveryReport) {
    Monitor monitor(monitorName, monitorResource);
    TempDir dir;
    JabberJobCommandLine(dir, "replaced");
    ipm_MessageTransmit::Instance().SetMechanism(new ipm_JabberMechanism);
    TaskThread task;
    SendReport("Status", "count=%i message=%s", "before");
    ASSERT_NE(monitor.NextReport(), nullptr);

    // A second log-in with the job's own resource makes the server end the job's stream
    // with a conflict.
    jcl_Connection usurper;
    usurper.Connect(serverName, serverPort);
    usurper.Authorize(ipm_JabberMechanism::Credential(), ipm_JabberMechanism::Password(),
                      "replaced");
    EXPECT_TRUE(Eventually([] { return ipm_MessageTransmit::Instance().IsFinished(); }))
        << "the job did not notice that its stream was ended";
    EXPECT_TRUE(ipm_MessageTransmit::Instance().IsDisabled());
    task.Stop();
    SendReport("Status", "count=%i message=%s", "after");
    EXPECT_EQ(ipm_test::Lines(ipm_test::ReadFile(dir.File("replaced.ipm"))).size(), 2u);
    usurper.Disconnect();
}

// Everything below needs port 5222 without the server, or the server gone.

TEST_F(JabberTransport, TheServerGoingAwayStopsTransmissionButTheFileKeepsEveryReport) {
    if (!PrivateServer::CanControl())
        GTEST_SKIP() << "the server cannot be stopped from here";
    TempDir dir;
    JabberJobCommandLine(dir, "lostjob");
    ipm_MessageTransmit::Instance().SetMechanism(new ipm_JabberMechanism);
    TaskThread task;
    {
        Monitor monitor(monitorName, monitorResource);
        SendReport("Status", "count=%i message=%s", "before");
        SendReport("Status", "count=%i message=%s", "still delivered");
        ASSERT_NE(monitor.NextReport(), nullptr);
        ASSERT_NE(monitor.NextReport(), nullptr);
    }

    ServerPause pause;
    for (int i = 0; i < 6; ++i) {
        SendReport("Status", "count=%i message=%s", "after the server went");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(Eventually([] { return ipm_MessageTransmit::Instance().IsFinished(); }))
        << "the task should end on the lost connection";
    EXPECT_TRUE(ipm_MessageTransmit::Instance().IsDisabled());
    task.Stop();
    SendReport("Status", "count=%i message=%s", "after transmission stopped");
    EXPECT_EQ(ipm_test::Lines(ipm_test::ReadFile(dir.File("lostjob.ipm"))).size(), 9u);
    // Destroys the transport, whose disconnect meets no server.
    ipm_test::DestroyTransmitter();
}

// Binds 127.0.0.1:5222 although connections the stopped server ended may linger.
csp_TcpSocket ListenOnServerPort() {
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReuseAddress(true);
    listener.bind(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), serverPort));
    listener.listen(4);
    return listener;
}

TEST_F(JabberTransport, AServerThatNeverAnswersHoldsTheLogInForTenSecondsPerRequest) {
    if (!PrivateServer::CanControl())
        GTEST_SKIP() << "the server cannot be stopped from here";
    ServerPause pause;
    csp_TcpSocket listener = ListenOnServerPort();
    ipm_test::SetCommandLine({"-msgserver", "127.0.0.1"});
    ipm_JabberMechanism mechanism;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(mechanism.Initialize());
    const auto waited = std::chrono::steady_clock::now() - start;
    // Registration and log-in wait 10 s each, the final receive 1 s.
    EXPECT_GE(waited, std::chrono::seconds(20));
    EXPECT_LT(waited, std::chrono::seconds(30));
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
            // Opens its stream, answers the registration and the log-in, then ends the
            // connection.
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
                    const std::string answer = "<iq type='result'/>";
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
            ipm_test::SetCommandLine({"-msgserver", "127.0.0.1"});
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
