#include "ipm/ipm_DirectMechanism.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_PayloadEncoder.h"
#include "platform/platform_Sockets.h"

#include <algorithm>
#include <cstdlib>

namespace {

const long pollWaitMicroseconds = 60000;
const int pollReadSize = 2000;
const char killCommand[] = "Kill";

// The received bytes may hold NUL bytes, so they are searched by count, not as a C string.
bool holdsKillCommand(const char* received, int count) {
    const char* const end = received + count;
    const char* const commandEnd = killCommand + sizeof killCommand - 1;
    return std::search(received, end, killCommand, commandEnd) != end;
}

} // namespace

ipm_DirectMechanism::ipm_DirectMechanism() : socket(csp_TcpSocket::doNotBind), connected(false) {}

ipm_DirectMechanism::~ipm_DirectMechanism() {
    try {
        socket.disconnect();
    } catch (...) {
    }
    try {
        socket.close();
    } catch (...) {
    }
}

bool ipm_DirectMechanism::Initialize() {
    const utl_CommandLine& commandLine = thr_GlobalSingleton<utl_CommandLine>::Instance();
    const csp_IpAddress listenerHost(commandLine.ConstGetValue("listener_name"));
    const int port = std::atoi(commandLine.ConstGetValue("direct_port").c_str());
    const csp_SocketAddress listener(listenerHost, port);
    try {
        socket.connectTo(listener);
    } catch (...) {
        return false;
    }
    connected = true;
    socket.setKeepAlives(true);
    const cow_String& name = GetJobName();
    writeAll(name.c_str(), name.length());
    return true;
}

cow_String ipm_DirectMechanism::Encode(const char* type, const char* format, const int* integers,
                                       const double* reals, const char* const* texts,
                                       bool started) const {
    return EncodePayload(ipm_PayloadEncoder::Direct(), type, format, integers, reals, texts,
                         started);
}

void ipm_DirectMechanism::Close() {
    socket.shutdown();
}

void ipm_DirectMechanism::Transmit(const cow_String& payload) {
    writeAll(payload.c_str(), payload.length());
}

// A single write may take only part of the bytes; the rest must follow at once, or two
// payloads would run into each other (or one be cut) on the listener's side.
void ipm_DirectMechanism::writeAll(const char* data, int length) {
    int written = 0;
    while (written < length) {
        const int sent = socket.write(data + written, length - written);
        if (sent <= 0)
            csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                             "connection no longer writable");
        written += sent;
    }
}

void ipm_DirectMechanism::Poll() {
    // Before the first report has connected the socket there is nothing to watch.
    if (!connected)
        return;
    if (wsa::waitUntilReadable(socket.getDescriptor(), pollWaitMicroseconds) != 1)
        return;
    char received[pollReadSize];
    const int count = socket.read(received, pollReadSize);
    // A readable socket that yields nothing has lost its listener; some platforms show a
    // reset as a plain end of stream, so both end the task the same way.
    if (count == 0)
        csp_NetworkException::throwError(csp_NetworkException::eof_encountered,
                                         "listener closed the connection");
    if (count < 0)
        csp_NetworkException::throwError(csp_NetworkException::read_failed,
                                         "connection no longer readable");
    if (holdsKillCommand(received, count))
        eli_setkillsig();
}
