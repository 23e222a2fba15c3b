// What a host sees of delivery while its monitor misbehaves, on loopback: the slowest
// reporting call against a monitor that never accepts, shut-down against one that never
// reads, how long a late monitor waits for its first report, how soon a Kill is taken during
// a long backlog, and the memory that 100,000 reports made at once hold. Prints the figures;
// not a timed test.
//   bench_delivery [all|calls|shutdown|late|kill|memory]
#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_Modules.h"
#include "ipm/ipm_sendMessage.h"
#include "platform/platform_Sockets.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

typedef std::chrono::steady_clock Clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

csp_SocketAddress loopback(int port) {
    return csp_SocketAddress(csp_IpAddress(0x7f000001u), port);
}

csp_TcpSocket listenerOn(int port, int backlog, int receiveBuffer = 0) {
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReuseAddress(true);
    if (receiveBuffer > 0)
        listener.setReceiveBufferSize(receiveBuffer);
    listener.bind(loopback(port));
    listener.listen(backlog);
    return listener;
}

void report(int n, const std::string& padding = "") {
    const std::string text = "report " + std::to_string(n) + padding;
    const char* texts[] = {text.c_str()};
    ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts);
}

// The library up, the direct transport aimed at a port of 127.0.0.1, the task running.
class Job {
public:
    explicit Job(int port) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "bench_delivery_XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            std::abort();
        directory = pattern;
        QORKelCommunications_initialize(modules);
        const std::string portText = std::to_string(port);
        const char* argv[] = {"bench",     "-job",         "bench",           "-message",
                              "on",        "-indir",       directory.c_str(), "-listener_name",
                              "127.0.0.1", "-direct_port", portText.c_str()};
        thr_GlobalSingleton<utl_CommandLine>::Instance().Set(11, argv);
        ipm_MessageTransmit::Instance().SetMechanism(new ipm_DirectMechanism);
        task.reset(new ipm_MessageTask);
        thread = std::thread([this] { task->Run(0); });
    }
    ~Job() {
        if (thread.joinable())
            ShutDown();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    double ShutDown() {
        const Clock::time_point start = Clock::now();
        QORKelCommunications_finalize(modules);
        const double took = secondsSince(start);
        thread.join();
        return took;
    }

private:
    std::string directory;
    int modules = 0;
    std::unique_ptr<ipm_MessageTask> task;
    std::thread thread;
};

void slowestCallAgainstAMonitorThatNeverAccepts() {
    csp_TcpSocket listener = listenerOn(0, 0);
    const int port = listener.name().getPort();
    std::vector<csp_TcpSocket> queued;
    for (int i = 0; i < 2; ++i) {
        queued.emplace_back(csp_TcpSocket::doNotBind);
        const sockaddr_in address = loopback(port);
        wsa::connectWithin(queued.back().getDescriptor(),
                           reinterpret_cast<const sockaddr*>(&address), sizeof address, 200000);
    }
    Job job(port);
    double slowest = 0;
    const int reports = 300;
    for (int n = 1; n <= reports; ++n) {
        const Clock::time_point start = Clock::now();
        report(n);
        const double took = secondsSince(start);
        slowest = took > slowest ? took : slowest;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("slowest reporting call, monitor never accepts (%d calls over 6 s):  %.3f ms\n",
                reports, slowest * 1000);
}

void shutDownAgainstAMonitorThatNeverReads() {
    const char* deadline = std::getenv("IPM_SHUTDOWN_SECONDS");
    csp_TcpSocket listener = listenerOn(0, 4, 2048);
    Job job(listener.name().getPort());
    csp_TcpSocket monitor = listener.acceptConnection();
    for (int n = 1; n <= 200; ++n)
        report(n, std::string(4000, 'x'));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double took = job.ShutDown();
    std::printf("shut-down, monitor never reads, 200 reports of 4 kB waiting "
                "(IPM_SHUTDOWN_SECONDS=%s):  %.2f s\n",
                deadline ? deadline : "30, the default", took);
}

void waitOfALateMonitor() {
    int port;
    {
        csp_TcpSocket probe = listenerOn(0, 1);
        port = probe.name().getPort();
    }
    Job job(port);
    for (int n = 1; n <= 10; ++n)
        report(n);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const Clock::time_point started = Clock::now();
    csp_TcpSocket listener = listenerOn(port, 4);
    if (wsa::waitUntilReadable(listener.getDescriptor(), 70 * 1000000L) != 1)
        return;
    csp_TcpSocket monitor = listener.acceptConnection();
    std::string received;
    char buffer[4096];
    while (received.find("</Info>") == std::string::npos &&
           wsa::waitUntilReadable(monitor.getDescriptor(), 10000000) == 1) {
        const int count = monitor.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
    }
    std::printf("wait of a monitor started 3 s after the job, for its first report:  %.2f s\n",
                secondsSince(started));
    monitor.close();
}

void killDuringABacklog() {
    csp_TcpSocket listener = listenerOn(0, 4);
    Job job(listener.name().getPort());
    csp_TcpSocket monitor = listener.acceptConnection();
    eli_resetkillsig();
    for (int n = 1; n <= 1000; ++n)
        report(n);
    std::string received;
    char buffer[4096];
    while (received.find("report 10<") == std::string::npos &&
           wsa::waitUntilReadable(monitor.getDescriptor(), 10000000) == 1) {
        const int count = monitor.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
    }
    const Clock::time_point sent = Clock::now();
    monitor.write("Kill", 4);
    while (!eli_getkillsig() && secondsSince(sent) < 10)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::printf("Kill latency with %d reports waiting:  %.1f ms\n",
                ipm_MessageTransmit::Instance().GetPendingCount(), secondsSince(sent) * 1000);
    ipm_MessageTransmit::Instance().Abandon();
    eli_resetkillsig();
}

long long heapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    return static_cast<long long>(mallinfo2().uordblks);
#else
    return -1;
#endif
}

// No task runs and no monitor listens: everything made waits, up to the bound.
long long heldByReports(int reports) {
    Job job(1);
    ipm_MessageTransmit::Instance().Abandon(); // the task stays out of it
    report(0);
    const long long before = heapInUse();
    for (int n = 1; n <= reports; ++n)
        report(n);
    return heapInUse() - before;
}

void memoryOfReportsMadeAtOnce() {
    const int reports = 100000;
    if (heapInUse() < 0) {
        std::printf("memory held by %d reports:  not measured on this C library\n", reports);
        return;
    }
    const long long bounded = heldByReports(reports);
    std::printf("memory held by %d reports made at once (MAX_PENDING_MESSAGES %s):  %.0f kB\n",
                reports,
                std::getenv("MAX_PENDING_MESSAGES") ? std::getenv("MAX_PENDING_MESSAGES")
                                                    : "1000, the default",
                bounded / 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "all";
    const bool all = which == "all";
    if (all || which == "calls")
        slowestCallAgainstAMonitorThatNeverAccepts();
    if (all || which == "shutdown")
        shutDownAgainstAMonitorThatNeverReads();
    if (all || which == "late")
        waitOfALateMonitor();
    if (all || which == "kill")
        killDuringABacklog();
    if (all || which == "memory")
        memoryOfReportsMadeAtOnce();
    return 0;
}
