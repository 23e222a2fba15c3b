#ifndef JCL_JCL_NEGOTIATION_H
#define JCL_JCL_NEGOTIATION_H

#include "base/cow_String.h"
#include "jcl/jcl_LogInSettings.h"
#include "jcl/jcl_Scram.h"

#include <memory>
#include <string>
#include <vector>

class jcl_Node;

// The log-in on a client stream, driven by what the server sends: its stream header and
// features, STARTTLS and the stream's restart, registration where the server offers it, SASL
// (SCRAM-SHA-256, SCRAM-SHA-1, PLAIN only inside TLS) and the restart after it, resource
// binding, and the session where the server still asks for one. A server whose header carries
// no version 1.0 (it sends no features), or one that offers the old iq:auth and no usable SASL
// mechanism, gets the registration and iq:auth log-in of old. Nothing that proves the password
// is sent before the certificate policy is met. Every failure is one reason in one line.
class jcl_Negotiation {
public:
    // What the log-in needs of the connection.
    class Link {
    public:
        virtual ~Link();
        // Writes stream text (encrypted once TLS is up).
        virtual void SendText(const cow_String& text) = 0;
        // Begins the TLS handshake; the connection then calls TlsEstablished or TlsFailed.
        virtual void StartTls() = 0;
        // Forgets the stream read so far and writes a new stream header.
        virtual void RestartStream() = 0;
        // A new iq id, unique on the connection.
        virtual cow_String NewId() = 0;
    };

    enum Outcome { inProgress, loggedIn, failed };
    enum Failure {
        noFailure,
        streamEnded,
        noAnswer,
        streamError,
        encryptionRequired,
        encryptionUnavailable,
        tlsFailed,
        certificateUntrusted,
        noCommonMechanism,
        notAuthorized,
        serverNotVerified,
        bindRefused,
        refused,
        unexpected
    };
    enum Registration { notTried, registered, accountExists, registrationRefused };

    // domain: the server's name, which the legacy requests and the bound address carry.
    jcl_Negotiation(Link& link, const jcl_LogInSettings& settings, const cow_String& domain);
    ~jcl_Negotiation();
    jcl_Negotiation(const jcl_Negotiation&) = delete;
    jcl_Negotiation& operator=(const jcl_Negotiation&) = delete;

    // For tests: the nonce of the SCRAM exchange, instead of a random one.
    void SetClientNonce(const std::string& nonce) { clientNonce = nonce; }

    void StreamStarted(const jcl_Node& header);
    // True when the element belonged to the log-in. A stream error is noted and left to the
    // connection, which ends the stream on it.
    bool HandleElement(const jcl_Node& element);
    void TlsEstablished();
    void TlsFailed(bool certificate, const std::string& text);
    // The stream ended, or the wait for the server's next step ran out, or the connection
    // gave up on the network. Each fails a log-in that is still in progress.
    void StreamEnded(const std::string& text);
    void TimedOut(int milliseconds);

    Outcome GetOutcome() const { return outcome; }
    Failure GetFailure() const { return failure; }
    // One line, without the server's name: "wrong user or password".
    const std::string& GetFailureText() const { return failureText; }
    // Counts the steps taken, so that a caller can bound the wait for each.
    int GetSteps() const { return steps; }
    bool IsEncrypted() const { return encrypted; }
    // The password crossed the network unencrypted (a registration or iq:auth without TLS).
    bool SentPasswordInClear() const { return passwordInClear; }
    // "SCRAM-SHA-1", "PLAIN", "iq:auth"; empty until chosen.
    const std::string& GetMechanism() const { return mechanism; }
    Registration GetRegistration() const { return registration; }
    // The full address the server bound (user@domain/resource).
    const cow_String& GetBoundAddress() const { return boundAddress; }
    // The mechanisms the server offered last, for messages and tests.
    const std::vector<std::string>& GetOfferedMechanisms() const { return offer.mechanisms; }

private:
    enum Phase {
        awaitingHeader,
        awaitingFeatures,
        awaitingProceed,
        handshaking,
        awaitingRegistration,
        authenticating,
        awaitingBind,
        awaitingSession,
        awaitingLegacyRegistration,
        awaitingLegacyAuth,
        finished
    };
    struct Offer {
        bool tls = false;
        bool tlsRequired = false;
        bool registration = false;
        bool iqAuth = false;
        bool bind = false;
        bool sessionRequired = false;
        std::vector<std::string> mechanisms;
    };

    void ReadOffer(const jcl_Node& features);
    void ActOnFeatures();
    void Authenticate();
    void StartSasl(const std::string& name, const std::string& initial);
    void HandleChallenge(const jcl_Node& element);
    void HandleSuccess(const jcl_Node& element);
    void HandleSaslFailure(const jcl_Node& element);
    void HandleAnswer(const jcl_Node& iq);
    void SendRegistration(bool legacy);
    void SendLegacyAuth();
    void SendBind();
    void SendSession();
    cow_String SendIq(const cow_String& inner, bool toDomain);
    bool HasMechanism(const char* name) const;
    void Succeed();
    void Fail(Failure why, const std::string& text);
    void NoteStreamError(const jcl_Node& element);

    Link& link;
    const jcl_LogInSettings settings;
    const cow_String domain;
    Phase phase;
    Outcome outcome;
    Failure failure;
    std::string failureText;
    int steps;
    bool encrypted;
    bool authenticated;
    bool passwordInClear;
    bool firstHeader;
    std::string mechanism;
    Registration registration;
    std::string registrationCondition;
    Offer offer;
    cow_String pendingId;
    std::string clientNonce;
    std::unique_ptr<jcl_Scram> scram;
    bool clientFinalSent;
    bool serverVerified;
    cow_String boundAddress;
};

#endif
