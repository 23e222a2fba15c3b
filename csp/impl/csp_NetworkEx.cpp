#include "csp/impl/csp_NetworkEx.h"

#include "base/atr_translate.h"
#include "csp/csp_Host.h"

namespace {

const char* const codeNames[] = {
    "invalid_address",     "invalid_host",       "invalid_network",      "invalid_service",
    "read_failed",         "write_failed",       "socket_path_exceeded", "eof_encountered",
    "system_call_failure", "system_call_timout",
};

const char* const codeMessages[] = {
    "An unknown or invalid address was supplied.",
    "Unknown or invalid host name was supplied.",
    "An invalid network name was supplied.",
    "An invalid service name was supplied.",
    "A read operation failed.",
    "A write operation failed.",
    "File path exceeded the system limit.",
    "An end of file marker was detected while reading from a stream.",
    "The operating system reported a failure during a system call.",
    "The call made to the operating system has timed out.",
};

const int codeCount = sizeof codeNames / sizeof codeNames[0];

bool isKnownCode(int code) {
    return code >= 0 && code < codeCount;
}

// Start-up and shut-down run on one thread (the library's start-up sequence).
int useCount = 0;

} // namespace

csp_NetworkException::csp_NetworkException(int code, const cow_String& text,
                                           const csp_SocketError& systemError)
    : nex_TextException(text), code(code), systemError(systemError) {}

csp_NetworkException::~csp_NetworkException() = default;

cow_String csp_NetworkException::getMessage() const {
    return getCodeMessage(code);
}

const char* csp_NetworkException::getCodeName(int code) {
    return isKnownCode(code) ? codeNames[code] : nullptr;
}

cow_String csp_NetworkException::getCodeMessage(int code) {
    if (!isKnownCode(code))
        return cow_String();
    return atr_translate(codeMessages[code]).Result();
}

void csp_NetworkException::throwError(int code, const cow_String& detail,
                                      const csp_SocketError& systemError) {
    atr_translate prefix("%d:");
    atr_SubstituteFormat(prefix, 1, code);
    cow_String text(prefix.Result());
    text.append(detail);
    csp_NetworkException exception(code, text, systemError);
    exception.Throw("csp/impl/csp_NetworkEx", __LINE__);
}

nex_Exception* csp_NetworkException::Copy() const {
    return new csp_NetworkException(*this);
}

void csp_initialize(int& moduleCount) {
    if (useCount++ == 0)
        ++moduleCount;
}

void csp_finalize(int& moduleCount) {
    // An unpaired finalisation leaves the counters alone rather than driving them negative.
    if (useCount == 0)
        return;
    if (--useCount == 0) {
        --moduleCount;
        csp_Host::releaseLocalHost();
    }
}
