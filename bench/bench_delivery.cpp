// What a host sees of delivery while its monitor misbehaves, on loopback: the slowest
// reporting call against a monitor that never accepts, shut-down against one that never
// reads, how long a late monitor waits for its first report, how soon a Kill is taken during
// a long backlog, the memory that 100,000 reports made at once hold, how long a direct report
// holds its caller against a monitor that stops reading, whether a stop reaches a monitor that
// comes back, what becomes of reports while indir is gone, how much of the wire the notices take
// when it is overloaded, the cost of a report behind many kept errors, and what the environment's
// values are read as. Prints the figures; not a timed test.
//   bench_delivery [all|calls|shutdown|late|kill|memory|direct|returning|indir|notices|backlog|
//                   settings]
#include "base/aio_ostream.h"
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

typedef std::chrono::steady_clock Clock;

// Sets an environment variable for a scope, as a job's user would before starting it.
class ScopedSetting {
public:
    ScopedSetting(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) {
            previous = old;
            hadOne = true;
        }
        setenv(name, value, 1);
    }
    ~ScopedSetting() {
        if (hadOne)
            setenv(name.c_str(), previous.c_str(), 1);
        else
            unsetenv(name.c_str());
    }

private:
    std::string name;
    std::string previous;
    bool hadOne = false;
};

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
        // A transmitter left by an earlier figure would keep its settings.
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
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
    const std::string& Directory() const { return directory; }
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

// Reads what arrives on the connection until it ends or has been silent for the time.
std::string readUntilSilent(csp_TcpSocket& connection, long microseconds) {
    std::string received;
    char buffer[65536];
    while (wsa::waitUntilReadable(connection.getDescriptor(), microseconds) == 1) {
        const int count = connection.read(buffer, sizeof buffer);
        if (count <= 0)
            break;
        received.append(buffer, std::size_t(count));
    }
    return received;
}

int occurrences(const std::string& text, const std::string& what) {
    int found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
    return found;
}

// Four threads report directly for 15 s to a monitor that has stopped reading.
void directReportsAgainstAMonitorThatStopsReading() {
    csp_TcpSocket listener = listenerOn(0, 4, 2048);
    Job job(listener.name().getPort());
    report(0);
    csp_TcpSocket monitor = listener.acceptConnection();
    readUntilSilent(monitor, 500000);
    std::mutex mutex;
    std::vector<double> durations;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(15);
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            const std::string text(4000, 'd');
            const char* texts[] = {text.c_str()};
            while (Clock::now() < end) {
                const Clock::time_point start = Clock::now();
                ipm_sendMessageDirect("Info", "message=%s", nullptr, nullptr, texts);
                const double took = secondsSince(start);
                std::lock_guard<std::mutex> lock(mutex);
                durations.push_back(took);
            }
        });
    for (std::thread& caller : callers)
        caller.join();
    std::sort(durations.begin(), durations.end());
    std::printf("ipm_sendMessageDirect, monitor stops reading, 4 threads for 15 s (%zu calls):  "
                "longest %.2f s, p99 %.2f s\n",
                durations.size(), durations.back(),
                durations[std::size_t(double(durations.size() - 1) * 0.99)]);
    ipm_MessageTransmit::Instance().Abandon();
}

// A stop with one report waiting, while the monitor is away; it comes back 2 s later.
void stopWhileTheMonitorIsAway() {
    ScopedSetting deadline("IPM_SHUTDOWN_SECONDS", "60");
    int port;
    {
        csp_TcpSocket probe = listenerOn(0, 1);
        port = probe.name().getPort();
    }
    Job job(port);
    report(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::atomic<bool> received{false};
    std::thread comesBack([&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        csp_TcpSocket listener = listenerOn(port, 4);
        if (wsa::waitUntilReadable(listener.getDescriptor(), 30 * 1000000L) != 1)
            return;
        csp_TcpSocket monitor = listener.acceptConnection();
        received = readUntilSilent(monitor, 2000000).find("report 1<") != std::string::npos;
    });
    const double took = job.ShutDown();
    comesBack.join();
    std::printf("stop with the monitor away, back 2 s later (IPM_SHUTDOWN_SECONDS=60):  returned "
                "after %.2f s, the waiting report %s\n",
                took, received ? "reached it" : "never reached it");
}

// 1,000 reports, then indir removed for 12,000 more, then back for 1,000 more.
void indirRemovedMidRun() {
    std::FILE* said = std::tmpfile();
    std::FILE* previous = aio_cerr.SetTarget(said);
    Job job(1);
    const std::string file = job.Directory() + "/bench.ipm";
    for (int n = 1; n <= 1000; ++n)
        report(n);
    std::filesystem::remove_all(job.Directory());
    for (int n = 1001; n <= 13000; ++n)
        report(n);
    std::filesystem::create_directory(job.Directory());
    for (int n = 13001; n <= 14000; ++n)
        report(n);
    std::ifstream recorded(file);
    std::stringstream text;
    text << recorded.rdbuf();
    aio_cerr.SetTarget(previous);
    std::fflush(said);
    std::rewind(said);
    int lines = 0;
    for (int c; (c = std::fgetc(said)) != EOF;)
        lines += c == '\n';
    std::fclose(said);
    std::printf("indir removed for 12,000 of 14,000 reports:  the message file holds %d of the "
                "1,000 made after it came back; %d counted as not recorded; %d line(s) on "
                "stderr\n",
                occurrences(text.str(), "</Info>"),
                ipm_MessageTransmit::Instance().GetUnloggedCount(), lines);
    ipm_MessageTransmit::Instance().Abandon();
}

// 200 reports a second for 10 s, more than the wire takes at its pace.
void noticesOnAnOverloadedWire() {
    csp_TcpSocket listener = listenerOn(0, 4);
    Job job(listener.name().getPort());
    std::atomic<bool> done{false};
    std::string received;
    std::thread monitorThread([&] {
        csp_TcpSocket monitor = listener.acceptConnection();
        char buffer[65536];
        while (!done) {
            if (wsa::waitUntilReadable(monitor.getDescriptor(), 100000) != 1)
                continue;
            const int count = monitor.read(buffer, sizeof buffer);
            if (count <= 0)
                break;
            received.append(buffer, std::size_t(count));
        }
    });
    const Clock::time_point start = Clock::now();
    for (int n = 1; secondsSince(start) < 10; ++n) {
        report(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
    monitorThread.join();
    const int notices = occurrences(received, "<Notice>");
    const int reports = occurrences(received, "<Info>");
    std::printf("overloaded wire, 200 reports/s for 10 s:  %d reports and %d notices arrived, "
                "notices %.0f%% of them\n",
                reports, notices, 100.0 * notices / (notices + reports));
    ipm_MessageTransmit::Instance().Abandon();
}

// Errors kept in the backlog with the cap raised, none delivered.
void reportsBehindKeptErrors(const std::vector<int>& counts) {
    ScopedSetting cap("MAX_ERROR_MESSAGES", "1000000");
    for (const int errors : counts) {
        Job job(1);
        ipm_MessageTransmit::Instance().Abandon();
        double slowest = 0;
        const Clock::time_point start = Clock::now();
        for (int n = 1; n <= errors; ++n) {
            const Clock::time_point call = Clock::now();
            const std::string text = "error " + std::to_string(n);
            const char* texts[] = {text.c_str()};
            ipm_sendMessage("Error", "message=%s", nullptr, nullptr, texts);
            slowest = std::max(slowest, secondsSince(call));
            if (n % 100 == 0)
                report(n);
        }
        const double took = secondsSince(start);
        std::printf("%d kept errors (and %d other reports):  %.2f s in all, %.1f us a report, "
                    "slowest call %.1f ms\n",
                    errors, errors / 100, took, took * 1e6 / (errors * 1.01), slowest * 1000);
        std::fflush(stdout);
    }
}

void whatTheEnvironmentsValuesAreReadAs() {
    struct Case {
        const char* name;
        const char* value;
    };
    const Case cases[] = {{"MAX_PENDING_MESSAGES", "1e6"}, {"MAX_PENDING_MESSAGES", "abc"},
                          {"MAX_PENDING_MESSAGES", "-5"},  {"MAX_PENDING_MESSAGES", "250"},
                          {"MAX_ERROR_MESSAGES", "7x"},    {"MAX_ERROR_MESSAGES", " 12"},
                          {"MAX_WARNING_MESSAGES", "+3"},  {"MAX_WARNING_MESSAGES", "99999999999"}};
    for (const Case& c : cases) {
        ScopedSetting setting(c.name, c.value);
        std::FILE* said = std::tmpfile();
        std::FILE* previous = aio_cerr.SetTarget(said);
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
        const ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
        const int read =
            std::strcmp(c.name, "MAX_PENDING_MESSAGES") == 0 ? transmitter.GetMaxPendingMessages()
            : std::strcmp(c.name, "MAX_ERROR_MESSAGES") == 0 ? transmitter.GetMaxErrorMessages()
                                                             : transmitter.GetMaxWarningMessages();
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
        aio_cerr.SetTarget(previous);
        const long saidBytes = std::ftell(said);
        std::fclose(said);
        std::printf("%s=\"%s\" is read as %d, %s\n", c.name, c.value, read,
                    saidBytes > 0 ? "with a word on stderr" : "silently");
    }
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
    if (all || which == "direct")
        directReportsAgainstAMonitorThatStopsReading();
    if (all || which == "returning")
        stopWhileTheMonitorIsAway();
    if (all || which == "indir")
        indirRemovedMidRun();
    if (all || which == "notices")
        noticesOnAnOverloadedWire();
    if (all || which == "backlog") {
        std::vector<int> counts;
        for (int i = 2; i < argc; ++i)
            counts.push_back(std::atoi(argv[i]));
        reportsBehindKeptErrors(counts.empty() ? std::vector<int>{50000, 100000, 200000} : counts);
    }
    if (all || which == "settings")
        whatTheEnvironmentsValuesAreReadAs();
    return 0;
}
