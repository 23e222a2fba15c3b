#include "jcl/jcl_Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace {

const EVP_MD* digestOf(jcl_Crypto::Hash hash) {
    return hash == jcl_Crypto::sha1 ? EVP_sha1() : EVP_sha256();
}

const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

} // namespace

std::string jcl_Crypto::Digest(Hash hash, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, digestOf(hash), nullptr) != 1)
        return std::string();
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string jcl_Crypto::Hmac(Hash hash, const std::string& key, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(digestOf(hash), key.data(), static_cast<int>(key.size()), bytes(data), data.size(),
             out, &length) == nullptr)
        return std::string();
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string jcl_Crypto::Pbkdf2(Hash hash, const std::string& password, const std::string& salt,
                               int iterations) {
    if (iterations < 1)
        return std::string();
    std::string out(static_cast<std::size_t>(DigestSize(hash)), '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), bytes(salt),
                          static_cast<int>(salt.size()), iterations, digestOf(hash),
                          static_cast<int>(out.size()),
                          reinterpret_cast<unsigned char*>(&out[0])) != 1)
        return std::string();
    return out;
}

std::string jcl_Crypto::RandomBytes(int count) {
    if (count <= 0)
        return std::string();
    std::string out(static_cast<std::size_t>(count), '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&out[0]), count) != 1)
        return std::string();
    return out;
}
