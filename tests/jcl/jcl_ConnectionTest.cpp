#include "jcl/jcl_Connection.h"

#include "ScriptedServer.h"
#include "csp/impl/csp_NetworkEx.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "windows/UnderWine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string clientHeader = "<?xml version=\"1.0\"?>\n<stream:stream "
                                 "xmlns:stream=\"http://etherx.jabber.org/streams\" "
                                 "to=\"127.0.0.1\" version=\"1.0\" xmlns=\"jabber:client\">\n";
const std::string serverHeader =
    "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns='jabber:client' from='127.0.0.1' id='s1' version='1.0'><stream:features>"
    "<register xmlns='http://jabber.org/features/iq-register'/></stream:features>";
const std::string footer = "</stream:stream>\n";

// What the handlers saw, in order: "kind|field|field...".
std::vector<std::string> seen;

void RecordMessage(jcl_Connection&, jcl_Entity& stanza) {
    jcl_Message& message = static_cast<jcl_Message&>(stanza);
    seen.push_back("message|" + std::string(message.from.c_str()) + "|" + message.body.c_str() +
                   "|" + message.GetX().c_str());
}

void RecordPresence(jcl_Connection&, jcl_Entity& stanza) {
    jcl_Presence& presence = static_cast<jcl_Presence&>(stanza);
    seen.push_back("presence|" + std::string(presence.type.c_str()) + "|" +
                   std::to_string(presence.priority));
}

void RecordIQ(jcl_Connection&, jcl_Entity& stanza) {
    jcl_IQ& iq = static_cast<jcl_IQ&>(stanza);
    seen.push_back("iq|" + std::string(iq.type.c_str()) + "|" + iq.id.c_str() + "|" +
                   std::to_string(iq.errorCode));
}

class jcl_ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        connection.SetMessageHandler(RecordMessage);
        connection.SetPresenceHandler(RecordPresence);
        connection.SetIQHandler(RecordIQ);
        connection.SetAnswerTimeout(2000);
    }
    // Connects and takes the server's stream header off the wire.
    void Open(ScriptedServer& server) {
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        connection.Receive(2000);
    }
    jcl_Connection connection;
};

TEST_F(jcl_ConnectionTest, ConnectWritesTheHeaderAndDisconnectTheFooter) {
    ScriptedServer server({{clientHeader, serverHeader}});
    EXPECT_FALSE(connection.IsConnected());
    Open(server);
    EXPECT_TRUE(connection.IsConnected());
    EXPECT_STREQ(connection.GetHost().c_str(), "127.0.0.1");
    EXPECT_TRUE(seen.empty()) << "the server's stream header is no stanza";
    EXPECT_TRUE(connection.Disconnect());
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_TRUE(connection.Disconnect()) << "a second Disconnect has nothing to close";
    EXPECT_EQ(server.Finish(), clientHeader + footer);
}

TEST_F(jcl_ConnectionTest, RegisterAndAuthorizeSendTheirIqsAndDispatchTheAnswers) {
    const std::string registration =
        "<iq to=\"127.0.0.1\" type=\"set\" id=\"jcl1\"><query xmlns=\"jabber:iq:register\">"
        "<username>host123abc</username><password>pw</password><name>host123abc</name>"
        "<email>dummy</email></query></iq>\n";
    const std::string login =
        "<iq to=\"127.0.0.1\" type=\"set\" id=\"jcl2\"><query xmlns=\"jabber:iq:auth\">"
        "<username>host123abc</username><password>pw</password>"
        "<resource>job1</resource></query></iq>\n";
    ScriptedServer server({{clientHeader, serverHeader},
                           {registration, "<iq type='error' id='jcl1'><error code='409'>conflict"
                                          "</error></iq>"},
                           {login, "<iq type='result' id='jcl2'/>"}});
    Open(server);
    EXPECT_FALSE(connection.Register("host123abc", "host123abc", "pw")) << "the account exists";
    EXPECT_EQ(connection.GetLastAnswer(), jcl_Connection::answerError);
    EXPECT_TRUE(connection.Authorize("host123abc", "pw", "job1"));
    EXPECT_EQ(connection.GetLastAnswer(), jcl_Connection::answerResult);
    connection.Disconnect();
    EXPECT_EQ(server.Finish(), clientHeader + registration + login + footer);
    EXPECT_EQ(seen, (std::vector<std::string>{"iq|error|jcl1|409", "iq|result|jcl2|0"}));
}

TEST_F(jcl_ConnectionTest, RegisterWithEmptyValuesSendsOnlyTheEmail) {
    const std::string registration = "<iq to=\"127.0.0.1\" type=\"set\" id=\"jcl1\"><query "
                                     "xmlns=\"jabber:iq:register\"><email>dummy</email></query>"
                                     "</iq>\n";
    ScriptedServer server(
        {{clientHeader, serverHeader}, {registration, "<iq type='result' id='jcl1'/>"}});
    Open(server);
    connection.Register("", "", "");
    connection.Disconnect();
    EXPECT_TRUE(server.ScriptCompleted());
    EXPECT_EQ(seen, (std::vector<std::string>{"iq|result|jcl1|0"}));
}

TEST_F(jcl_ConnectionTest, RegisterAndAuthorizeGiveUpOnAServerThatNeverAnswers) {
    ScriptedServer server({{clientHeader, ""}});
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    connection.SetAnswerTimeout(100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(connection.Register("n", "u", "p"));
    EXPECT_EQ(connection.GetLastAnswer(), jcl_Connection::answerNone);
    EXPECT_FALSE(connection.Authorize("u", "p", "r")) << "no answer lets nobody in";
    EXPECT_EQ(connection.GetLastAnswer(), jcl_Connection::answerNone);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(jcl_Connection::defaultAnswerTimeout, 10000);
    connection.Disconnect();
}

// What a server may send after a log-in request, and what Authorize makes of it.
struct LogInAnswerCase {
    const char* name;
    std::string serverSends;
    bool loggedIn;
    jcl_Connection::Answer answer;
};

TEST_F(jcl_ConnectionTest, AuthorizeIsTrueOnlyWhenTheServerAnswersWithAResult) {
    const std::vector<LogInAnswerCase> cases = {
        {"result", "<iq type='result' id='jcl1'/>", true, jcl_Connection::answerResult},
        {"refused",
         "<iq type='error' id='jcl1'><error code='401' type='auth'><not-authorized "
         "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>",
         false, jcl_Connection::answerError},
        {"other stanzas, then the result",
         "<presence type='probe'/><iq type='get' id='ping'/><message><body>b</body></message>"
         "<iq type='result' id='jcl1'/>",
         true, jcl_Connection::answerResult},
        {"a query, then the refusal", "<iq type='set' id='q'/><iq type='error' id='jcl1'/>", false,
         jcl_Connection::answerError},
        {"the answer to another request", "<iq type='result' id='jcl7'/>", false,
         jcl_Connection::answerNone},
        {"the stream ended", "</stream:stream>", false, jcl_Connection::answerNone},
        {"a stream error",
         "<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>",
         false, jcl_Connection::answerNone},
        {"nothing", "", false, jcl_Connection::answerNone},
    };
    for (const LogInAnswerCase& c : cases) {
        ScriptedServer server({{clientHeader, serverHeader}, {"jabber:iq:auth", c.serverSends}});
        Open(server);
        connection.SetAnswerTimeout(300);
        EXPECT_EQ(connection.Authorize("u", "p", "r"), c.loggedIn) << c.name;
        EXPECT_EQ(connection.GetLastAnswer(), c.answer) << c.name;
        connection.Disconnect();
        server.Finish();
    }
}

TEST_F(jcl_ConnectionTest, RegisterAndAuthorizeWithoutAStreamAreFalse) {
    EXPECT_FALSE(connection.Register("n", "u", "p"));
    EXPECT_FALSE(connection.Authorize("u", "p", "r"));
    EXPECT_EQ(connection.GetLastAnswer(), jcl_Connection::answerNone);
}

// The client says "ping" in a message body; the server answers each ping once.
void Ping(jcl_Connection& connection) {
    jcl_Message ping;
    ping.SetBody("ping");
    EXPECT_TRUE(connection.Send(ping));
}

// Receives until the handlers have seen count stanzas or the stream has ended; a bound
// of a few seconds keeps a broken client from hanging the test.
void ReceiveUntil(jcl_Connection& connection, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < count && connection.IsStreamOpen() &&
           std::chrono::steady_clock::now() < deadline)
        connection.Receive(100);
}

TEST_F(jcl_ConnectionTest, EveryStanzaIsDispatchedWholeHoweverTheReadsCutTheStream) {
    const std::string kill = "<message from='mon@s/r' type='chat'><body>b</body>"
                             "<x xmlns='zorvik:msg'><cmd a='1'>Kill</cmd></x></message>";
    const std::string stanzas = "<presence type='unavailable'><priority>-3</priority></presence>" +
                                kill + "<unknown><message/></unknown>\n  " +
                                "<message><body>cut in half</body></message>" +
                                "<iq type='result' id='last'/>";
    const std::vector<std::string> expected = {
        "presence|unavailable|-3",
        "message|mon@s/r|b|<x xmlns=\"zorvik:msg\"><cmd a=\"1\">Kill</cmd>\n</x>\n",
        "message||cut in half|", "iq|result|last|0"};
    // 0 writes the server's part whole, so that one read holds several stanzas.
    for (int piece : {0, 1, 2, 3, 4, 5, 17}) {
        seen.clear();
        ScriptedServer server({{clientHeader, serverHeader + stanzas}},
                              ScriptedServer::waitForClientClose, piece);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        ReceiveUntil(connection, expected.size());
        EXPECT_EQ(seen, expected) << "piece " << piece;
        EXPECT_TRUE(connection.IsStreamOpen()) << "piece " << piece;
        connection.Disconnect();
        EXPECT_TRUE(server.ScriptCompleted());
    }
}

TEST_F(jcl_ConnectionTest, AStanzaSplitOverTwoReadsIsDispatchedOnceWhole) {
    const std::string ping = "<message><body>ping</body></message>\n";
    ScriptedServer server({{clientHeader, serverHeader + "<message><body>cut in ha"},
                           {ping, "lf</body></message><presence type='probe'/>"}});
    Open(server);
    EXPECT_TRUE(seen.empty()) << "half a stanza is no stanza";
    Ping(connection);
    ReceiveUntil(connection, 2);
    EXPECT_EQ(seen, (std::vector<std::string>{"message||cut in half|", "presence|probe|0"}));
    connection.Disconnect();
}

// How a server may end the stream it sends, and whether a byte of the client's comes
// after that (it must not: neither a stanza nor the footer); the reason the connection
// records for each.
struct EndingCase {
    const char* name;
    std::string serverSends;
    ScriptedServer::Ending ending;
    jcl_Connection::EndReason reason;
    const char* reasonText;
};

TEST_F(jcl_ConnectionTest, AStreamTheServerEndsIsNoticedAndNothingMoreIsWritten) {
    const std::vector<EndingCase> cases = {
        {"stream footer", "<iq type='result' id='1'/></stream:stream>",
         ScriptedServer::waitForClientClose, jcl_Connection::serverEndedStream,
         "the server ended the stream"},
        {"stream error",
         "<iq type='result' id='1'/><stream:error><not-well-formed "
         "xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>",
         ScriptedServer::waitForClientClose, jcl_Connection::streamError,
         "the server ended the stream with an error (not-well-formed)"},
        {"end of the TCP stream", "<iq type='result' id='1'/>", ScriptedServer::closeAtOnce,
         jcl_Connection::serverClosed, "the server closed the connection"},
        {"unreadable input", "<iq type='result' id='1'/><message a='1' a='2'/>",
         ScriptedServer::waitForClientClose, jcl_Connection::unreadableInput,
         "the server sent what cannot be read as XML"},
    };
    for (const EndingCase& c : cases) {
        seen.clear();
        ScriptedServer server({{clientHeader, serverHeader + c.serverSends}}, c.ending);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        EXPECT_TRUE(connection.IsStreamOpen());
        for (int k = 0; k < 20 && connection.IsStreamOpen(); ++k)
            connection.Receive(250);
        EXPECT_FALSE(connection.IsStreamOpen()) << c.name;
        EXPECT_TRUE(connection.HasStreamEnded()) << c.name;
        EXPECT_EQ(connection.GetEndReason(), c.reason) << c.name;
        EXPECT_EQ(connection.GetEndText(), c.reasonText) << c.name;
        EXPECT_EQ(seen, std::vector<std::string>{"iq|result|1|0"}) << c.name;
        EXPECT_TRUE(connection.Send(jcl_Presence())) << c.name;
        EXPECT_EQ(connection.GetEndReason(), c.reason) << c.name << ": the first reason counts";
        EXPECT_NO_THROW(connection.Receive(10)) << c.name;
        EXPECT_TRUE(connection.Disconnect()) << c.name;
        EXPECT_FALSE(connection.HasStreamEnded()) << c.name;
        EXPECT_EQ(server.Finish(), clientHeader) << c.name;
    }
}

TEST_F(jcl_ConnectionTest, ConnectingAgainReadsTheNewStreamFromItsBeginning) {
    // The first server leaves half a stanza and an open element behind; the second
    // stream must be read as a stream of its own.
    const std::vector<std::string> firstEnds = {serverHeader + "<message><body>half",
                                                serverHeader + "</stream:stream>"};
    for (const std::string& first : firstEnds) {
        seen.clear();
        {
            ScriptedServer server({{clientHeader, first}}, ScriptedServer::closeAtOnce);
            Open(server);
            for (int k = 0; k < 20 && connection.IsStreamOpen(); ++k)
                connection.Receive(250);
            EXPECT_TRUE(connection.HasStreamEnded());
        }
        ScriptedServer again(
            {{clientHeader, serverHeader + "<message><body>new</body></message>"}});
        ASSERT_TRUE(connection.Connect("127.0.0.1", again.Port()));
        EXPECT_TRUE(connection.IsStreamOpen());
        ReceiveUntil(connection, 1);
        EXPECT_EQ(seen, std::vector<std::string>{"message||new|"});
        connection.Disconnect();
        EXPECT_EQ(again.Finish(), clientHeader + footer);
    }
}

TEST_F(jcl_ConnectionTest, RegisterWaitsForItsAnswerPastOtherStanzas) {
    const std::string registration = "<query xmlns=\"jabber:iq:register\">";
    const std::string login = "<query xmlns=\"jabber:iq:auth\">";
    ScriptedServer server(
        {{clientHeader, serverHeader},
         {registration, "<presence type='probe'/><iq type='get' id='ping'/>"},
         {"", "<iq type='error' id='jcl1'><error code='409'>conflict</error></iq>", 300},
         {login, "<iq type='result' id='jcl2'/>"}});
    Open(server);
    connection.Register("n", "u", "p");
    EXPECT_EQ(seen,
              (std::vector<std::string>{"presence|probe|0", "iq|get|ping|0", "iq|error|jcl1|409"}));
    connection.Authorize("u", "p", "r");
    EXPECT_EQ(seen.back(), "iq|result|jcl2|0");
    connection.Disconnect();
    EXPECT_TRUE(server.ScriptCompleted());
}

TEST_F(jcl_ConnectionTest, CallerTextsInTheLogInAreEscaped) {
    const std::string login =
        "<iq to=\"127.0.0.1\" type=\"set\" id=\"jcl1\"><query xmlns=\"jabber:iq:auth\">"
        "<username>a&amp;b</username><password>&lt;/password&gt;&quot;&apos;</password>"
        "<resource>a&amp;b&lt;c</resource></query></iq>\n";
    ScriptedServer server({{clientHeader, serverHeader}, {login, "<iq type='result' id='jcl1'/>"}});
    Open(server);
    connection.Authorize("a&b", "</password>\"'", "a&b<c");
    connection.Disconnect();
    EXPECT_EQ(server.Finish(), clientHeader + login + footer);
}

TEST_F(jcl_ConnectionTest, ALargeStanzaReachesTheServerWhole) {
    jcl_Message large;
    large.SetX(std::string(2 << 20, 'x').c_str());
    const std::string text = large.Serialize().c_str();
    ScriptedServer server({{clientHeader, serverHeader}});
    Open(server);
    connection.Send(large);
    connection.Disconnect();
    EXPECT_EQ(server.Finish(), clientHeader + text + footer);
}

TEST_F(jcl_ConnectionTest, AHandlerThatRaisesLosesNoStanzaAfterIt) {
    ScriptedServer server({{clientHeader, serverHeader + "<message><body>raise</body></message>"
                                                         "<presence type='after'/>"}});
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    connection.SetMessageHandler([](jcl_Connection&, jcl_Entity&) { throw 7; });
    bool raised = false;
    for (int k = 0; k < 20 && !raised; ++k) {
        try {
            connection.Receive(250);
        } catch (int) {
            raised = true;
        }
    }
    EXPECT_TRUE(raised);
    connection.Receive(10);
    EXPECT_EQ(seen, std::vector<std::string>{"presence|after|0"});
    EXPECT_TRUE(connection.IsStreamOpen());
    connection.Disconnect();
}

TEST_F(jcl_ConnectionTest, ReceiveWithoutDataTimesOutQuietly) {
    ScriptedServer server({{clientHeader, serverHeader}});
    Open(server);
    const auto start = std::chrono::steady_clock::now();
    connection.Receive(50);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_TRUE(seen.empty());
    connection.Disconnect();
}

TEST_F(jcl_ConnectionTest, ReceiveWithoutLimitWaitsForTheData) {
    ScriptedServer server({{clientHeader, serverHeader + "<presence type='probe'/>", 300}});
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    connection.Receive(0);
    EXPECT_EQ(seen, (std::vector<std::string>{"presence|probe|0"}));
    connection.Disconnect();
}

TEST_F(jcl_ConnectionTest, APeerThatClosesIsTheEndOfTheStreamNotAFailure) {
    ScriptedServer server({{clientHeader, serverHeader}}, ScriptedServer::closeAtOnce);
    Open(server);
    server.Finish();
    EXPECT_NO_THROW(connection.Receive(1000));
    EXPECT_NO_THROW(connection.Receive(10));
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(connection.HasStreamEnded());
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(connection.Send(jcl_Presence())) << "a write to a gone peer is swallowed";
}

// The monitor's way: nothing raised across the library's boundary, the reset told as the
// stream's end; and a footer that meets a reset makes Disconnect answer false.
TEST_F(jcl_ConnectionTest, AResetEndsTheStreamWithItsReasonWhereNothingMayRaise) {
    ScriptedServer server({{clientHeader, serverHeader}}, ScriptedServer::resetAtOnce);
    Open(server);
    server.Finish();
    bool open = true;
    EXPECT_NO_THROW(open = connection.TryReceive(1000));
    EXPECT_FALSE(open);
    EXPECT_FALSE(connection.HasDataWaiting());
    const jcl_Connection::EndReason reason = connection.GetEndReason();
    if (RunningUnderWine()) {
        // Wine reads a reset that arrives before recv as the end of the stream.
        EXPECT_EQ(reason, jcl_Connection::serverClosed);
    } else {
        EXPECT_EQ(reason, jcl_Connection::readFailed);
        EXPECT_EQ(connection.GetEndText(), "connection reset");
    }
    EXPECT_TRUE(connection.Disconnect()) << "an ended stream has nothing to close";
    EXPECT_EQ(connection.GetEndReason(), reason) << "the first reason counts";

    ScriptedServer gone({{clientHeader, serverHeader}}, ScriptedServer::resetAtOnce);
    Open(gone);
    gone.Finish();
    // Nothing read since: the stream is open until the footer meets the reset.
    bool inOrder = true;
    EXPECT_NO_THROW(inOrder = connection.Disconnect());
    EXPECT_FALSE(inOrder);
    EXPECT_EQ(connection.GetEndReason(), jcl_Connection::writeFailed);
    EXPECT_FALSE(connection.IsStreamOpen());
}

TEST_F(jcl_ConnectionTest, APeerThatResetsRaisesFromTheReadOnceThenReadsNothing) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine reads a reset that arrives before recv as the end of the stream";
    ScriptedServer server({{clientHeader, serverHeader}}, ScriptedServer::resetAtOnce);
    Open(server);
    server.Finish();
    EXPECT_THROW(connection.Receive(1000), csp_NetworkException);
    EXPECT_NO_THROW(connection.Receive(10));
    EXPECT_TRUE(connection.Send(jcl_Presence()));
    EXPECT_TRUE(seen.empty());
}

TEST_F(jcl_ConnectionTest, NullHandlerStandsForTheDefault) {
    ScriptedServer server(
        {{clientHeader, serverHeader}, {"ping</body>", "<message><body>x</body></message>"}});
    Open(server);
    connection.SetMessageHandler(nullptr);
    Ping(connection);
    EXPECT_NO_THROW(connection.Receive(2000));
    EXPECT_TRUE(seen.empty());
    connection.Disconnect();
    EXPECT_TRUE(server.ScriptCompleted());
}

TEST_F(jcl_ConnectionTest, FailedConnectRaisesAndKeepsTheNewHost) {
    int unusedPort;
    {
        csp_TcpSocket probe(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), 0));
        unusedPort = probe.name().getPort();
    }
    EXPECT_THROW(connection.Connect("127.0.0.1", unusedPort), csp_NetworkException);
    EXPECT_STREQ(connection.GetHost().c_str(), "127.0.0.1");
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_NO_THROW(connection.Receive(10));
    EXPECT_TRUE(connection.Disconnect());
}

TEST_F(jcl_ConnectionTest, ConnectsAgainAfterDisconnect) {
    for (int round = 0; round < 2; ++round) {
        ScriptedServer server(
            {{clientHeader, serverHeader}, {"ping</body>", "<iq type='result' id='again'/>"}});
        Open(server);
        Ping(connection);
        connection.Receive(2000);
        EXPECT_TRUE(connection.Disconnect());
        EXPECT_TRUE(server.ScriptCompleted()) << round;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"iq|result|again|0", "iq|result|again|0"}));
}

TEST(jcl_Module, InitializeAndFinalizeMoveTheCounterOnlyAtTheEnds) {
    int count = 0;
    jcl_initialize(count);
    jcl_initialize(count);
    EXPECT_EQ(count, 1);
    jcl_finalize(count);
    EXPECT_EQ(count, 1);
    jcl_finalize(count);
    EXPECT_EQ(count, 0);
    jcl_finalize(count);
    EXPECT_EQ(count, 0) << "an unpaired finalize";
    jcl_initialize(count);
    EXPECT_EQ(count, 1);
    jcl_finalize(count);
    EXPECT_EQ(count, 0);
}

} // namespace

// The log-in through the connection, against canned servers that need no TLS or SCRAM
// (those run against real servers in the end-to-end tests).
struct ConnectionLogInCase {
    const char* name;
    std::vector<ScriptedServer::Step> steps;
    jcl_LogInSettings::Encryption encryption;
    bool receiveFirst; // the caller reads the server's greeting before the log-in
    bool loggedIn;
    jcl_Negotiation::Failure failure;
    std::string text;
    std::string clientSendsAfterHeader;
};

TEST_F(jcl_ConnectionTest, LogInRunsTheNegotiationOnTheConnectionAndEndsTheStreamOnFailure) {
    const std::string oldHeader =
        "<?xml version='1.0'?><stream:stream xmlns:stream='http://etherx.jabber.org/streams' "
        "xmlns='jabber:client' from='127.0.0.1' id='old'>";
    const std::string tlsRequired =
        "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/>"
        "</starttls></stream:features>";
    const std::string registration =
        "<iq type='set' id='jcl1' to='127.0.0.1'><query xmlns='jabber:iq:register'>"
        "<username>u</username><password>p</password></query></iq>\n";
    const std::string logIn = "<iq type='set' id='jcl2' to='127.0.0.1'><query "
                              "xmlns='jabber:iq:auth'><username>u</username><password>p"
                              "</password><resource>r</resource></query></iq>\n";
    const std::vector<ConnectionLogInCase> cases = {
        {"a server older than stream features",
         {{clientHeader, oldHeader},
          {"jabber:iq:register", "<iq type='result' id='jcl1'/>"},
          {"jabber:iq:auth", "<iq type='result' id='jcl2'/>"}},
         jcl_LogInSettings::encryptionWhenOffered,
         false,
         true,
         jcl_Negotiation::noFailure,
         "",
         registration + logIn},
        {"the same, its greeting read before the log-in",
         {{clientHeader, oldHeader},
          {"jabber:iq:register", "<iq type='result' id='jcl1'/>"},
          {"jabber:iq:auth", "<iq type='result' id='jcl2'/>"}},
         jcl_LogInSettings::encryptionWhenOffered,
         true,
         true,
         jcl_Negotiation::noFailure,
         "",
         registration + logIn},
        {"TLS required, the client's off, the features read first",
         {{clientHeader,
           serverHeader.substr(0, serverHeader.find("<stream:features>")) + tlsRequired}},
         jcl_LogInSettings::encryptionOff,
         true,
         false,
         jcl_Negotiation::encryptionRequired,
         "the server requires encryption",
         footer},
        {"TLS required, the client's off",
         {{clientHeader,
           serverHeader.substr(0, serverHeader.find("<stream:features>")) + tlsRequired}},
         jcl_LogInSettings::encryptionOff,
         false,
         false,
         jcl_Negotiation::encryptionRequired,
         "the server requires encryption",
         footer},
        {"a server that never greets",
         {{clientHeader, ""}},
         jcl_LogInSettings::encryptionWhenOffered,
         false,
         false,
         jcl_Negotiation::noAnswer,
         "the server did not send its stream header within 300 ms",
         footer},
        {"a server that hangs up during the log-in",
         {{clientHeader, oldHeader}, {"jabber:iq:register", ""}},
         jcl_LogInSettings::encryptionWhenOffered,
         false,
         false,
         jcl_Negotiation::streamEnded,
         "the server closed the connection during the log-in",
         registration},
    };
    for (const ConnectionLogInCase& c : cases) {
        ScriptedServer server(c.steps, std::string(c.name).find("hangs up") != std::string::npos
                                           ? ScriptedServer::closeAtOnce
                                           : ScriptedServer::waitForClientClose);
        connection.SetAnswerTimeout(300);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << c.name;
        if (c.receiveFirst)
            connection.Receive(2000);
        jcl_LogInSettings settings;
        settings.user = "u";
        settings.password = "p";
        settings.resource = "r";
        settings.encryption = c.encryption;
        EXPECT_EQ(connection.LogIn(settings), c.loggedIn) << c.name;
        EXPECT_EQ(connection.GetLogInFailure(), c.failure) << c.name;
        EXPECT_EQ(connection.GetLogInFailureText(), c.text) << c.name;
        EXPECT_EQ(connection.IsStreamOpen(), c.loggedIn) << "a failed log-in ends the stream";
        if (c.loggedIn) {
            EXPECT_STREQ(connection.GetBoundAddress().c_str(), "u@127.0.0.1/r");
            EXPECT_TRUE(connection.SentPasswordInClear());
            connection.Disconnect();
        }
        const std::string received = server.Finish();
        EXPECT_EQ(received,
                  clientHeader + c.clientSendsAfterHeader + (c.loggedIn ? footer : std::string()))
            << c.name;
        EXPECT_TRUE(seen.empty()) << c.name << ": the log-in's answers reach no handler";
    }
}
