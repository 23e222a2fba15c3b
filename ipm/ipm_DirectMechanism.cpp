#include "ipm/ipm_DirectMechanism.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_NetworkEx.h"
#include "ipm/ipm_PayloadEncoder.h"
#include "ipm/ipm_Warning.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

const int pollWaitMilliseconds = 60;
const int pollReadSize = 2000;
const char killCommand[] = "Kill";

// The received bytes may hold NUL bytes, so they are searched by count, not as a C string.
bool holdsKillCommand(const char* received, int count) {
    const char* const end = received + count;
    const char* const commandEnd = killCommand + sizeof killCommand - 1;
    return std::search(received, end, killCommand, commandEnd) != end;
}

// The cause the socket layer kept as it raised.
std::string connectFailure(const csp_NetworkException& failure) {
    switch (failure.getSystemError().kind()) {
    case csp_SocketError::refused:
    case csp_SocketError::networkUnreachable:
    case csp_SocketError::hostUnreachable:
    case csp_SocketError::addressNotAvailable:
        return failure.getSystemError().text();
    case csp_SocketError::timedOut:
        return "no answer to the connection attempt";
    default:
        return "cannot connect";
    }
}

} // namespace

ipm_DirectMechanism::ipm_DirectMechanism()
    : socket(csp_TcpSocket::doNotBind), connected(false), interrupted(false),
      portRefusalTold(false) {}

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
    int port = 0;
    if (interrupted.load())
        return false;
    if (!ListenerPort(port, !portRefusalTold)) {
        portRefusalTold = true;
        return false;
    }
    const utl_CommandLine& commandLine = thr_GlobalSingleton<utl_CommandLine>::Instance();
    const csp_SocketAddress listener(csp_IpAddress(commandLine.ConstGetValue("listener_name")),
                                     port);
    connected = false;
    // A socket that connected before, or whose attempt timed out, cannot connect again.
    socket.reset();
    // Checked after the reset: an interrupt that came before it reached the old socket only.
    if (interrupted.load())
        return false;
    try {
        socket.connectTo(listener);
    } catch (const csp_NetworkException& failure) {
        SetFailureCause(connectFailure(failure).c_str());
        return false;
    } catch (...) {
        SetFailureCause("cannot connect");
        return false;
    }
    connected = true;
    socket.setKeepAlives(true);
    const cow_String& name = GetJobName();
    socket.writeAll(name.c_str(), name.length());
    return true;
}

bool ipm_DirectMechanism::ListenerPort(int& port, bool tell) {
    const cow_String text =
        thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("direct_port");
    if (ParsePort(text, port))
        return true;
    if (tell) {
        ipm_warn("-direct_port " + ipm_shown(text) +
                 " is not a port number from 1 to 65535: reports are not delivered, only "
                 "written to the message file");
    }
    return false;
}

cow_String ipm_DirectMechanism::Destination() const {
    const utl_CommandLine& commandLine = thr_GlobalSingleton<utl_CommandLine>::Instance();
    const cow_String host = commandLine.ConstGetValue("listener_name");
    const std::string port = ipm_bare(commandLine.ConstGetValue("direct_port"));
    // An empty name is this machine's.
    if (host.IsEmpty())
        return ("the monitor on this machine's port " + port).c_str();
    return ("the monitor at " + ipm_bare(host) + ":" + port).c_str();
}

cow_String ipm_DirectMechanism::Encode(const char* type, const char* format, const int* integers,
                                       const double* reals, const char* const* texts,
                                       bool started) const {
    return EncodePayload(PayloadVariant(), type, format, integers, reals, texts, started);
}

const ipm_PayloadEncoder& ipm_DirectMechanism::PayloadVariant() const {
    return ipm_PayloadEncoder::Direct();
}

void ipm_DirectMechanism::Close() {
    if (!connected)
        return;
    connected = false;
    try {
        socket.shutdown();
    } catch (const csp_NetworkException&) {
    }
}

// A single write may take only part of the bytes; the rest must follow at once, or two
// payloads would run into each other (or one be cut) on the listener's side.
void ipm_DirectMechanism::Transmit(const cow_String& payload) {
    if (!connected)
        csp_NetworkException::throwError(csp_NetworkException::write_failed,
                                         "not connected to the listener");
    socket.writeAll(payload.c_str(), payload.length());
}

void ipm_DirectMechanism::Interrupt() {
    interrupted.store(true);
    socket.interrupt();
}

void ipm_DirectMechanism::ForgetInheritedConnection() {
    connected = false;
    socket.closeInheritedCopy();
}

void ipm_DirectMechanism::Poll() {
    // Before the first report has connected the socket there is nothing to watch.
    if (!connected)
        return;
    if (!WaitForMonitor(pollWaitMilliseconds,
                        [&](int bound) { return socket.waitReadable(bound); }))
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
