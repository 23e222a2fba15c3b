#ifndef JCL_JCL_LOGINSETTINGS_H
#define JCL_JCL_LOGINSETTINGS_H

#include "base/cow_String.h"

#include <string>

// Who logs in and on what terms: the account, the resource to bind, whether to register the
// account where the server offers that, when to encrypt, and which certificate to trust.
struct jcl_LogInSettings {
    enum Encryption {
        // TLS whenever the server offers it; a server that offers none is used unencrypted.
        encryptionWhenOffered,
        // No log-in without TLS.
        encryptionRequired,
        // Never TLS: a server that requires it refuses the log-in.
        encryptionOff
    };

    cow_String user;
    cow_String password;
    cow_String resource;
    // A refusal, as for an account that exists, is no failure.
    bool registerAccount = true;
    Encryption encryption = encryptionWhenOffered;
    // PEM file of certificates trusted besides the system's; empty for none.
    std::string caFile;
    // SHA-256 of the one certificate accepted (32 bytes); empty: the trust store and the
    // server's name decide.
    std::string pinnedDigest;
};

#endif
