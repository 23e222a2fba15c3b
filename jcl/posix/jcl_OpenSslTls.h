#ifndef JCL_POSIX_JCL_OPENSSLTLS_H
#define JCL_POSIX_JCL_OPENSSLTLS_H

#include "jcl/jcl_TlsFilter.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

// The TLS filter on OpenSSL, through a pair of memory buffers: one that the filter fills with
// what the socket read, one that it empties towards the socket.
class jcl_OpenSslTls : public jcl_TlsFilter {
public:
    jcl_OpenSslTls(Sink& sink, const Settings& settings);
    ~jcl_OpenSslTls() override;

    void Start() override;
    void FromNetwork(const char* data, int length) override;
    void ToNetwork(const char* data, int length) override;
    void Close() override;

private:
    bool Prepare();
    void Handshake();
    void ReadRecords();
    void CheckCertificate();
    void FlushToNetwork();
    // The handshake or a record failed: OpenSSL's reason in one line.
    void FailWithErrors(Failure why, const char* what);

    SSL_CTX* context;
    SSL* connection;
    BIO* fromNetwork;
    BIO* toNetwork;
};

#endif
