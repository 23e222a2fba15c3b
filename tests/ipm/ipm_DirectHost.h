#ifndef TESTS_IPM_IPM_DIRECTHOST_H
#define TESTS_IPM_IPM_DIRECTHOST_H

#include "ipm_TestSupport.h"

#include "base/eli_KillSignal.h"
#include "csp/csp_TestSupport.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_Modules.h"
#include "ipm/ipm_sendMessage.h"

#include <functional>

// A job that reports over the direct transport to a monitor that the test plays with real
// sockets on loopback.
namespace ipm_test {

// Everything that arrives on the connection until `size` bytes are in or it stays quiet.
inline std::string ReadUpTo(csp_TcpSocket& monitor, std::size_t size) {
    const DrivenClock::Idle waitingForTheJob(DrivenClock::Active());
    std::string received;
    char buffer[4096];
    while (received.size() < size &&
           wsa::waitUntilReadable(monitor.getDescriptor(), 3000000) == 1) {
        const int count = monitor.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
    }
    return received;
}

enum class WhileReading { clockSkips, clockRuns };

// What arrives until the text holds `needle` or nothing comes for a few seconds. Meanwhile the
// job's clock skips, unless told to run at its real pace (so that the job does not race
// ahead of what the test does next).
inline std::string ReadUntil(csp_TcpSocket& monitor, const std::string& needle,
                             WhileReading pace = WhileReading::clockSkips) {
    const DrivenClock::Idle waitingForTheJob(
        pace == WhileReading::clockSkips ? DrivenClock::Active() : nullptr);
    std::string received;
    char buffer[4096];
    while (received.find(needle) == std::string::npos &&
           wsa::waitUntilReadable(monitor.getDescriptor(), 10000000) == 1) {
        const int count = monitor.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
    }
    return received;
}

// The job's name and the payload of every report in the message file, as a monitor that
// reads the connection from its start receives them.
inline std::string WireOf(const std::string& messageFileText) {
    return "beam" + messageFileText;
}

inline void Report(const char* type, const std::string& message) {
    const char* texts[] = {message.c_str()};
    ipm_sendMessage(type, "message=%s", nullptr, nullptr, texts);
}

// A host's start-up order: the library up, the direct transport installed, the message task
// running on a thread of its own; reports come after. Under a DrivenClock the transmitter keeps
// its time.
class DirectHost {
public:
    // With a listener of its own on a free port, which may be listened on again once it has gone.
    DirectHost() : listener(csp_test::loopbackListenerOn(0)) {
        start("127.0.0.1", listener.name().getPort());
    }
    // Aimed at a listener that the test keeps itself, or at none.
    DirectHost(const std::string& listenerName, int port) : listener(-1) {
        start(listenerName, port);
    }
    ~DirectHost() {
        if (!shutDown) {
            Transmitter().RequestStop();
            if (thread.joinable())
                JoinTask();
            // The monitor goes first, so that the transport's orderly end finds it gone.
            monitor.close();
            DestroyTransmitter();
            QORKelCommunications_finalize(modules);
        }
        eli_resetkillsig();
    }

    ipm_MessageTransmit& Transmitter() { return ipm_MessageTransmit::Instance(); }
    std::string MessageFile() const { return dir.File("beam.ipm"); }
    std::string MessageFileText() const { return ReadFile(MessageFile()); }
    void Accept() {
        const DrivenClock::Idle waitingForTheJob(DrivenClock::Active());
        monitor = listener.acceptConnection();
    }
    void JoinTask() {
        const DrivenClock::Idle joining(DrivenClock::Active());
        thread.join();
    }

    // The library's shut-down, as the host ends; answers how long it took.
    double ShutDown() {
        const Clock::time_point start = Clock::now();
        QORKelCommunications_finalize(modules);
        const double took = SecondsSince(start);
        JoinTask();
        shutDown = true;
        return took;
    }

    TempDir dir;
    csp_TcpSocket listener;
    csp_TcpSocket monitor{-1};
    std::unique_ptr<ipm_MessageTask> task;
    std::thread thread;

private:
    int modules = 0;
    bool shutDown = false;

    void start(const std::string& listenerName, int port) {
        DestroyTransmitter();
        eli_resetkillsig();
        QORKelCommunications_initialize(modules);
        SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path(), "-listener_name",
                        listenerName, "-direct_port", std::to_string(port)});
        DrivenClock* driven = DrivenClock::Active();
        if (driven)
            ipm_MessageTransmit::Instance().SetClock(*driven);
        ipm_MessageTransmit::Instance().SetMechanism(new ipm_DirectMechanism);
        task.reset(new ipm_MessageTask);
        if (driven && driven->AwaitsTask())
            thread = driven->Thread([this] { task->Run(0); });
        else
            thread = std::thread([this] { task->Run(0); });
    }
};

} // namespace ipm_test

#endif
