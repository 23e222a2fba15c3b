#ifndef CSP_IMPL_CSP_SOCKETERROR_H
#define CSP_IMPL_CSP_SOCKETERROR_H

#include "base/base_Export.h"

#include <string>

// What a socket call that failed left behind: the platform's error number, read at once
// after the call, before any other call could replace it. Every call of the socket layer
// reports through one; its raising forms put it into the exception they raise.
class QORKEL_API csp_SocketError {
public:
    // The causes callers act on; everything else is `other`.
    enum Kind {
        none,
        wouldBlock,
        interrupted,
        timedOut,
        refused,
        reset,
        aborted,
        notConnected,
        shutDown,
        addressInUse,
        addressNotAvailable,
        networkUnreachable,
        hostUnreachable,
        permissionDenied,
        noDescriptors,
        notASocket,
        other
    };

    csp_SocketError() : number(0) {}
    explicit csp_SocketError(int platformError) : number(platformError) {}

    bool failed() const { return number != 0; }
    // The platform's number (Windows' numbering on every platform); 0 when nothing failed.
    int code() const { return number; }
    Kind kind() const;
    // In a few words, for a user: "connection refused: nothing listens on that port",
    // "address already in use", "socket error 10050".
    std::string text() const;

private:
    int number;
};

#endif
