#include "jcl/windows/jcl_SChannelTls.h"

#include <schannel.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

const unsigned long requestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                   ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                   ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                   ISC_REQ_MANUAL_CRED_VALIDATION;

const char pemBegin[] = "-----BEGIN CERTIFICATE-----";
const char pemEnd[] = "-----END CERTIFICATE-----";

SecBuffer buffer(unsigned long type, void* data, unsigned long length) {
    SecBuffer made;
    made.BufferType = type;
    made.pvBuffer = data;
    made.cbBuffer = length;
    return made;
}

std::wstring wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], length);
    out.resize(static_cast<std::size_t>(length - 1));
    return out;
}

std::string statusText(long status) {
    switch (status) {
    case static_cast<long>(SEC_E_ALGORITHM_MISMATCH):
        return "no protocol version or cipher in common";
    case static_cast<long>(SEC_E_ILLEGAL_MESSAGE):
        return "the server sent what is not TLS, or refused the handshake";
    case static_cast<long>(SEC_E_MESSAGE_ALTERED):
    case static_cast<long>(SEC_E_DECRYPT_FAILURE):
        return "a record was altered on the way";
    default: {
        char text[48];
        std::snprintf(text, sizeof text, "SChannel status 0x%08lX",
                      static_cast<unsigned long>(status));
        return text;
    }
    }
}

std::string chainErrorText(DWORD error) {
    switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        return "self-signed, or signed by an authority that is not trusted";
    case static_cast<DWORD>(CERT_E_CHAINING):
        return "its chain does not lead to a trusted authority";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        return "it is for another name";
    case static_cast<DWORD>(CERT_E_EXPIRED):
        return "it has expired or is not yet valid";
    case static_cast<DWORD>(CERT_E_REVOKED):
        return "it has been revoked";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
        return "it is not for a server";
    default: {
        char text[48];
        std::snprintf(text, sizeof text, "certificate error 0x%08lX",
                      static_cast<unsigned long>(error));
        return text;
    }
    }
}

// The certificates of a PEM file, in a store of their own; null with why when it has none.
HCERTSTORE loadAnchors(const std::string& file, std::string& why) {
    std::ifstream in(file.c_str(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && text.empty()) {
        why = "cannot read the certificates of " + file;
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        why = "cannot set TLS up";
        return nullptr;
    }
    int added = 0;
    for (std::size_t at = text.find(pemBegin); at != std::string::npos;
         at = text.find(pemBegin, at + 1)) {
        const std::size_t end = text.find(pemEnd, at);
        if (end == std::string::npos)
            break;
        const std::string block = text.substr(at, end + sizeof pemEnd - 1 - at);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                 CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_USE_EXISTING, nullptr))
            ++added;
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        why = "no certificate found in " + file;
        return nullptr;
    }
    return store;
}

} // namespace

std::unique_ptr<jcl_TlsFilter> jcl_TlsFilter::Create(Sink& sink, const Settings& settings) {
    return std::unique_ptr<jcl_TlsFilter>(new jcl_SChannelTls(sink, settings));
}

jcl_SChannelTls::jcl_SChannelTls(Sink& sink, const Settings& settings)
    : jcl_TlsFilter(sink, settings), haveCredentials(false), haveContext(false), anchors(nullptr) {
    std::memset(&credentials, 0, sizeof credentials);
    std::memset(&context, 0, sizeof context);
    std::memset(&sizes, 0, sizeof sizes);
}

jcl_SChannelTls::~jcl_SChannelTls() {
    if (haveContext)
        DeleteSecurityContext(&context);
    if (haveCredentials)
        FreeCredentialsHandle(&credentials);
    if (anchors != nullptr)
        CertCloseStore(static_cast<HCERTSTORE>(anchors), 0);
}

void jcl_SChannelTls::Start() {
    if (GetState() != handshaking || haveCredentials)
        return;
    if (!settings.caFile.empty()) {
        std::string why;
        anchors = loadAnchors(settings.caFile, why);
        if (anchors == nullptr) {
            Fail(setupFailed, why);
            return;
        }
    }
    SCHANNEL_CRED wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.dwVersion = SCHANNEL_CRED_VERSION;
    wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // The certificate is checked after the handshake, by the library's own policy.
    wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    const SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &wanted, nullptr, nullptr, &credentials, nullptr);
    if (status != SEC_E_OK) {
        FailWithStatus(setupFailed, "cannot set TLS up", status);
        return;
    }
    haveCredentials = true;
    Handshake();
}

void jcl_SChannelTls::FromNetwork(const char* data, int length) {
    if (!haveCredentials || (GetState() != handshaking && GetState() != established))
        return;
    if (length > 0)
        incoming.append(data, static_cast<std::size_t>(length));
    if (GetState() == handshaking)
        Handshake();
    if (GetState() == established)
        ReadRecords();
}

void jcl_SChannelTls::Handshake() {
    for (;;) {
        SecBuffer input[2] = {buffer(SECBUFFER_TOKEN, incoming.empty() ? nullptr : &incoming[0],
                                     static_cast<unsigned long>(incoming.size())),
                              buffer(SECBUFFER_EMPTY, nullptr, 0)};
        SecBufferDesc inputs = {SECBUFFER_VERSION, 2, input};
        SecBuffer output[1] = {buffer(SECBUFFER_TOKEN, nullptr, 0)};
        SecBufferDesc outputs = {SECBUFFER_VERSION, 1, output};
        unsigned long attributes = 0;
        std::string name = settings.serverName;
        const SECURITY_STATUS status = InitializeSecurityContextA(
            &credentials, haveContext ? &context : nullptr, &name[0], requestFlags, 0, 0,
            haveContext ? &inputs : nullptr, 0, &context, &outputs, &attributes, nullptr);
        if (!haveContext && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                             status == SEC_I_INCOMPLETE_CREDENTIALS))
            haveContext = true;
        // Handshake messages, or the alert of a failed handshake, go out first.
        if (output[0].pvBuffer != nullptr) {
            SendToken(output[0].pvBuffer, output[0].cbBuffer);
            FreeContextBuffer(output[0].pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return;
        if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0 &&
            input[1].cbBuffer <= incoming.size())
            incoming.erase(0, incoming.size() - input[1].cbBuffer);
        else if (haveContext)
            incoming.clear();
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (incoming.empty())
                return;
            continue;
        }
        if (status != SEC_E_OK) {
            FailWithStatus(handshakeFailed, "the TLS handshake failed", status);
            return;
        }
        // A handshake the server asked for again once records flowed keeps the certificate
        // that was checked the first time.
        if (GetState() == established)
            return;
        const SECURITY_STATUS sized =
            QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
        if (sized != SEC_E_OK) {
            FailWithStatus(handshakeFailed, "the TLS handshake failed", sized);
            return;
        }
        CheckCertificate();
        return;
    }
}

void jcl_SChannelTls::CheckCertificate() {
    PCCERT_CONTEXT certificate = nullptr;
    std::string der;
    std::string problem;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) ==
            SEC_E_OK &&
        certificate != nullptr) {
        der.assign(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                   certificate->cbCertEncoded);
        // A pin decides by itself; the chain matters only without one.
        if (settings.pinnedDigest.empty())
            problem = ChainProblem(certificate);
        CertFreeCertificateContext(certificate);
    }
    HandshakeCompleted(der, problem);
}

std::string jcl_SChannelTls::ChainProblem(const void* presented) {
    const PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(presented);
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (extra == nullptr)
        return "the certificate could not be checked";
    CertAddStoreToCollection(extra, certificate->hCertStore, 0, 0);
    if (anchors != nullptr)
        CertAddStoreToCollection(extra, static_cast<HCERTSTORE>(anchors), 0, 0);
    CERT_CHAIN_PARA chainPara;
    std::memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::string problem;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, extra, &chainPara, 0, nullptr,
                                 &chain)) {
        CertCloseStore(extra, 0);
        return "its chain could not be built";
    }
    std::wstring name = wide(settings.serverName);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = &name[0];
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict;
    std::memset(&verdict, 0, sizeof verdict);
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
        problem = "the certificate could not be checked";
    } else if (verdict.dwError == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) && anchors != nullptr &&
               chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
        // Rooted in one of the given anchors: checked again for its name and dates alone.
        const PCERT_SIMPLE_CHAIN simple = chain->rgpChain[0];
        const PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        const PCCERT_CONTEXT known =
            CertFindCertificateInStore(static_cast<HCERTSTORE>(anchors), X509_ASN_ENCODING, 0,
                                       CERT_FIND_EXISTING, root, nullptr);
        if (known != nullptr) {
            CertFreeCertificateContext(known);
            policy.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
            std::memset(&verdict, 0, sizeof verdict);
            verdict.cbSize = sizeof verdict;
            if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict))
                problem = "the certificate could not be checked";
            else if (verdict.dwError != 0)
                problem = chainErrorText(verdict.dwError);
        } else {
            problem = chainErrorText(verdict.dwError);
        }
    } else if (verdict.dwError != 0) {
        problem = chainErrorText(verdict.dwError);
    }
    CertFreeCertificateChain(chain);
    CertCloseStore(extra, 0);
    return problem;
}

void jcl_SChannelTls::ReadRecords() {
    std::string plain;
    while (!incoming.empty() && GetState() == established) {
        SecBuffer parts[4] = {
            buffer(SECBUFFER_DATA, &incoming[0], static_cast<unsigned long>(incoming.size())),
            buffer(SECBUFFER_EMPTY, nullptr, 0), buffer(SECBUFFER_EMPTY, nullptr, 0),
            buffer(SECBUFFER_EMPTY, nullptr, 0)};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, parts};
        const SECURITY_STATUS status = DecryptMessage(&context, &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            break;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            SetClosed();
            incoming.clear();
            break;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            FailWithStatus(recordFailed, "a TLS record could not be read", status);
            break;
        }
        std::string extra;
        for (SecBuffer& part : parts) {
            if (part.BufferType == SECBUFFER_DATA && part.pvBuffer != nullptr)
                plain.append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
            // Bytes of the next record: the end of what was given, untouched.
            else if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer <= incoming.size())
                extra = incoming.substr(incoming.size() - part.cbBuffer);
        }
        incoming = extra;
        if (status == SEC_I_RENEGOTIATE)
            Handshake();
    }
    if (!plain.empty() && GetState() != failed)
        sink.TlsToApplication(plain.data(), static_cast<int>(plain.size()));
}

void jcl_SChannelTls::ToNetwork(const char* data, int length) {
    if (GetState() != established || length <= 0)
        return;
    const std::size_t largest = sizes.cbMaximumMessage > 0 ? sizes.cbMaximumMessage : 16384;
    std::size_t offset = 0;
    while (offset < static_cast<std::size_t>(length)) {
        const std::size_t chunk = std::min(largest, static_cast<std::size_t>(length) - offset);
        std::string record(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
        std::memcpy(&record[sizes.cbHeader], data + offset, chunk);
        SecBuffer parts[4] = {
            buffer(SECBUFFER_STREAM_HEADER, &record[0], sizes.cbHeader),
            buffer(SECBUFFER_DATA, &record[sizes.cbHeader], static_cast<unsigned long>(chunk)),
            buffer(SECBUFFER_STREAM_TRAILER, &record[sizes.cbHeader + chunk], sizes.cbTrailer),
            buffer(SECBUFFER_EMPTY, nullptr, 0)};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, parts};
        const SECURITY_STATUS status = EncryptMessage(&context, 0, &message, 0);
        if (status != SEC_E_OK) {
            FailWithStatus(recordFailed, "the stream could not be encrypted", status);
            return;
        }
        sink.TlsToNetwork(record.data(), static_cast<int>(parts[0].cbBuffer + parts[1].cbBuffer +
                                                          parts[2].cbBuffer));
        offset += chunk;
    }
}

void jcl_SChannelTls::Close() {
    if (GetState() != established)
        return;
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer token[1] = {buffer(SECBUFFER_TOKEN, &shutdown, sizeof shutdown)};
    SecBufferDesc tokens = {SECBUFFER_VERSION, 1, token};
    SetClosed();
    if (ApplyControlToken(&context, &tokens) != SEC_E_OK)
        return;
    SecBuffer output[1] = {buffer(SECBUFFER_TOKEN, nullptr, 0)};
    SecBufferDesc outputs = {SECBUFFER_VERSION, 1, output};
    unsigned long attributes = 0;
    std::string name = settings.serverName;
    InitializeSecurityContextA(&credentials, &context, &name[0], requestFlags, 0, 0, nullptr, 0,
                               &context, &outputs, &attributes, nullptr);
    if (output[0].pvBuffer != nullptr) {
        SendToken(output[0].pvBuffer, output[0].cbBuffer);
        FreeContextBuffer(output[0].pvBuffer);
    }
}

void jcl_SChannelTls::SendToken(void* data, unsigned long length) {
    if (length > 0)
        sink.TlsToNetwork(static_cast<const char*>(data), static_cast<int>(length));
}

void jcl_SChannelTls::FailWithStatus(Failure why, const char* what, long status) {
    Fail(why, std::string(what) + ": " + statusText(status));
}
