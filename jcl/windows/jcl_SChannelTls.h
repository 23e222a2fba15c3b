#ifndef JCL_WINDOWS_JCL_SCHANNELTLS_H
#define JCL_WINDOWS_JCL_SCHANNELTLS_H

#include "jcl/jcl_TlsFilter.h"

#include <winsock2.h>

#include <windows.h>

#define SECURITY_WIN32
#include <security.h>

#include <string>

// The TLS filter on SChannel: InitializeSecurityContext for the handshake, EncryptMessage and
// DecryptMessage for the records, all on buffers in memory. The certificate is checked by hand
// after the handshake (CertGetCertificateChain and the SSL chain policy), so that the library's
// policy (a pin, extra anchors) decides, not the system's defaults.
class jcl_SChannelTls : public jcl_TlsFilter {
public:
    jcl_SChannelTls(Sink& sink, const Settings& settings);
    ~jcl_SChannelTls() override;

    void Start() override;
    void FromNetwork(const char* data, int length) override;
    void ToNetwork(const char* data, int length) override;
    void Close() override;

private:
    void Handshake();
    void ReadRecords();
    // The answer to a server that asks for more handshake once records flow.
    void Renegotiate(const std::string& token);
    void CheckCertificate();
    std::string ChainProblem(const void* certificate);
    void SendToken(void* buffer, unsigned long length);
    void FailWithStatus(Failure why, const char* what, long status);

    CredHandle credentials;
    CtxtHandle context;
    bool haveCredentials;
    bool haveContext;
    SecPkgContext_StreamSizes sizes;
    // The certificates of caFile (an HCERTSTORE); null without one.
    void* anchors;
    // Received bytes not yet consumed by the handshake or a record.
    std::string incoming;
};

#endif
