#ifndef JCL_JCL_CRYPTO_H
#define JCL_JCL_CRYPTO_H

#include <string>

// The cryptography the log-in needs, from the platform's own library (OpenSSL on POSIX,
// BCrypt on Windows): nothing here is computed by hand. Bytes travel in std::string.
// A failure of the platform's library gives an empty result, which no digest can be.
class jcl_Crypto {
public:
    enum Hash { sha1, sha256 };

    static int DigestSize(Hash hash) { return hash == sha1 ? 20 : 32; }
    static std::string Digest(Hash hash, const std::string& data);
    static std::string Hmac(Hash hash, const std::string& key, const std::string& data);
    // PBKDF2 with HMAC over hash, one digest's worth of key; iterations must be 1 or more.
    static std::string Pbkdf2(Hash hash, const std::string& password, const std::string& salt,
                              int iterations);
    // Bytes from the system's cryptographic random source; empty when it has none.
    static std::string RandomBytes(int count);
};

#endif
