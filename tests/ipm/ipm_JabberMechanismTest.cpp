#include "ipm_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_JabberMechanism.h"
#include "jcl/ScriptedServer.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_Message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace ipm_test;

// Tests that need no server; those against a real one are in the end-to-end program.
namespace {

struct KillCase {
    const char* received;
    bool kills;
};

TEST(JabberMechanism, OnlyTheMonitorsAccountCanKillAndOnlyThroughTheXContent) {
    const KillCase cases[] = {
        {"<message from='monitor@localhost/console' type='chat'><x xmlns='zorvik:msg'>Kill</x>"
         "</message>",
         true},
        {"<message from='monitor@localhost/other'><x xmlns='zorvik:msg'>please Kill the job</x>"
         "</message>",
         true},
        {"<message from='monitor@localhost'><x xmlns='zorvik:msg'><cmd>Kill</cmd></x></message>",
         true},
        {"<message from='Monitor@LocalHost/Console'><x xmlns='zorvik:msg'>Kill</x></message>",
         true},
        // the command in the wrong place, or not the command
        {"<message from='monitor@localhost/console'><body>Kill</body></message>", false},
        {"<message from='monitor@localhost/console'><subject>Kill</subject>"
         "<x xmlns='zorvik:msg'>go</x></message>",
         false},
        {"<message from='monitor@localhost/console'><x xmlns='zorvik:msg'>kill</x></message>",
         false},
        // anyone else
        {"<message from='stranger@localhost/console'><x xmlns='zorvik:msg'>Kill</x></message>",
         false},
        {"<message from='monitor@elsewhere/console'><x xmlns='zorvik:msg'>Kill</x></message>",
         false},
        {"<message from='monitor@localhost.evil/x'><x xmlns='zorvik:msg'>Kill</x></message>",
         false},
        {"<message from='xmonitor@localhost'><x xmlns='zorvik:msg'>Kill</x></message>", false},
        {"<message from='localhost'><x xmlns='zorvik:msg'>Kill</x></message>", false},
        {"<message><x xmlns='zorvik:msg'>Kill</x></message>", false},
        {"<message from='Kill@localhost/Kill' type='Kill'/>", false},
    };
    const cow_String monitor("monitor@localhost");
    jcl_Connection connection;
    for (const KillCase& c : cases) {
        const jcl_Message message(
            jcl_DocumentParser::Parse(c.received, int(std::strlen(c.received))));
        EXPECT_EQ(ipm_JabberMechanism::IsKillCommand(message, monitor), c.kills) << c.received;

        eli_resetkillsig();
        jcl_Message handled(message);
        connection.SetHandlerContext(const_cast<cow_String*>(&monitor));
        ipm_JabberMechanism::HandleKill(connection, handled);
        EXPECT_EQ(eli_getkillsig(), c.kills) << c.received;

        eli_resetkillsig();
        connection.SetHandlerContext(nullptr);
        ipm_JabberMechanism::HandleKill(connection, handled);
        EXPECT_FALSE(eli_getkillsig()) << "no monitor known: " << c.received;
    }
    eli_resetkillsig();
}

// Without its listener_name the job knows no monitor, and the server itself is none.
TEST(JabberMechanism, WithoutAMonitorNameNobodyCanKill) {
    const char* received = "<message from='localhost'><x xmlns='zorvik:msg'>Kill</x></message>";
    const jcl_Message message(jcl_DocumentParser::Parse(received, int(std::strlen(received))));
    EXPECT_FALSE(ipm_JabberMechanism::IsKillCommand(message, "@localhost"));
}

TEST(JabberMechanism, AKillThatArrivesTogetherWithOtherStanzasIsHandled) {
    const std::string header =
        "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
        "xmlns='jabber:client' from='localhost' id='s1' version='1.0'>";
    const std::string stranger =
        "<message from='stranger@localhost/x'><x xmlns='zorvik:msg'>Kill</x></message>";
    const std::string kill =
        "<message from='monitor@localhost/console'><x xmlns='zorvik:msg'>Kill</x></message>";
    const std::string presence = "<presence from='monitor@localhost/console'/>";
    for (const bool monitorSends : {false, true}) {
        eli_resetkillsig();
        ScriptedServer server(
            {{"jabber:client", header + presence + stranger + (monitorSends ? kill : presence)}});
        jcl_Connection connection;
        const cow_String monitor("monitor@localhost");
        connection.SetHandlerContext(const_cast<cow_String*>(&monitor));
        connection.SetMessageHandler(ipm_JabberMechanism::HandleKill);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        for (int k = 0; k < 20 && !eli_getkillsig(); ++k)
            connection.Receive(100);
        EXPECT_EQ(eli_getkillsig(), monitorSends);
        connection.Disconnect();
    }
    eli_resetkillsig();
}

// How a server answers the registration and the log-in, and what the job makes of it.
struct LogInCase {
    const char* name;
    std::string registrationAnswer;
    std::string logInAnswer;
    bool initialized;
    std::string cause; // why Initialize answered false, for the task's line about delivery
};

std::string StanzaError(int code, const char* type, const char* condition) {
    return "<iq type='error'><error code='" + std::to_string(code) + "' type='" + type + "'><" +
           condition + " xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>";
}

TEST(JabberMechanism, OnlyARefusedLogInFailsInitializeAndItsCauseNamesThePassword) {
    const std::string header =
        "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
        "xmlns='jabber:client' from='127.0.0.1' id='s1' version='1.0'>";
    const std::string result = "<iq type='result'/>";
    const std::string account = ipm_JabberMechanism::Credential().c_str();
    const LogInCase cases[] = {
        {"a new account", result, result, true, ""},
        {"an account that exists", StanzaError(409, "cancel", "conflict"), result, true, ""},
        {"registration closed", StanzaError(405, "cancel", "not-allowed"), result, true, ""},
        {"a wrong password", StanzaError(409, "cancel", "conflict"),
         StanzaError(401, "auth", "not-authorized"), false,
         "the server refused the log-in as \"" + account +
             "\"; check that IPM_JABBER_PASSWORD holds that account's password, or is unset or "
             "empty where the password is the account's name"},
    };
    const std::string farewell = "<presence to=\"monitor@127.0.0.1/console\" "
                                 "type=\"unavailable\"></presence>\n";
    const std::string footer = "</stream:stream>\n";
    for (const LogInCase& c : cases) {
        CapturedWarnings warnings;
        ipm_JabberMechanism mechanism;
        mechanism.SetJobName("beam");
        // A job retries a refused log-in; the message task says so, once per outage.
        for (int attempt = 0; attempt < (c.initialized ? 1 : 3); ++attempt) {
            ScriptedServer server({{"xmlns=\"jabber:client\">", header},
                                   {"jabber:iq:register", c.registrationAnswer},
                                   {"jabber:iq:auth", c.logInAnswer}});
            SetCommandLine({"-msgserver", "127.0.0.1:" + std::to_string(server.Port()),
                            "-listener_name", "monitor", "-listener_resource", "console"});
            EXPECT_EQ(mechanism.Initialize(), c.initialized) << c.name;
            EXPECT_EQ(std::string(mechanism.GetFailureCause().c_str()), c.cause) << c.name;
            if (c.initialized)
                mechanism.Close();
            const std::string received = server.Finish();
            const std::size_t logIn = received.find("jabber:iq:auth");
            ASSERT_NE(logIn, std::string::npos) << c.name;
            const std::string afterLogIn = received.substr(received.find("</iq>\n", logIn) + 6);
            // Logged in, the monitor hears of the job; refused, the stream just ends.
            EXPECT_EQ(afterLogIn, c.initialized
                                      ? "<presence to=\"monitor@127.0.0.1/console\"></presence>\n" +
                                            farewell + footer
                                      : footer)
                << c.name;
        }
        EXPECT_EQ(warnings.Text(), "") << c.name;
    }
}

TEST(JabberMechanism, PasswordComesFromTheEnvironmentWhenGiven) {
    const std::string credential = ipm_JabberMechanism::Credential().c_str();
    const struct {
        const char* value;
        std::string password;
    } cases[] = {
        {nullptr, credential},
        {"", credential},
        {"s3cret & <more>", "s3cret & <more>"},
    };
    for (const auto& c : cases) {
        ScopedEnv password("IPM_JABBER_PASSWORD", c.value);
        EXPECT_EQ(std::string(ipm_JabberMechanism::Password().c_str()), c.password)
            << (c.value ? c.value : "(unset)");
        EXPECT_EQ(std::string(ipm_JabberMechanism::Credential().c_str()), credential);
    }
}

TEST(JabberMechanism, UnconnectedPollFindsNothingAndDestructionIsQuiet) {
    eli_resetkillsig();
    {
        ipm_JabberMechanism mechanism;
        for (int i = 0; i < 3; ++i)
            EXPECT_NO_THROW(mechanism.Poll());
        EXPECT_FALSE(eli_getkillsig());
    }
    ipm_JabberMechanism closed;
    EXPECT_NO_THROW(closed.Close());
}

TEST(JabberMechanism, TransmitWithoutAConnectionRaisesInsteadOfLosingTheReport) {
    ipm_JabberMechanism mechanism;
    EXPECT_ANY_THROW(mechanism.Transmit("<R></R>\n"));
}

TEST(JabberMechanism, CredentialIsTheHostNameAndTheSameSixCharactersEveryTime) {
    const std::string host = utl_getHostName().c_str();
    const std::string credential = ipm_JabberMechanism::Credential().c_str();
    ASSERT_EQ(credential.size(), host.size() + 6);
    EXPECT_EQ(credential.substr(0, host.size()), host);
    EXPECT_EQ(credential, std::string(ipm_JabberMechanism::Credential().c_str()));
}

TEST(JabberMechanism, EncodesTheJabberVariantWithItsJobName) {
    DestroyTransmitter();
    SetCommandLine({});
    ipm_JabberMechanism mechanism;
    mechanism.SetJobName("beam");
    const char* texts[] = {"<b>x</b>", "a<b", "1e40"};
    const double reals[] = {1e40};
    EXPECT_EQ(
        std::string(
            mechanism.Encode("Step", "message=%s stepName=%s v=%r", nullptr, reals, texts, false)
                .c_str()),
        "<Step><message type=\"string\"><b>x</b></message>"
        "<stepName type=\"string\">a&lt;b</stepName><v type=\"float\">" +
            std::string(cow_String(1e40).c_str()) +
            "</v><phase type=\"symconst\"></phase>"
            "<jobName type=\"string\">beam</jobName></Step>\n");
    DestroyTransmitter();
}

} // namespace
