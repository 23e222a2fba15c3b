#ifndef JCL_JCL_TLSFILTER_H
#define JCL_JCL_TLSFILTER_H

#include <memory>
#include <string>

// TLS as a filter on bytes in memory: the connection hands it what the socket read and what
// the stream wants written, and the filter hands back, through its sink, the bytes for the
// socket and the decrypted bytes for the stream reader. It never owns or waits on a socket,
// so the connection's reads, writes and bounded waits stay as they are. Each platform has
// its backend (OpenSSL on POSIX, SChannel on Windows); the certificate policy is the same on
// both: a pinned certificate's SHA-256 when one is given, the trust store (with the extra
// anchors of caFile) and the server's name otherwise.
class jcl_TlsFilter {
public:
    class Sink {
    public:
        virtual ~Sink();
        // Bytes for the network, in order: handshake, records, alerts.
        virtual void TlsToNetwork(const char* data, int length) = 0;
        // Decrypted bytes of the stream.
        virtual void TlsToApplication(const char* data, int length) = 0;
    };

    struct Settings {
        // The name the certificate must carry (and the one sent to the server).
        std::string serverName;
        // PEM file whose certificates are trusted besides the system's; empty for none.
        std::string caFile;
        // SHA-256 of the one certificate accepted (32 bytes); empty: the trust store decides.
        std::string pinnedDigest;
    };

    enum State { handshaking, established, closed, failed };
    enum Failure { noFailure, setupFailed, handshakeFailed, certificateUntrusted, recordFailed };

    // The platform's backend, not yet started.
    static std::unique_ptr<jcl_TlsFilter> Create(Sink& sink, const Settings& settings);
    // "sha256:" and 64 hex digits, either case, pairs optionally separated by colons (as
    // openssl prints a fingerprint); the 32 bytes they give.
    static bool ParsePin(const std::string& text, std::string& digest);
    // "AB:01:..." of the SHA-256 of a certificate's DER bytes.
    static std::string Fingerprint(const std::string& der);

    virtual ~jcl_TlsFilter();
    jcl_TlsFilter(const jcl_TlsFilter&) = delete;
    jcl_TlsFilter& operator=(const jcl_TlsFilter&) = delete;

    // Sends the client's first handshake message.
    virtual void Start() = 0;
    // Bytes read from the socket; may complete the handshake, and may hand decrypted bytes
    // to the sink.
    virtual void FromNetwork(const char* data, int length) = 0;
    // Bytes of the stream to encrypt; only once established.
    virtual void ToNetwork(const char* data, int length) = 0;
    // Tells the server that nothing more comes (while established).
    virtual void Close() = 0;

    State GetState() const { return state; }
    Failure GetFailure() const { return failure; }
    // One line: what went wrong, with the certificate's fingerprint when it was the cause.
    const std::string& GetFailureText() const { return failureText; }
    // Of the server's certificate, once the handshake has shown it.
    const std::string& GetPeerFingerprint() const { return peerFingerprint; }

protected:
    jcl_TlsFilter(Sink& sink, const Settings& settings);

    // For the backend once the handshake is done: the server's certificate (DER) and what the
    // trust store found wrong with its chain or name (empty when nothing). Applies the
    // policy: established, or failed with the reason and the fingerprint.
    void HandshakeCompleted(const std::string& certificateDer, const std::string& chainProblem);
    void Fail(Failure why, const std::string& text);
    void SetClosed() { state = closed; }

    Sink& sink;
    const Settings settings;

private:
    State state;
    Failure failure;
    std::string failureText;
    std::string peerFingerprint;
};

#endif
