#include "jcl/jcl_Negotiation.h"

#include "jcl/jcl_Base64.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_StreamReader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

const std::string tlsNs = "urn:ietf:params:xml:ns:xmpp-tls";
const std::string saslNs = "urn:ietf:params:xml:ns:xmpp-sasl";

std::string ServerHeader(const char* version = " version='1.0'") {
    return std::string(
               "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
               "xmlns:stream='http://etherx.jabber.org/streams' id='s1' from='example.org'") +
           version + ">";
}

std::string Features(const std::string& inside) {
    return "<stream:features>" + inside + "</stream:features>";
}

std::string StartTls(bool required) {
    return "<starttls xmlns='" + tlsNs + "'>" + (required ? "<required/>" : "") + "</starttls>";
}

std::string Mechanisms(const std::vector<std::string>& names) {
    std::string out = "<mechanisms xmlns='" + saslNs + "'>";
    for (const std::string& name : names)
        out += "<mechanism>" + name + "</mechanism>";
    return out + "</mechanisms>";
}

const std::string registerFeature = "<register xmlns='http://jabber.org/features/iq-register'/>";
const std::string bindFeature = "<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>";
const std::string sessionRequired = "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'/>";

std::string Sasl(const std::string& element, const std::string& data) {
    return "<" + element + " xmlns='" + saslNs + "'>" + jcl_Base64::Encode(data) + "</" + element +
           ">";
}

// The SCRAM-SHA-1 example of RFC 5802: user "user", password "pencil".
const std::string clientNonce = "fyko+d2lbbFgONRv9qkxdawL";
const std::string clientFirst = "n,,n=user,r=" + clientNonce;
const std::string serverFirst =
    "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096";
const std::string clientFinal =
    "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=";
const std::string serverFinal = "v=rmF9pqV8S7suAoZWja4dJRkFsKQ=";

const std::string sentStartTls = "<starttls xmlns='" + tlsNs + "'/>";
const std::string sentScramAuth = "<auth xmlns='" + saslNs + "' mechanism='SCRAM-SHA-1'>" +
                                  jcl_Base64::Encode(clientFirst) + "</auth>";
const std::string sentScramResponse =
    "<response xmlns='" + saslNs + "'>" + jcl_Base64::Encode(clientFinal) + "</response>";
std::string SentBind(const char* id) {
    return std::string("<iq type='set' id='") + id +
           "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><resource>job&lt;1</resource>"
           "</bind></iq>\n";
}

// What a log-in runs through: the server's turns, each fed once the client has answered the
// turn before; the TLS handshake, when the client starts one, ends as the case says.
struct Script {
    const char* name;
    std::vector<std::string> serverTurns;
    jcl_LogInSettings::Encryption encryption;
    // The handshake's verdict: "" established, otherwise the reason it failed.
    std::string tlsVerdict;
    bool certificateVerdict;
};

// Drives a negotiation with canned server bytes through a stream reader, as the connection
// does, and keeps everything the client sent (with [tls] and [restart] where it began TLS or
// a new stream).
class Harness : public jcl_Negotiation::Link, public jcl_StreamReader::Sink {
public:
    Harness(const Script& script, jcl_LogInSettings settings)
        : script(script), reader(*this, 2), negotiation(*this, settings, "example.org") {
        negotiation.SetClientNonce(clientNonce);
    }

    // Each turn cut into pieces of `piece` bytes (0: whole), except turn `splitTurn`, which
    // is cut once, before its byte `splitAt`.
    void Run(std::size_t piece, std::size_t splitTurn = ~std::size_t(0), std::size_t splitAt = 0) {
        for (std::size_t t = 0; t < script.serverTurns.size(); ++t) {
            if (negotiation.GetOutcome() != jcl_Negotiation::inProgress)
                return;
            const std::string& turn = script.serverTurns[t];
            if (t == splitTurn) {
                Feed(turn.substr(0, splitAt));
                Feed(turn.substr(splitAt));
            } else {
                const std::size_t size = piece == 0 ? turn.size() : piece;
                for (std::size_t at = 0; at < turn.size(); at += size)
                    Feed(turn.substr(at, size));
            }
            if (tlsStarted && negotiation.GetOutcome() == jcl_Negotiation::inProgress) {
                tlsStarted = false;
                if (script.tlsVerdict.empty())
                    negotiation.TlsEstablished();
                else
                    negotiation.TlsFailed(script.certificateVerdict, script.tlsVerdict);
            }
        }
    }

    void SendText(const cow_String& text) override { sent += text.c_str(); }
    void StartTls() override {
        sent += "[tls]";
        tlsStarted = true;
        reader.Reset();
    }
    void RestartStream() override {
        sent += "[restart]";
        reader.Reset();
    }
    cow_String NewId() override { return ("jcl" + std::to_string(++ids)).c_str(); }
    void HandleStreamStart(const jcl_Node& header) override { negotiation.StreamStarted(header); }
    void HandleStanza(const jcl_Node& stanza) override {
        if (!negotiation.HandleElement(stanza))
            passedOn.push_back(stanza.GetTagName().c_str());
    }

    const Script& script;
    jcl_StreamReader reader;
    jcl_Negotiation negotiation;
    std::string sent;
    std::vector<std::string> passedOn;
    bool tlsStarted = false;
    int ids = 0;

private:
    void Feed(const std::string& bytes) { reader.Feed(bytes.data(), int(bytes.size())); }
};

jcl_LogInSettings Settings(jcl_LogInSettings::Encryption encryption) {
    jcl_LogInSettings settings;
    settings.user = "user";
    settings.password = "pencil";
    settings.resource = "job<1";
    settings.encryption = encryption;
    return settings;
}

struct SuccessCase {
    Script script;
    std::string transcript;
    std::string mechanism;
    bool encrypted;
    bool passwordInClear;
    jcl_Negotiation::Registration registration;
};

std::vector<SuccessCase> SuccessCases() {
    const std::string plainAuth = "<auth xmlns='" + saslNs + "' mechanism='PLAIN'>" +
                                  jcl_Base64::Encode(std::string("\0user\0pencil", 12)) + "</auth>";
    const std::string registration =
        "<iq type='set' id='jcl1'><query xmlns='jabber:iq:register'><username>user</username>"
        "<password>pencil</password></query></iq>\n";
    return {
        {{"STARTTLS, SCRAM-SHA-1 with the proof in the success, binding",
          {ServerHeader() + Features(StartTls(true) + Mechanisms({"PLAIN"})),
           "<proceed xmlns='" + tlsNs + "'/>",
           ServerHeader() + Features(Mechanisms({"PLAIN", "SCRAM-SHA-1", "X-OAUTH2"})),
           Sasl("challenge", serverFirst), Sasl("success", serverFinal),
           ServerHeader() + Features(bindFeature),
           "<iq type='result' id='jcl1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'>"
           "<jid>user@example.org/job&lt;1</jid></bind></iq>"},
          jcl_LogInSettings::encryptionWhenOffered,
          "",
          false},
         sentStartTls + "[tls][restart]" + sentScramAuth + sentScramResponse + "[restart]" +
             SentBind("jcl1"),
         "SCRAM-SHA-1",
         true,
         false,
         jcl_Negotiation::notTried},
        {{"registration offered and refused as the account exists, the proof in a last "
          "challenge, a session asked for",
          {ServerHeader() + Features(StartTls(false)), "<proceed xmlns='" + tlsNs + "'/>",
           ServerHeader() + Features(Mechanisms({"SCRAM-SHA-1"}) + registerFeature),
           "<iq type='error' id='jcl1'><error type='cancel'><conflict "
           "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>",
           Sasl("challenge", serverFirst), Sasl("challenge", serverFinal),
           "<success xmlns='" + saslNs + "'/>",
           ServerHeader() + Features(bindFeature + sessionRequired),
           "<iq type='result' id='jcl2'/>", "<iq type='result' id='jcl3'/>"},
          jcl_LogInSettings::encryptionRequired,
          "",
          false},
         sentStartTls + "[tls][restart]" + registration + sentScramAuth + sentScramResponse +
             "<response xmlns='" + saslNs + "'></response>[restart]" + SentBind("jcl2") +
             "<iq type='set' id='jcl3'><session xmlns='urn:ietf:params:xml:ns:xmpp-session'/>"
             "</iq>\n",
         "SCRAM-SHA-1",
         true,
         false,
         jcl_Negotiation::accountExists},
        {{"PLAIN inside TLS",
          {ServerHeader() + Features(StartTls(true)), "<proceed xmlns='" + tlsNs + "'/>",
           ServerHeader() + Features(Mechanisms({"PLAIN"})), "<success xmlns='" + saslNs + "'/>",
           ServerHeader() + Features(bindFeature), "<iq type='result' id='jcl1'/>"},
          jcl_LogInSettings::encryptionWhenOffered,
          "",
          false},
         sentStartTls + "[tls][restart]" + plainAuth + "[restart]" + SentBind("jcl1"),
         "PLAIN",
         true,
         false,
         jcl_Negotiation::notTried},
        {{"no TLS offered: SCRAM, never the password",
          {ServerHeader() + Features(Mechanisms({"PLAIN", "SCRAM-SHA-1"})),
           Sasl("challenge", serverFirst), Sasl("success", serverFinal),
           ServerHeader() + Features(bindFeature), "<iq type='result' id='jcl1'/>"},
          jcl_LogInSettings::encryptionWhenOffered,
          "",
          false},
         sentScramAuth + sentScramResponse + "[restart]" + SentBind("jcl1"),
         "SCRAM-SHA-1",
         false,
         false,
         jcl_Negotiation::notTried},
        {{"no TLS offered, registration offered: the registration bares the password",
          {ServerHeader() + Features(Mechanisms({"SCRAM-SHA-1"}) + registerFeature),
           "<iq type='result' id='jcl1'/>", Sasl("challenge", serverFirst),
           Sasl("success", serverFinal), ServerHeader() + Features(bindFeature),
           "<iq type='result' id='jcl2'/>"},
          jcl_LogInSettings::encryptionWhenOffered,
          "",
          false},
         registration + sentScramAuth + sentScramResponse + "[restart]" + SentBind("jcl2"),
         "SCRAM-SHA-1",
         false,
         true,
         jcl_Negotiation::registered},
        {{"a server older than stream features: registration and iq:auth as of old",
          {ServerHeader(""),
           "<iq type='error' id='jcl1'><error code='409'>Conflict</error></iq>"
           "<message><body>welcome</body></message>",
           "<iq type='result' id='jcl2'/>"},
          jcl_LogInSettings::encryptionWhenOffered,
          "",
          false},
         "<iq type='set' id='jcl1' to='example.org'><query xmlns='jabber:iq:register'>"
         "<username>user</username><password>pencil</password></query></iq>\n"
         "<iq type='set' id='jcl2' to='example.org'><query xmlns='jabber:iq:auth'>"
         "<username>user</username><password>pencil</password><resource>job&lt;1</resource>"
         "</query></iq>\n",
         "iq:auth",
         false,
         true,
         jcl_Negotiation::accountExists},
        {{"only iq:auth offered, inside TLS",
          {ServerHeader() + Features(StartTls(false)), "<proceed xmlns='" + tlsNs + "'/>",
           ServerHeader() + Features("<auth xmlns='http://jabber.org/features/iq-auth'/>"),
           "<iq type='result' id='jcl1'/>"},
          jcl_LogInSettings::encryptionWhenOffered,
          "",
          false},
         sentStartTls + "[tls][restart]" +
             "<iq type='set' id='jcl1' to='example.org'><query xmlns='jabber:iq:auth'>"
             "<username>user</username><password>pencil</password>"
             "<resource>job&lt;1</resource></query></iq>\n",
         "iq:auth",
         true,
         false,
         jcl_Negotiation::notTried},
    };
}

void ExpectLoggedIn(const Harness& harness, const SuccessCase& c, const std::string& context) {
    EXPECT_EQ(harness.negotiation.GetOutcome(), jcl_Negotiation::loggedIn)
        << context << ": " << harness.negotiation.GetFailureText();
    EXPECT_EQ(harness.sent, c.transcript) << context;
    EXPECT_EQ(harness.negotiation.GetMechanism(), c.mechanism) << context;
    EXPECT_EQ(harness.negotiation.IsEncrypted(), c.encrypted) << context;
    EXPECT_EQ(harness.negotiation.SentPasswordInClear(), c.passwordInClear) << context;
    EXPECT_EQ(harness.negotiation.GetRegistration(), c.registration) << context;
    EXPECT_STREQ(harness.negotiation.GetBoundAddress().c_str(), "user@example.org/job<1")
        << context;
}

TEST(jcl_NegotiationTest, LogInsSucceedAgainstCannedServersHoweverTheBytesArrive) {
    for (const SuccessCase& c : SuccessCases()) {
        for (std::size_t piece : {0, 1, 2, 3, 5, 7}) {
            Harness harness(c.script, Settings(c.script.encryption));
            harness.Run(piece);
            ExpectLoggedIn(harness, c,
                           std::string(c.script.name) + ", pieces of " + std::to_string(piece));
            // Stanzas that are not the log-in's stay for the connection's handlers.
            if (std::string(c.script.name).find("older") != std::string::npos) {
                EXPECT_EQ(harness.passedOn, std::vector<std::string>{"message"});
            }
        }
    }
}

TEST(jcl_NegotiationTest, EveryTurnSplitAtEveryByteStillLogsIn) {
    // SCRAM's key stretching makes the SCRAM cases too slow to repeat some thousand times
    // (seconds here, minutes under an emulator); the pieces above cut them byte by byte.
    for (const SuccessCase& c : SuccessCases()) {
        if (c.mechanism.compare(0, 5, "SCRAM") == 0)
            continue;
        for (std::size_t turn = 0; turn < c.script.serverTurns.size(); ++turn) {
            for (std::size_t at = 1; at < c.script.serverTurns[turn].size(); ++at) {
                Harness harness(c.script, Settings(c.script.encryption));
                harness.Run(0, turn, at);
                ExpectLoggedIn(harness, c,
                               std::string(c.script.name) + ", turn " + std::to_string(turn) +
                                   " split at " + std::to_string(at));
                if (HasFailure())
                    return;
            }
        }
    }
}

// A log-in that fails: why, in what words, and the client's last words, after which nothing
// may have been sent.
struct FailureCase {
    FailureCase(const char* name, std::vector<std::string> serverTurns,
                jcl_Negotiation::Failure failure, std::string text, std::string sentEndsWith,
                jcl_LogInSettings::Encryption encryption = jcl_LogInSettings::encryptionWhenOffered,
                std::string certificateVerdict = std::string())
        : name(name), serverTurns(std::move(serverTurns)), failure(failure), text(std::move(text)),
          sentEndsWith(std::move(sentEndsWith)), encryption(encryption),
          certificateVerdict(std::move(certificateVerdict)) {}

    const char* name;
    std::vector<std::string> serverTurns;
    jcl_Negotiation::Failure failure;
    std::string text;
    std::string sentEndsWith;
    jcl_LogInSettings::Encryption encryption;
    // The TLS handshake's verdict on the certificate, when one is reached.
    std::string certificateVerdict;
};

TEST(jcl_NegotiationTest, EachStepThatFailsSaysWhyAndSendsNothingMore) {
    using N = jcl_Negotiation;
    const auto off = jcl_LogInSettings::encryptionOff;
    const auto required = jcl_LogInSettings::encryptionRequired;
    const std::string tlsOffered =
        ServerHeader() + Features(StartTls(true) + Mechanisms({"PLAIN"}));
    const std::string proceed = "<proceed xmlns='" + tlsNs + "'/>";
    const std::string scramOnly = ServerHeader() + Features(Mechanisms({"SCRAM-SHA-1"}));
    const std::string scramOffered =
        ServerHeader() + Features(Mechanisms({"SCRAM-SHA-1"}) + registerFeature);
    const std::string challenge = Sasl("challenge", serverFirst);
    const std::string notAuthorized = "<failure xmlns='" + saslNs +
                                      "'><not-authorized/><text xml:lang='en'>Unable to "
                                      "authorize you with the authentication credentials "
                                      "you've sent.</text></failure>";
    const std::string pinRefused =
        "the server's certificate is not the pinned one; its SHA-256 fingerprint is AB:CD";
    const std::string stanzaError = " xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/>";
    const std::vector<FailureCase> cases = {
        {"TLS off, the server requires it",
         {tlsOffered},
         N::encryptionRequired,
         "the server requires encryption",
         "",
         off},
        {"TLS off, the server offers SASL only inside TLS",
         {ServerHeader() + Features(StartTls(false))},
         N::encryptionRequired,
         "the server offers a log-in only with encryption",
         "",
         off},
        {"TLS required, the server offers none",
         {scramOnly},
         N::encryptionUnavailable,
         "the server offers no encryption",
         "",
         required},
        {"TLS required, a server older than stream features",
         {ServerHeader("")},
         N::encryptionUnavailable,
         "the server offers no encryption (it is too old for stream features)",
         "",
         required},
        {"the server cannot start TLS",
         {tlsOffered, "<failure xmlns='" + tlsNs + "'/>"},
         N::tlsFailed,
         "the server could not start TLS",
         sentStartTls},
        {"a certificate the policy refuses",
         {tlsOffered, proceed},
         N::certificateUntrusted,
         pinRefused,
         sentStartTls + "[tls]",
         jcl_LogInSettings::encryptionWhenOffered,
         pinRefused},
        {"only PLAIN, without TLS",
         {ServerHeader() + Features(Mechanisms({"PLAIN"}))},
         N::noCommonMechanism,
         "no common SASL mechanism: the server offers PLAIN, and PLAIN would send the password "
         "unencrypted",
         ""},
        {"no mechanism in common",
         {ServerHeader() + Features(StartTls(false)), proceed,
          ServerHeader() + Features(Mechanisms({"DIGEST-MD5", "X-OAUTH2"}))},
         N::noCommonMechanism,
         "no common SASL mechanism: the server offers DIGEST-MD5, X-OAUTH2",
         "[restart]"},
        {"wrong password, the account existed",
         {scramOffered, "<iq type='error' id='jcl1'><error code='409'/></iq>", challenge,
          notAuthorized},
         N::notAuthorized,
         "wrong user or password",
         sentScramResponse},
        {"wrong password, and clients cannot register",
         {scramOnly, challenge, notAuthorized},
         N::notAuthorized,
         "wrong user or password (or no such account: this server lets no client register one)",
         sentScramResponse},
        {"wrong password, the registration refused",
         {scramOffered,
          "<iq type='error' id='jcl1'><error type='cancel'><not-allowed" + stanzaError +
              "</error></iq>",
          challenge, notAuthorized},
         N::notAuthorized,
         "wrong user or password (or no such account: the server refused to register it, "
         "not-allowed)",
         sentScramResponse},
        {"a server that does not know the password",
         {scramOffered, "<iq type='result' id='jcl1'/>", challenge,
          Sasl("success", "v=AAAApqV8S7suAoZWja4dJRkFsKQ=")},
         N::serverNotVerified,
         "the server could not prove that it knows the password",
         sentScramResponse},
        {"success without the server's proof",
         {scramOnly, challenge, "<success xmlns='" + saslNs + "'/>"},
         N::serverNotVerified,
         "the server could not prove that it knows the password",
         sentScramResponse},
        {"a challenge that is not ours",
         {scramOnly, Sasl("challenge", "r=otherNonce,s=QSXCR+Q6sek8bf92,i=4096")},
         N::unexpected,
         "the server's challenge does not continue this client's nonce",
         sentScramAuth},
        {"the resource refused",
         {scramOnly, challenge, Sasl("success", serverFinal),
          ServerHeader() + Features(bindFeature),
          "<iq type='error' id='jcl1'><error type='cancel'><not-allowed" + stanzaError +
              "<text>no such name</text></error></iq>"},
         N::bindRefused,
         "the server refused the resource 'job<1' (not-allowed: no such name)",
         SentBind("jcl1")},
        {"the wrong domain",
         {ServerHeader() + "<stream:error><host-unknown "
                           "xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>"},
         N::streamError,
         "the server does not serve the domain 'example.org' (host-unknown)",
         ""},
        {"the old log-in refused",
         {ServerHeader(""), "<iq type='result' id='jcl1'/>",
          "<iq type='error' id='jcl2'><error code='401'>Unauthorized</error></iq>"},
         N::notAuthorized,
         "wrong user or password",
         "</query></iq>\n"},
        {"the old log-in refused for want of encryption",
         {ServerHeader(""),
          "<iq type='error' id='jcl1'><error type='modify'><policy-violation" + stanzaError +
              "<text>Encryption is required</text></error></iq>",
          "<iq type='error' id='jcl2'><error type='cancel'><service-unavailable" + stanzaError +
              "<text>Encryption is required</text></error></iq>"},
         N::encryptionRequired,
         "the server requires encryption",
         "</query></iq>\n"},
    };
    for (const FailureCase& c : cases) {
        const Script script{c.name, c.serverTurns, c.encryption, c.certificateVerdict,
                            !c.certificateVerdict.empty()};
        for (std::size_t piece : {0, 1, 3}) {
            const std::string context =
                std::string(c.name) + ", pieces of " + std::to_string(piece);
            Harness harness(script, Settings(c.encryption));
            harness.Run(piece);
            EXPECT_EQ(harness.negotiation.GetOutcome(), N::failed) << context;
            EXPECT_EQ(harness.negotiation.GetFailure(), c.failure) << context;
            EXPECT_EQ(harness.negotiation.GetFailureText(), c.text) << context;
            const std::string& sent = harness.sent;
            EXPECT_TRUE(sent.size() >= c.sentEndsWith.size() &&
                        sent.compare(sent.size() - c.sentEndsWith.size(), std::string::npos,
                                     c.sentEndsWith) == 0)
                << context << ": sent " << sent;
            // A password goes out in iq:auth or PLAIN only; no case here sends PLAIN.
            EXPECT_EQ(sent.find("mechanism='PLAIN'"), std::string::npos) << context;
        }
    }
}

TEST(jcl_NegotiationTest, AnswersToOtherIdsAndLateElementsAreNotTheLogIns) {
    const Script script{"bind answered under another id first",
                        {ServerHeader() + Features(Mechanisms({"SCRAM-SHA-1"})),
                         Sasl("challenge", serverFirst), Sasl("success", serverFinal),
                         ServerHeader() + Features(bindFeature),
                         "<iq type='result' id='jcl9'/><iq type='get' id='jcl1'/>"
                         "<iq type='result' id='jcl1'/><proceed xmlns='" +
                             tlsNs + "'/>"},
                        jcl_LogInSettings::encryptionWhenOffered,
                        "",
                        false};
    Harness harness(script, Settings(script.encryption));
    harness.Run(0);
    EXPECT_EQ(harness.negotiation.GetOutcome(), jcl_Negotiation::loggedIn);
    EXPECT_EQ(harness.passedOn, (std::vector<std::string>{"iq", "iq", "proceed"}));
    EXPECT_EQ(harness.sent.find("[tls]"), std::string::npos);

    // Time and the network end a log-in in progress with the step it waited for.
    Harness waiting(script, Settings(script.encryption));
    waiting.negotiation.TimedOut(10000);
    EXPECT_EQ(waiting.negotiation.GetFailure(), jcl_Negotiation::noAnswer);
    EXPECT_EQ(waiting.negotiation.GetFailureText(),
              "the server did not send its stream header within 10 s");
    waiting.negotiation.StreamEnded("later");
    EXPECT_EQ(waiting.negotiation.GetFailure(), jcl_Negotiation::noAnswer)
        << "the first reason stays";
}

} // namespace
