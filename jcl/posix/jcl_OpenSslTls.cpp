#include "jcl/posix/jcl_OpenSslTls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

namespace {

const int readChunk = 16384;

std::string lastOpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    std::string text;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        text = reason != nullptr ? reason : "error " + std::to_string(code);
    }
    ERR_clear_error();
    return text;
}

// In the same words on every platform; OpenSSL's own for the rarer cases.
std::string chainProblem(long verdict) {
    switch (verdict) {
    case X509_V_OK:
        return std::string();
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "self-signed, or signed by an authority that is not trusted";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "it is for another name";
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "it has expired or is not yet valid";
    case X509_V_ERR_CERT_REVOKED:
        return "it has been revoked";
    case X509_V_ERR_INVALID_PURPOSE:
        return "it is not for a server";
    default:
        return X509_verify_cert_error_string(verdict);
    }
}

// A dotted address carries no name to send or to find in the certificate.
bool isIpAddress(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string::npos;
}

} // namespace

std::unique_ptr<jcl_TlsFilter> jcl_TlsFilter::Create(Sink& sink, const Settings& settings) {
    return std::unique_ptr<jcl_TlsFilter>(new jcl_OpenSslTls(sink, settings));
}

jcl_OpenSslTls::jcl_OpenSslTls(Sink& sink, const Settings& settings)
    : jcl_TlsFilter(sink, settings), context(nullptr), connection(nullptr), fromNetwork(nullptr),
      toNetwork(nullptr) {}

jcl_OpenSslTls::~jcl_OpenSslTls() {
    // The connection owns both buffers once they are attached to it.
    if (connection != nullptr)
        SSL_free(connection);
    if (context != nullptr)
        SSL_CTX_free(context);
}

bool jcl_OpenSslTls::Prepare() {
    ERR_clear_error();
    context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        FailWithErrors(setupFailed, "cannot set TLS up");
        return false;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A pinned certificate needs no authority.
    if (SSL_CTX_set_default_verify_paths(context) != 1 && settings.pinnedDigest.empty()) {
        FailWithErrors(setupFailed, "cannot read the system's trusted certificates");
        return false;
    }
    ERR_clear_error();
    if (!settings.caFile.empty() &&
        SSL_CTX_load_verify_locations(context, settings.caFile.c_str(), nullptr) != 1) {
        FailWithErrors(setupFailed, ("cannot read the certificates of " + settings.caFile).c_str());
        return false;
    }
    // The handshake runs to its end whatever the certificate; the policy is applied to the
    // verdict afterwards, before a single byte of the stream is encrypted.
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    connection = SSL_new(context);
    fromNetwork = BIO_new(BIO_s_mem());
    toNetwork = BIO_new(BIO_s_mem());
    if (connection == nullptr || fromNetwork == nullptr || toNetwork == nullptr) {
        if (fromNetwork != nullptr)
            BIO_free(fromNetwork);
        if (toNetwork != nullptr)
            BIO_free(toNetwork);
        fromNetwork = toNetwork = nullptr;
        FailWithErrors(setupFailed, "cannot set TLS up");
        return false;
    }
    SSL_set_bio(connection, fromNetwork, toNetwork);
    const std::string& name = settings.serverName;
    bool named;
    if (isIpAddress(name)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(connection), name.c_str()) == 1;
    } else {
        named = SSL_set_tlsext_host_name(connection, name.c_str()) == 1 &&
                SSL_set1_host(connection, name.c_str()) == 1;
    }
    if (!named) {
        FailWithErrors(setupFailed, ("cannot check certificates for the name " + name).c_str());
        return false;
    }
    SSL_set_connect_state(connection);
    return true;
}

void jcl_OpenSslTls::Start() {
    if (GetState() != handshaking || connection != nullptr || !Prepare())
        return;
    Handshake();
}

void jcl_OpenSslTls::FromNetwork(const char* data, int length) {
    if (connection == nullptr || (GetState() != handshaking && GetState() != established))
        return;
    if (length > 0 && BIO_write(fromNetwork, data, length) != length) {
        FailWithErrors(recordFailed, "cannot take the bytes received");
        return;
    }
    if (GetState() == handshaking)
        Handshake();
    if (GetState() == established)
        ReadRecords();
}

void jcl_OpenSslTls::Handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(connection);
    // An alert the handshake sends on failure goes out before the failure is noted.
    FlushToNetwork();
    if (result == 1) {
        CheckCertificate();
        return;
    }
    const int error = SSL_get_error(connection, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return;
    FailWithErrors(handshakeFailed, "the TLS handshake failed");
}

void jcl_OpenSslTls::CheckCertificate() {
    std::string der;
    X509* certificate = SSL_get1_peer_certificate(connection);
    if (certificate != nullptr) {
        unsigned char* bytes = nullptr;
        const int length = i2d_X509(certificate, &bytes);
        if (length > 0)
            der.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
        OPENSSL_free(bytes);
        X509_free(certificate);
    }
    HandshakeCompleted(der, chainProblem(SSL_get_verify_result(connection)));
}

void jcl_OpenSslTls::ReadRecords() {
    std::string plain;
    char buffer[readChunk];
    for (;;) {
        ERR_clear_error();
        const int count = SSL_read(connection, buffer, readChunk);
        if (count > 0) {
            plain.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        const int error = SSL_get_error(connection, count);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            break;
        if (error == SSL_ERROR_ZERO_RETURN)
            SetClosed();
        else
            FailWithErrors(recordFailed, "a TLS record could not be read");
        break;
    }
    // Session tickets and key updates ask for an answer too.
    FlushToNetwork();
    // Handed over last: the reader may answer at once, through ToNetwork.
    if (!plain.empty())
        sink.TlsToApplication(plain.data(), static_cast<int>(plain.size()));
}

void jcl_OpenSslTls::ToNetwork(const char* data, int length) {
    if (GetState() != established || length <= 0)
        return;
    ERR_clear_error();
    // A memory buffer takes every record, so one write takes all.
    if (SSL_write(connection, data, length) != length) {
        FailWithErrors(recordFailed, "the stream could not be encrypted");
        return;
    }
    FlushToNetwork();
}

void jcl_OpenSslTls::Close() {
    if (GetState() != established)
        return;
    ERR_clear_error();
    SSL_shutdown(connection);
    FlushToNetwork();
    SetClosed();
}

void jcl_OpenSslTls::FlushToNetwork() {
    char* pending = nullptr;
    const long length = BIO_get_mem_data(toNetwork, &pending);
    if (length <= 0)
        return;
    const std::string bytes(pending, static_cast<std::size_t>(length));
    (void)BIO_reset(toNetwork);
    sink.TlsToNetwork(bytes.data(), static_cast<int>(bytes.size()));
}

void jcl_OpenSslTls::FailWithErrors(Failure why, const char* what) {
    const std::string reason = lastOpenSslError();
    Fail(why, reason.empty() ? std::string(what) : std::string(what) + ": " + reason);
}
