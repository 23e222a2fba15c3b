#include "jcl/jcl_Negotiation.h"

#include "jcl/jcl_Base64.h"
#include "jcl/jcl_Node.h"
#include "xml/xml_Text.h"

#include <cstdlib>

namespace {

const char streamsNamespace[] = "http://etherx.jabber.org/streams";
const char tlsNamespace[] = "urn:ietf:params:xml:ns:xmpp-tls";
const char saslNamespace[] = "urn:ietf:params:xml:ns:xmpp-sasl";
const char bindNamespace[] = "urn:ietf:params:xml:ns:xmpp-bind";
const char sessionNamespace[] = "urn:ietf:params:xml:ns:xmpp-session";
const char registerFeature[] = "http://jabber.org/features/iq-register";
const char authFeature[] = "http://jabber.org/features/iq-auth";
const char stanzaErrorNamespace[] = "urn:ietf:params:xml:ns:xmpp-stanzas";

std::string text(const cow_String& value) {
    return std::string(value.c_str(), static_cast<std::size_t>(value.length()));
}

std::string localName(const cow_String& name) {
    const std::string full = text(name);
    const std::size_t colon = full.rfind(':');
    return colon == std::string::npos ? full : full.substr(colon + 1);
}

std::string prefixOf(const cow_String& name) {
    const std::string full = text(name);
    const std::size_t colon = full.rfind(':');
    return colon == std::string::npos ? std::string() : full.substr(0, colon);
}

std::string attribute(const jcl_Node& node, const char* name) {
    return node.attributes.IsMember(name) ? text(node.attributes.ConstGet(name)) : std::string();
}

// The namespace the element declares for its own name; empty when it inherits one.
std::string declaredNamespace(const jcl_Node& node) {
    const std::string prefix = prefixOf(node.GetTagName());
    return attribute(node, prefix.empty() ? "xmlns" : ("xmlns:" + prefix).c_str());
}

bool is(const jcl_Node& node, const char* local, const char* nameSpace) {
    return localName(node.GetTagName()) == local && declaredNamespace(node) == nameSpace;
}

// Elements of the stream's own namespace ("stream:features", "stream:error") take it from the
// stream header, whatever prefix the server bound it to.
bool isStreamElement(const jcl_Node& node, const char* local) {
    if (localName(node.GetTagName()) != local)
        return false;
    const std::string declared = declaredNamespace(node);
    return declared.empty() ? !prefixOf(node.GetTagName()).empty() : declared == streamsNamespace;
}

const jcl_Node* child(const jcl_Node& node, const char* local) {
    for (int i = 0; i < node.children.Count(); ++i)
        if (localName(node.children.ConstGet(i).GetTagName()) == local)
            return &node.children.ConstGet(i);
    return nullptr;
}

// The defined condition of an error element: its first child other than "text".
std::string conditionOf(const jcl_Node& error) {
    for (int i = 0; i < error.children.Count(); ++i) {
        const std::string name = localName(error.children.ConstGet(i).GetTagName());
        if (name != "text")
            return name;
    }
    return std::string();
}

// What the server said in words, if anything, kept short and on one line.
std::string explanationOf(const jcl_Node& error) {
    const jcl_Node* words = child(error, "text");
    if (words == nullptr)
        return std::string();
    std::string out;
    for (char c : text(words->text))
        if (out.size() < 200)
            out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    return out;
}

std::string withExplanation(const std::string& condition, const std::string& explanation) {
    if (explanation.empty())
        return condition;
    return condition + ": " + explanation;
}

// An iq error: its stanza condition, or the old numeric code.
void readIqError(const jcl_Node& iq, std::string& condition, std::string& explanation, int& code) {
    condition.clear();
    explanation.clear();
    code = 0;
    const jcl_Node* error = child(iq, "error");
    if (error == nullptr)
        return;
    code = std::atoi(attribute(*error, "code").c_str());
    for (int i = 0; i < error->children.Count(); ++i) {
        const jcl_Node& part = error->children.ConstGet(i);
        if (declaredNamespace(part) == stanzaErrorNamespace &&
            localName(part.GetTagName()) != "text")
            condition = localName(part.GetTagName());
    }
    explanation = explanationOf(*error);
    if (explanation.empty())
        explanation = text(error->text);
}

cow_String escaped(const cow_String& value) {
    cow_String out;
    xml_Text::AppendEscaped(out, value);
    return out;
}

cow_String element(const char* name, const cow_String& value) {
    cow_String out("<");
    out += name;
    out += ">";
    out += escaped(value);
    out += "</";
    out += name;
    out += ">";
    return out;
}

std::string listOf(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

} // namespace

jcl_Negotiation::Link::~Link() = default;

jcl_Negotiation::jcl_Negotiation(Link& link, const jcl_LogInSettings& settings,
                                 const cow_String& domain)
    : link(link), settings(settings), domain(domain), phase(awaitingHeader), outcome(inProgress),
      failure(noFailure), steps(0), encrypted(false), authenticated(false), passwordInClear(false),
      firstHeader(true), registration(notTried), clientFinalSent(false), serverVerified(false) {}

jcl_Negotiation::~jcl_Negotiation() = default;

void jcl_Negotiation::StreamStarted(const jcl_Node& header) {
    if (outcome != inProgress || phase != awaitingHeader)
        return;
    ++steps;
    const bool first = firstHeader;
    firstHeader = false;
    const std::string version = attribute(header, "version");
    // A server older than stream features announces no version (or one below 1.0) and
    // waits for the old requests.
    if (first && (version.empty() || std::atoi(version.c_str()) < 1)) {
        if (settings.encryption == jcl_LogInSettings::encryptionRequired) {
            Fail(encryptionUnavailable,
                 "the server offers no encryption (it is too old for stream features)");
            return;
        }
        passwordInClear = true;
        mechanism = "iq:auth";
        if (settings.registerAccount)
            SendRegistration(true);
        else
            SendLegacyAuth();
        return;
    }
    phase = awaitingFeatures;
}

bool jcl_Negotiation::HandleElement(const jcl_Node& element) {
    if (outcome != inProgress)
        return false;
    if (isStreamElement(element, "error")) {
        NoteStreamError(element);
        return false;
    }
    const std::string name = localName(element.GetTagName());
    switch (phase) {
    case awaitingFeatures:
        if (!isStreamElement(element, "features"))
            return false;
        ++steps;
        ReadOffer(element);
        ActOnFeatures();
        return true;
    case awaitingProceed:
        if (declaredNamespace(element) != tlsNamespace)
            return false;
        ++steps;
        if (name == "proceed") {
            phase = handshaking;
            link.StartTls();
        } else {
            Fail(tlsFailed, "the server could not start TLS");
        }
        return true;
    case authenticating:
        if (declaredNamespace(element) != saslNamespace)
            return false;
        ++steps;
        if (name == "challenge")
            HandleChallenge(element);
        else if (name == "success")
            HandleSuccess(element);
        else if (name == "failure")
            HandleSaslFailure(element);
        else
            Fail(unexpected, "the server answered the log-in with <" + name + ">");
        return true;
    case awaitingRegistration:
    case awaitingBind:
    case awaitingSession:
    case awaitingLegacyRegistration:
    case awaitingLegacyAuth:
        if (name != "iq" || attribute(element, "id") != text(pendingId))
            return false;
        if (attribute(element, "type") != "result" && attribute(element, "type") != "error")
            return false;
        ++steps;
        HandleAnswer(element);
        return true;
    default:
        return false;
    }
}

void jcl_Negotiation::ReadOffer(const jcl_Node& features) {
    offer = Offer();
    for (int i = 0; i < features.children.Count(); ++i) {
        const jcl_Node& feature = features.children.ConstGet(i);
        if (is(feature, "starttls", tlsNamespace)) {
            offer.tls = true;
            offer.tlsRequired = child(feature, "required") != nullptr;
        } else if (is(feature, "mechanisms", saslNamespace)) {
            for (int j = 0; j < feature.children.Count(); ++j)
                if (localName(feature.children.ConstGet(j).GetTagName()) == "mechanism")
                    offer.mechanisms.push_back(text(feature.children.ConstGet(j).text));
        } else if (is(feature, "register", registerFeature)) {
            offer.registration = true;
        } else if (is(feature, "auth", authFeature)) {
            offer.iqAuth = true;
        } else if (is(feature, "bind", bindNamespace)) {
            offer.bind = true;
        } else if (is(feature, "session", sessionNamespace)) {
            offer.sessionRequired = child(feature, "optional") == nullptr;
        }
    }
}

void jcl_Negotiation::ActOnFeatures() {
    if (authenticated) {
        if (!offer.bind) {
            Fail(unexpected, "the server offers no resource binding after the log-in");
            return;
        }
        SendBind();
        return;
    }
    if (!encrypted) {
        const bool tlsAllowed = settings.encryption != jcl_LogInSettings::encryptionOff;
        if (offer.tls && tlsAllowed) {
            phase = awaitingProceed;
            link.SendText(cow_String("<starttls xmlns='") + tlsNamespace + "'/>");
            return;
        }
        if (settings.encryption == jcl_LogInSettings::encryptionRequired) {
            Fail(encryptionUnavailable, "the server offers no encryption");
            return;
        }
        if (offer.tlsRequired) {
            Fail(encryptionRequired, "the server requires encryption");
            return;
        }
    }
    if (offer.registration && settings.registerAccount && registration == notTried) {
        SendRegistration(false);
        return;
    }
    Authenticate();
}

bool jcl_Negotiation::HasMechanism(const char* name) const {
    for (const std::string& offered : offer.mechanisms)
        if (offered == name)
            return true;
    return false;
}

void jcl_Negotiation::Authenticate() {
    static const jcl_Crypto::Hash preferred[] = {jcl_Crypto::sha256, jcl_Crypto::sha1};
    for (jcl_Crypto::Hash hash : preferred) {
        if (!HasMechanism(jcl_Scram::MechanismName(hash)))
            continue;
        scram.reset(new jcl_Scram(hash, text(settings.user), text(settings.password), clientNonce));
        if (!scram->IsUsable()) {
            Fail(unexpected, "the system gives no random numbers for the log-in");
            return;
        }
        StartSasl(jcl_Scram::MechanismName(hash), scram->ClientFirst());
        return;
    }
    // PLAIN shows the password to anyone on the way; only TLS hides it.
    if (HasMechanism("PLAIN") && encrypted) {
        StartSasl("PLAIN", std::string(1, '\0') + text(settings.user) + std::string(1, '\0') +
                               text(settings.password));
        return;
    }
    if (offer.iqAuth) {
        passwordInClear = !encrypted;
        mechanism = "iq:auth";
        SendLegacyAuth();
        return;
    }
    if (!encrypted && offer.tls)
        Fail(encryptionRequired, "the server offers a log-in only with encryption");
    else if (offer.mechanisms.empty())
        Fail(noCommonMechanism, "the server offers no way to log in");
    else if (!encrypted && HasMechanism("PLAIN"))
        Fail(noCommonMechanism, "no common SASL mechanism: the server offers " +
                                    listOf(offer.mechanisms) +
                                    ", and PLAIN would send the password unencrypted");
    else
        Fail(noCommonMechanism,
             "no common SASL mechanism: the server offers " + listOf(offer.mechanisms));
}

void jcl_Negotiation::StartSasl(const std::string& name, const std::string& initial) {
    mechanism = name;
    phase = authenticating;
    clientFinalSent = false;
    serverVerified = false;
    cow_String auth("<auth xmlns='");
    auth += saslNamespace;
    auth += "' mechanism='";
    auth += name.c_str();
    auth += "'>";
    auth += jcl_Base64::Encode(initial).c_str();
    auth += "</auth>";
    link.SendText(auth);
}

void jcl_Negotiation::HandleChallenge(const jcl_Node& element) {
    std::string data, why;
    if (!scram || !jcl_Base64::Decode(text(element.text), data)) {
        Fail(unexpected, "the server sent a challenge that this log-in cannot answer");
        return;
    }
    std::string answer;
    if (!clientFinalSent) {
        if (!scram->ClientFinal(data, answer, why)) {
            Fail(unexpected, why);
            return;
        }
        clientFinalSent = true;
    } else {
        // The server's proof may come as a last challenge, answered with an empty response.
        if (!scram->VerifyServerFinal(data, why)) {
            Fail(serverNotVerified, why);
            return;
        }
        serverVerified = true;
    }
    cow_String response("<response xmlns='");
    response += saslNamespace;
    response += "'>";
    response += jcl_Base64::Encode(answer).c_str();
    response += "</response>";
    link.SendText(response);
}

void jcl_Negotiation::HandleSuccess(const jcl_Node& element) {
    if (scram && !serverVerified) {
        std::string data, why;
        if (!clientFinalSent || !jcl_Base64::Decode(text(element.text), data) ||
            !scram->VerifyServerFinal(data, why)) {
            Fail(serverNotVerified,
                 why.empty() ? "the server could not prove that it knows the password" : why);
            return;
        }
        serverVerified = true;
    }
    authenticated = true;
    scram.reset();
    phase = awaitingHeader;
    link.RestartStream();
}

void jcl_Negotiation::HandleSaslFailure(const jcl_Node& element) {
    const std::string condition = conditionOf(element);
    const std::string explanation = explanationOf(element);
    if (condition == "not-authorized") {
        std::string reason = "wrong user or password";
        if (registration == notTried && !offer.registration)
            reason += " (or no such account: this server lets no client register one)";
        else if (registration == registrationRefused)
            reason += " (or no such account: the server refused to register it, " +
                      registrationCondition + ")";
        Fail(notAuthorized, reason);
    } else if (condition == "encryption-required") {
        Fail(encryptionRequired, "the server requires encryption");
    } else {
        Fail(refused,
             "the server refused the log-in (" +
                 withExplanation(condition.empty() ? "no reason given" : condition, explanation) +
                 ")");
    }
}

void jcl_Negotiation::HandleAnswer(const jcl_Node& iq) {
    const bool accepted = attribute(iq, "type") == "result";
    std::string condition, explanation;
    int code = 0;
    readIqError(iq, condition, explanation, code);
    const std::string reason =
        withExplanation(condition.empty() ? (code != 0 ? "error " + std::to_string(code)
                                                       : std::string("no reason given"))
                                          : condition,
                        explanation);
    switch (phase) {
    case awaitingRegistration:
    case awaitingLegacyRegistration:
        // An account that exists is the usual answer; the log-in tells whether it is ours.
        if (accepted)
            registration = registered;
        else if (condition == "conflict" || code == 409)
            registration = accountExists;
        else
            registration = registrationRefused;
        registrationCondition = reason;
        if (phase == awaitingLegacyRegistration)
            SendLegacyAuth();
        else
            Authenticate();
        return;
    case awaitingLegacyAuth:
        if (accepted) {
            boundAddress = settings.user + "@" + domain + "/" + settings.resource;
            Succeed();
        } else if (condition == "not-authorized" || code == 401) {
            Fail(notAuthorized, "wrong user or password");
        } else if (explanation.find("ncryption") != std::string::npos) {
            Fail(encryptionRequired, "the server requires encryption");
        } else {
            Fail(refused, "the server refused the log-in (" + reason + ")");
        }
        return;
    case awaitingBind:
        if (!accepted) {
            Fail(bindRefused, "the server refused the resource '" + text(settings.resource) +
                                  "' (" + reason + ")");
            return;
        }
        {
            const jcl_Node* bind = child(iq, "bind");
            const jcl_Node* jid = bind != nullptr ? child(*bind, "jid") : nullptr;
            boundAddress =
                jid != nullptr ? jid->text : settings.user + "@" + domain + "/" + settings.resource;
        }
        if (offer.sessionRequired)
            SendSession();
        else
            Succeed();
        return;
    case awaitingSession:
        if (accepted)
            Succeed();
        else
            Fail(refused, "the server refused the session (" + reason + ")");
        return;
    default:
        return;
    }
}

void jcl_Negotiation::SendRegistration(bool legacy) {
    phase = legacy ? awaitingLegacyRegistration : awaitingRegistration;
    // The registration carries the password as it is.
    if (!encrypted)
        passwordInClear = true;
    cow_String inner("<query xmlns='jabber:iq:register'>");
    inner += element("username", settings.user);
    inner += element("password", settings.password);
    inner += "</query>";
    pendingId = SendIq(inner, legacy);
}

void jcl_Negotiation::SendLegacyAuth() {
    phase = awaitingLegacyAuth;
    mechanism = "iq:auth";
    cow_String inner("<query xmlns='jabber:iq:auth'>");
    inner += element("username", settings.user);
    inner += element("password", settings.password);
    inner += element("resource", settings.resource);
    inner += "</query>";
    pendingId = SendIq(inner, true);
}

void jcl_Negotiation::SendBind() {
    phase = awaitingBind;
    cow_String inner("<bind xmlns='");
    inner += bindNamespace;
    inner += "'>";
    if (!settings.resource.IsEmpty())
        inner += element("resource", settings.resource);
    inner += "</bind>";
    pendingId = SendIq(inner, false);
}

void jcl_Negotiation::SendSession() {
    phase = awaitingSession;
    cow_String inner("<session xmlns='");
    inner += sessionNamespace;
    inner += "'/>";
    pendingId = SendIq(inner, false);
}

cow_String jcl_Negotiation::SendIq(const cow_String& inner, bool toDomain) {
    const cow_String id = link.NewId();
    cow_String iq("<iq type='set' id='");
    iq += escaped(id);
    iq += "'";
    if (toDomain) {
        iq += " to='";
        iq += escaped(domain);
        iq += "'";
    }
    iq += ">";
    iq += inner;
    iq += "</iq>\n";
    link.SendText(iq);
    return id;
}

void jcl_Negotiation::TlsEstablished() {
    if (outcome != inProgress || phase != handshaking)
        return;
    ++steps;
    encrypted = true;
    phase = awaitingHeader;
    link.RestartStream();
}

void jcl_Negotiation::TlsFailed(bool certificate, const std::string& text) {
    Fail(certificate ? certificateUntrusted : tlsFailed, text);
}

void jcl_Negotiation::StreamEnded(const std::string& text) {
    Fail(streamEnded, text);
}

void jcl_Negotiation::TimedOut(int milliseconds) {
    static const char* const waits[] = {"its stream header",
                                        "its stream features",
                                        "its answer to STARTTLS",
                                        "the TLS handshake",
                                        "its answer to the registration",
                                        "its answer to the log-in",
                                        "its answer to the resource binding",
                                        "its answer to the session request",
                                        "its answer to the registration",
                                        "its answer to the log-in",
                                        "nothing"};
    const std::string limit = milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                                       : std::to_string(milliseconds) + " ms";
    Fail(noAnswer, std::string("the server did not send ") + waits[phase] + " within " + limit);
}

void jcl_Negotiation::NoteStreamError(const jcl_Node& element) {
    const std::string condition = conditionOf(element);
    const std::string explanation = explanationOf(element);
    if (condition == "host-unknown")
        Fail(streamError,
             "the server does not serve the domain '" + text(domain) + "' (host-unknown)");
    else if (explanation.find("ncryption") != std::string::npos)
        Fail(encryptionRequired, "the server requires encryption");
    else
        Fail(streamError,
             "the server ended the stream (" +
                 withExplanation(condition.empty() ? "no reason given" : condition, explanation) +
                 ")");
}

void jcl_Negotiation::Succeed() {
    phase = finished;
    outcome = loggedIn;
    pendingId = cow_String();
}

void jcl_Negotiation::Fail(Failure why, const std::string& text) {
    if (outcome != inProgress)
        return;
    phase = finished;
    outcome = failed;
    failure = why;
    failureText = text;
    scram.reset();
}
