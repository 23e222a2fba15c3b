#include "ipm_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "base/utl_HostName.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_Warning.h"
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

int presencesSeen = 0;

void CountPresence(jcl_Connection&, jcl_Entity&) {
    ++presencesSeen;
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
        // Without the monitor's kill, the script ends with its second presence.
        presencesSeen = 0;
        connection.SetPresenceHandler(CountPresence);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        for (int k = 0; k < 20 && !eli_getkillsig() && presencesSeen < 2; ++k)
            connection.Receive(100);
        EXPECT_EQ(eli_getkillsig(), monitorSends);
        connection.Disconnect();
    }
    eli_resetkillsig();
}

// How a server older than stream features answers the registration and the log-in, and
// what the job makes of it.
struct LogInCase {
    const char* name;
    std::string registrationAnswer;
    std::string logInAnswer;
    bool initialized;
    std::string cause; // why Initialize answered false, for the task's line about delivery
};

std::string StanzaError(const char* id, int code, const char* type, const char* condition) {
    return std::string("<iq type='error' id='") + id + "'><error code='" + std::to_string(code) +
           "' type='" + type + "'><" + condition +
           " xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>";
}

TEST(JabberMechanism, OnlyARefusedLogInFailsInitializeAndItsCauseSaysWhy) {
    const std::string header =
        "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
        "xmlns='jabber:client' from='127.0.0.1' id='s1'>";
    const std::string registered = "<iq type='result' id='jcl1'/>";
    const std::string loggedIn = "<iq type='result' id='jcl2'/>";
    const std::string account = ipm_JabberMechanism::Account().c_str();
    const std::string inClear = "offers no encryption: reports cross the network in clear, and "
                                "so did the password (IPM_JABBER_TLS=required refuses such a "
                                "server)";
    const LogInCase cases[] = {
        {"a new account", registered, loggedIn, true, ""},
        {"an account that exists", StanzaError("jcl1", 409, "cancel", "conflict"), loggedIn, true,
         ""},
        {"registration closed", StanzaError("jcl1", 405, "cancel", "not-allowed"), loggedIn, true,
         ""},
        {"a wrong password", StanzaError("jcl1", 409, "cancel", "conflict"),
         StanzaError("jcl2", 401, "auth", "not-authorized"), false,
         "cannot log in as \"" + account +
             "\": wrong user or password (IPM_JABBER_USER and IPM_JABBER_PASSWORD name the "
             "account)"},
        {"a log-in refused for another reason", registered,
         StanzaError("jcl2", 409, "cancel", "conflict"), false,
         "cannot log in as \"" + account + "\": the server refused the log-in (conflict)"},
    };
    const std::string farewell = "<presence to=\"monitor@127.0.0.1/console\" "
                                 "type=\"unavailable\"></presence>\n";
    const std::string footer = "</stream:stream>\n";
    for (const LogInCase& c : cases) {
        CapturedWarnings warnings;
        ipm_JabberMechanism mechanism;
        mechanism.SetJobName("beam");
        std::string expected;
        // A job retries a refused log-in; the message task says so, once per outage.
        for (int attempt = 0; attempt < (c.initialized ? 1 : 3); ++attempt) {
            ScriptedServer server({{"xmlns=\"jabber:client\">", header},
                                   {"jabber:iq:register", c.registrationAnswer},
                                   {"jabber:iq:auth", c.logInAnswer}});
            const std::string where = "127.0.0.1:" + std::to_string(server.Port());
            SetCommandLine({"-msgserver", where, "-listener_name", "monitor", "-listener_resource",
                            "console"});
            EXPECT_EQ(mechanism.Initialize(), c.initialized) << c.name;
            EXPECT_EQ(std::string(mechanism.GetFailureCause().c_str()), c.cause) << c.name;
            // Logged in without TLS, the job says once that the password crossed in clear.
            if (attempt == 0 && c.initialized)
                expected =
                    "QORKelCommunications: the Jabber server " + where + " " + inClear + "\n";
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
        EXPECT_EQ(warnings.Text(), expected) << c.name;
    }
}

TEST(JabberMechanism, AServerThatCannotBeReachedIsNamedWithItsPortAndTheCause) {
    int unusedPort;
    {
        csp_TcpSocket probe(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), 0));
        unusedPort = probe.name().getPort();
    }
    CapturedWarnings warnings;
    ipm_JabberMechanism mechanism;
    SetCommandLine({"-msgserver", "127.0.0.1:" + std::to_string(unusedPort), "-listener_name",
                    "monitor", "-listener_resource", "console"});
    EXPECT_FALSE(mechanism.Initialize());
    EXPECT_EQ(std::string(mechanism.GetFailureCause().c_str()),
              "connection refused: nothing listens on that port");
    EXPECT_EQ(std::string(mechanism.Destination().c_str()),
              "the monitor monitor@127.0.0.1/console through the Jabber server 127.0.0.1:" +
                  std::to_string(unusedPort));
    EXPECT_EQ(warnings.Text(), "") << "the message task's line about delivery tells it";
}

// Initialize tells a failure one way: false, with its cause for the task's line about delivery.
TEST(JabberMechanism, AServerThatGoesAwayAtAnyStepFailsInitializeWithACauseAndRaisesNothing) {
    const std::string header =
        "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
        "xmlns='jabber:client' from='127.0.0.1' id='s1'>";
    const ScriptedServer::Step greeted{"xmlns=\"jabber:client\">", header};
    const ScriptedServer::Step registered{"jabber:iq:register", "<iq type='result' id='jcl1'/>"};
    const ScriptedServer::Step garbled{"xmlns=\"jabber:client\">", header + "<<"};
    struct Case {
        const char* name;
        std::vector<ScriptedServer::Step> steps;
        ScriptedServer::Ending ending;
    };
    const Case cases[] = {
        {"closed before the stream", {}, ScriptedServer::closeAtOnce},
        {"reset before the stream", {}, ScriptedServer::resetAtOnce},
        {"closed after the stream header", {greeted}, ScriptedServer::closeAtOnce},
        {"reset after the stream header", {greeted}, ScriptedServer::resetAtOnce},
        {"reset after the registration", {greeted, registered}, ScriptedServer::resetAtOnce},
        {"what cannot be read as XML", {garbled}, ScriptedServer::resetAtOnce},
    };
    const std::string refused = "cannot log in as " + ipm_shown(ipm_JabberMechanism::Account());
    for (const Case& c : cases) {
        ScriptedServer server(c.steps, c.ending);
        SetCommandLine({"-msgserver", "127.0.0.1:" + std::to_string(server.Port()),
                        "-listener_name", "monitor", "-listener_resource", "console"});
        ipm_JabberMechanism mechanism;
        bool initialized = true;
        EXPECT_NO_THROW(initialized = mechanism.Initialize()) << c.name;
        EXPECT_FALSE(initialized) << c.name;
        EXPECT_EQ(std::string(mechanism.GetFailureCause().c_str()).rfind(refused, 0), 0u)
            << c.name << ": " << mechanism.GetFailureCause().c_str();
    }
}

TEST(JabberMechanism, ThePasswordsDefaultServesOnlyAServerOnThisMachine) {
    const std::string credential = ipm_JabberMechanism::Credential().c_str();
    const struct {
        const char* value;
        bool onLoopback;
        bool given;
        std::string password;
    } cases[] = {
        {nullptr, true, true, credential},
        {"", true, true, credential},
        {nullptr, false, false, ""},
        {"", false, false, ""},
        {"s3cret & <more>", true, true, "s3cret & <more>"},
        {"s3cret & <more>", false, true, "s3cret & <more>"},
    };
    for (const auto& c : cases) {
        ScopedEnv password("IPM_JABBER_PASSWORD", c.value);
        cow_String given;
        EXPECT_EQ(ipm_JabberMechanism::Password(c.onLoopback, given), c.given)
            << (c.value ? c.value : "(unset)") << " " << c.onLoopback;
        EXPECT_EQ(std::string(given.c_str()), c.password);
    }
    std::string lowerCredential = credential;
    for (char& c : lowerCredential)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const struct {
        const char* given;
        std::string account;
    } accounts[] = {{"", lowerCredential}, {"job", "job"}, {"Job-7", "job-7"}};
    for (const auto& c : accounts) {
        ScopedEnv account("IPM_JABBER_USER", c.given);
        EXPECT_EQ(std::string(ipm_JabberMechanism::Account().c_str()), c.account);
    }
}

TEST(JabberMechanism, TheSecurityPolicyTakesOnlyValuesItKnows) {
    const std::string pin =
        "sha256:40:D0:BC:33:31:29:89:3E:E5:9D:52:A1:E6:20:1B:01:DF:F1:1E:67:6E:F7:15:AA:F4:3D:"
        "5E:91:7E:21:3E:73";
    const struct {
        const char* tls;
        const char* ca;
        const char* pin;
        bool valid;
        jcl_LogInSettings::Encryption encryption;
        std::string problem;
    } cases[] = {
        {nullptr, nullptr, nullptr, true, jcl_LogInSettings::encryptionWhenOffered, ""},
        {"optional", "", "", true, jcl_LogInSettings::encryptionWhenOffered, ""},
        {"required", nullptr, pin.c_str(), true, jcl_LogInSettings::encryptionRequired, ""},
        {"off", nullptr, nullptr, true, jcl_LogInSettings::encryptionOff, ""},
        {"Required", nullptr, nullptr, false, jcl_LogInSettings::encryptionWhenOffered,
         "IPM_JABBER_TLS=\"Required\" is not required, optional or off"},
        {"yes", nullptr, nullptr, false, jcl_LogInSettings::encryptionWhenOffered,
         "IPM_JABBER_TLS=\"yes\" is not required, optional or off"},
        {nullptr, "/no/such/ca.pem", nullptr, false, jcl_LogInSettings::encryptionWhenOffered,
         "IPM_JABBER_CA names \"/no/such/ca.pem\", which cannot be read"},
        {nullptr, nullptr, "40D0BC33", false, jcl_LogInSettings::encryptionWhenOffered,
         "IPM_JABBER_PIN=\"40D0BC33\" is not sha256: followed by the 64 hex digits of a SHA-256 "
         "fingerprint"},
    };
    for (const auto& c : cases) {
        ScopedEnv tls("IPM_JABBER_TLS", c.tls);
        ScopedEnv ca("IPM_JABBER_CA", c.ca);
        ScopedEnv pinned("IPM_JABBER_PIN", c.pin);
        jcl_LogInSettings settings;
        std::string problem;
        EXPECT_EQ(ipm_JabberMechanism::ReadSecurityPolicy(settings, problem), c.valid) << problem;
        EXPECT_EQ(problem, c.problem);
        if (c.valid) {
            EXPECT_EQ(settings.encryption, c.encryption);
            EXPECT_EQ(settings.pinnedDigest.size(), c.pin && *c.pin ? 32u : 0u);
        }
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
