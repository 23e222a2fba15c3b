#ifndef CSP_IMPL_CSP_NETWORKEX_H
#define CSP_IMPL_CSP_NETWORKEX_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "base/nex_TextException.h"
#include "csp/impl/csp_SocketError.h"
#include "csp/impl/omi_FatalError.h"

// The one exception of the socket layer: a text and one of ten codes, with the platform's
// error that the failing call left behind (none for a failure that no call reported).
class QORKEL_API csp_NetworkException : public nex_TextException {
public:
    enum csp_NetworkErrorCode {
        invalid_address = 0,
        invalid_host = 1,
        invalid_network = 2,
        invalid_service = 3,
        read_failed = 4,
        write_failed = 5,
        socket_path_exceeded = 6,
        eof_encountered = 7,
        system_call_failure = 8,
        system_call_timout = 9
    };

    csp_NetworkException(int code, const cow_String& text,
                         const csp_SocketError& systemError = csp_SocketError());
    ~csp_NetworkException() override;

    int getCode() const { return code; }
    // What the platform said of the call that failed, kept as the exception was raised.
    const csp_SocketError& getSystemError() const { return systemError; }
    cow_String getMessage() const;

    // Null for a code outside 0..9.
    static const char* getCodeName(int code);
    // Empty for a code outside 0..9.
    static cow_String getCodeMessage(int code);

    // Raises the code with the text "<code>:<detail>", reporting this module's source file.
    [[noreturn]] static void throwError(int code, const cow_String& detail,
                                        const csp_SocketError& systemError = csp_SocketError());

    [[noreturn]] void Propagate() const override { throw *this; }
    nex_Exception* Copy() const override;

private:
    int code;
    csp_SocketError systemError;
};

// The socket module's start-up and shut-down; only the first initialisation and the last
// finalisation move the caller's module counter. The last one also releases the local
// host record.
QORKEL_API void csp_initialize(int& moduleCount);
QORKEL_API void csp_finalize(int& moduleCount);

#endif
