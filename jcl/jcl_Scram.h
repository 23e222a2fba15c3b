#ifndef JCL_JCL_SCRAM_H
#define JCL_JCL_SCRAM_H

#include "jcl/jcl_Crypto.h"

#include <string>

// The client's side of a SASL SCRAM exchange without channel binding: the first message,
// the proof of the password that answers the server's challenge, and the check that the
// server, too, knows the password. The password never leaves the client.
class jcl_Scram {
public:
    // More than this many iterations is a server making every log-in burn a client's time.
    static const int maxIterations = 1000000;

    // An empty nonce is replaced by a random one.
    jcl_Scram(jcl_Crypto::Hash hash, const std::string& user, const std::string& password,
              const std::string& clientNonce = std::string());

    // "SCRAM-SHA-1" or "SCRAM-SHA-256".
    static const char* MechanismName(jcl_Crypto::Hash hash);
    // A user name as the exchange carries it: "=" and "," written as "=3D" and "=2C".
    static std::string EscapeName(const std::string& name);

    // False when no random nonce could be made; nothing may then be sent.
    bool IsUsable() const { return !clientNonce.empty(); }
    // The whole first message, header included.
    std::string ClientFirst() const;
    // The answer to the server's first message; false, with why, when it cannot be
    // answered (malformed, a nonce that is not ours, unreasonable iterations).
    bool ClientFinal(const std::string& serverFirst, std::string& clientFinal, std::string& why);
    // Whether the server's last message proves that it knows the password. False, with why,
    // for a wrong or missing proof or an error the server reports instead.
    bool VerifyServerFinal(const std::string& serverFinal, std::string& why) const;

private:
    jcl_Crypto::Hash hash;
    std::string user;
    std::string password;
    std::string clientNonce;
    std::string expectedServerSignature;
};

#endif
