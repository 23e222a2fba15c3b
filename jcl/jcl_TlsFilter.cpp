#include "jcl/jcl_TlsFilter.h"

#include "jcl/jcl_Crypto.h"

jcl_TlsFilter::Sink::~Sink() = default;

jcl_TlsFilter::jcl_TlsFilter(Sink& sink, const Settings& settings)
    : sink(sink), settings(settings), state(handshaking), failure(noFailure) {}

jcl_TlsFilter::~jcl_TlsFilter() = default;

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool jcl_TlsFilter::ParsePin(const std::string& text, std::string& digest) {
    const std::string prefix = "sha256:";
    if (text.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string bytes;
    std::size_t i = prefix.size();
    while (i < text.size()) {
        if (!bytes.empty() && text[i] == ':')
            ++i;
        if (i + 1 >= text.size() || hexValue(text[i]) < 0 || hexValue(text[i + 1]) < 0)
            return false;
        bytes += static_cast<char>(hexValue(text[i]) * 16 + hexValue(text[i + 1]));
        i += 2;
    }
    if (bytes.size() != 32)
        return false;
    digest = bytes;
    return true;
}

std::string jcl_TlsFilter::Fingerprint(const std::string& der) {
    static const char digits[] = "0123456789ABCDEF";
    const std::string digest = jcl_Crypto::Digest(jcl_Crypto::sha256, der);
    std::string out;
    for (char byte : digest) {
        if (!out.empty())
            out += ':';
        out += digits[(static_cast<unsigned char>(byte) >> 4) & 15];
        out += digits[static_cast<unsigned char>(byte) & 15];
    }
    return out;
}

void jcl_TlsFilter::HandshakeCompleted(const std::string& certificateDer,
                                       const std::string& chainProblem) {
    if (certificateDer.empty()) {
        Fail(certificateUntrusted, "the server presented no certificate");
        return;
    }
    peerFingerprint = Fingerprint(certificateDer);
    if (!settings.pinnedDigest.empty()) {
        if (jcl_Crypto::Digest(jcl_Crypto::sha256, certificateDer) != settings.pinnedDigest)
            Fail(certificateUntrusted,
                 "the server's certificate is not the pinned one; its SHA-256 fingerprint is " +
                     peerFingerprint);
        else
            state = established;
        return;
    }
    if (!chainProblem.empty()) {
        Fail(certificateUntrusted, "the server's certificate is not trusted (" + chainProblem +
                                       "); its SHA-256 fingerprint is " + peerFingerprint);
        return;
    }
    state = established;
}

void jcl_TlsFilter::Fail(Failure why, const std::string& text) {
    if (state == failed)
        return;
    state = failed;
    failure = why;
    failureText = text;
}
