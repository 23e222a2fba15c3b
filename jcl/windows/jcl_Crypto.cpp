#include "jcl/jcl_Crypto.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

// An algorithm provider of BCrypt, closed with the scope.
class Provider {
public:
    Provider(jcl_Crypto::Hash hash, bool keyed) : handle(nullptr) {
        const LPCWSTR algorithm =
            hash == jcl_Crypto::sha1 ? BCRYPT_SHA1_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
        if (!succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr,
                                                   keyed ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0)))
            handle = nullptr;
    }
    ~Provider() {
        if (handle != nullptr)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    BCRYPT_ALG_HANDLE handle;
};

PUCHAR bytes(const std::string& text) {
    // BCrypt takes its inputs through non-const pointers but does not write them; an empty
    // text still needs a valid pointer.
    static UCHAR none = 0;
    return text.empty() ? &none : reinterpret_cast<PUCHAR>(const_cast<char*>(text.data()));
}

std::string digestOf(jcl_Crypto::Hash hash, const std::string* key, const std::string& data) {
    const Provider provider(hash, key != nullptr);
    if (provider.handle == nullptr)
        return std::string();
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!succeeded(BCryptCreateHash(provider.handle, &handle, nullptr, 0,
                                    key != nullptr ? bytes(*key) : nullptr,
                                    key != nullptr ? static_cast<ULONG>(key->size()) : 0, 0)))
        return std::string();
    std::string out(static_cast<std::size_t>(jcl_Crypto::DigestSize(hash)), '\0');
    const bool done =
        succeeded(BCryptHashData(handle, bytes(data), static_cast<ULONG>(data.size()), 0)) &&
        succeeded(BCryptFinishHash(handle, reinterpret_cast<PUCHAR>(&out[0]),
                                   static_cast<ULONG>(out.size()), 0));
    BCryptDestroyHash(handle);
    return done ? out : std::string();
}

} // namespace

std::string jcl_Crypto::Digest(Hash hash, const std::string& data) {
    return digestOf(hash, nullptr, data);
}

std::string jcl_Crypto::Hmac(Hash hash, const std::string& key, const std::string& data) {
    return digestOf(hash, &key, data);
}

std::string jcl_Crypto::Pbkdf2(Hash hash, const std::string& password, const std::string& salt,
                               int iterations) {
    if (iterations < 1)
        return std::string();
    const Provider provider(hash, true);
    if (provider.handle == nullptr)
        return std::string();
    std::string out(static_cast<std::size_t>(DigestSize(hash)), '\0');
    if (!succeeded(BCryptDeriveKeyPBKDF2(
            provider.handle, bytes(password), static_cast<ULONG>(password.size()), bytes(salt),
            static_cast<ULONG>(salt.size()), static_cast<ULONGLONG>(iterations),
            reinterpret_cast<PUCHAR>(&out[0]), static_cast<ULONG>(out.size()), 0)))
        return std::string();
    return out;
}

std::string jcl_Crypto::RandomBytes(int count) {
    if (count <= 0)
        return std::string();
    std::string out(static_cast<std::size_t>(count), '\0');
    if (!succeeded(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&out[0]),
                                   static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return std::string();
    return out;
}
