#ifndef CSP_IMPL_OMI_FATALERROR_H
#define CSP_IMPL_OMI_FATALERROR_H

// What csp_Socket::disconnect throws when the platform fails it: the platform call that
// failed and the platform's error number. A plain record, thrown by value.
struct omi_FatalError {
    const char* callName;
    int errorCode;
};

#endif
