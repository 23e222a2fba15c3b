#include "jcl/jcl_Scram.h"

#include "jcl/jcl_Base64.h"

#include <cstdlib>

namespace {

const int nonceBytes = 24;

// "biws": the base64 of the header "n,,", which says that no channel binding is used.
const char channelBinding[] = "biws";

std::string xorOf(const std::string& left, const std::string& right) {
    std::string out(left);
    for (std::size_t i = 0; i < out.size() && i < right.size(); ++i)
        out[i] = static_cast<char>(out[i] ^ right[i]);
    return out;
}

// Compares every byte, so that how long it takes tells nothing of where they differ.
bool sameBytes(const std::string& left, const std::string& right) {
    if (left.size() != right.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < left.size(); ++i)
        difference |= static_cast<unsigned char>(left[i] ^ right[i]);
    return difference == 0;
}

// The value of "key=" when the attribute at position begins with it.
bool attribute(const std::string& message, std::size_t& position, char key, std::string& value) {
    if (position + 1 >= message.size() || message[position] != key || message[position + 1] != '=')
        return false;
    const std::size_t end = message.find(',', position);
    const std::size_t stop = end == std::string::npos ? message.size() : end;
    value = message.substr(position + 2, stop - position - 2);
    position = end == std::string::npos ? message.size() : end + 1;
    return true;
}

bool parseIterations(const std::string& text, int& iterations) {
    if (text.empty() || text.size() > 9 || text[0] == '0')
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    iterations = std::atoi(text.c_str());
    return true;
}

// Printable ASCII but ",", as the nonce's grammar has it.
bool isPrintable(const std::string& text) {
    for (char c : text)
        if (c < 0x21 || c > 0x7e || c == ',')
            return false;
    return true;
}

} // namespace

jcl_Scram::jcl_Scram(jcl_Crypto::Hash hash, const std::string& user, const std::string& password,
                     const std::string& clientNonce)
    : hash(hash), user(user), password(password), clientNonce(clientNonce) {
    if (this->clientNonce.empty()) {
        const std::string random = jcl_Crypto::RandomBytes(nonceBytes);
        if (!random.empty())
            this->clientNonce = jcl_Base64::Encode(random);
    }
}

const char* jcl_Scram::MechanismName(jcl_Crypto::Hash hash) {
    return hash == jcl_Crypto::sha1 ? "SCRAM-SHA-1" : "SCRAM-SHA-256";
}

std::string jcl_Scram::EscapeName(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '=')
            out += "=3D";
        else if (c == ',')
            out += "=2C";
        else
            out += c;
    }
    return out;
}

std::string jcl_Scram::ClientFirst() const {
    return "n,,n=" + EscapeName(user) + ",r=" + clientNonce;
}

bool jcl_Scram::ClientFinal(const std::string& serverFirst, std::string& clientFinal,
                            std::string& why) {
    std::size_t position = 0;
    std::string nonce, salt64, iterationText, salt;
    if (serverFirst.compare(0, 2, "m=") == 0) {
        why = "the server demands an extension that this client does not know";
        return false;
    }
    if (!attribute(serverFirst, position, 'r', nonce) ||
        !attribute(serverFirst, position, 's', salt64) ||
        !attribute(serverFirst, position, 'i', iterationText)) {
        why = "the server's challenge is not a SCRAM challenge";
        return false;
    }
    // Our nonce with the server's appended: anything else may be a replay of another
    // exchange.
    if (nonce.size() <= clientNonce.size() ||
        nonce.compare(0, clientNonce.size(), clientNonce) != 0 || !isPrintable(nonce)) {
        why = "the server's challenge does not continue this client's nonce";
        return false;
    }
    int iterations = 0;
    if (!jcl_Base64::Decode(salt64, salt) || salt.empty() ||
        !parseIterations(iterationText, iterations)) {
        why = "the server's challenge holds no usable salt or iteration count";
        return false;
    }
    if (iterations > maxIterations) {
        why = "the server asks for " + iterationText + " iterations, more than " +
              std::to_string(maxIterations);
        return false;
    }
    const std::string saltedPassword = jcl_Crypto::Pbkdf2(hash, password, salt, iterations);
    const std::string clientKey = jcl_Crypto::Hmac(hash, saltedPassword, "Client Key");
    const std::string storedKey = jcl_Crypto::Digest(hash, clientKey);
    const std::string withoutProof = std::string("c=") + channelBinding + ",r=" + nonce;
    const std::string authMessage =
        ClientFirst().substr(3) + "," + serverFirst + "," + withoutProof;
    const std::string clientSignature = jcl_Crypto::Hmac(hash, storedKey, authMessage);
    const std::string serverKey = jcl_Crypto::Hmac(hash, saltedPassword, "Server Key");
    expectedServerSignature = jcl_Crypto::Hmac(hash, serverKey, authMessage);
    if (saltedPassword.empty() || clientKey.empty() || storedKey.empty() ||
        clientSignature.empty() || serverKey.empty() || expectedServerSignature.empty()) {
        expectedServerSignature.clear();
        why = "the system's cryptography failed";
        return false;
    }
    clientFinal = withoutProof + ",p=" + jcl_Base64::Encode(xorOf(clientKey, clientSignature));
    return true;
}

bool jcl_Scram::VerifyServerFinal(const std::string& serverFinal, std::string& why) const {
    std::size_t position = 0;
    std::string value, signature;
    if (attribute(serverFinal, position, 'e', value)) {
        why = "the server refused the proof (" + value + ")";
        return false;
    }
    position = 0;
    if (expectedServerSignature.empty() || !attribute(serverFinal, position, 'v', value) ||
        !jcl_Base64::Decode(value, signature) || !sameBytes(signature, expectedServerSignature)) {
        why = "the server could not prove that it knows the password";
        return false;
    }
    return true;
}
