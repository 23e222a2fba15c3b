// Jabber delivery through a real server on loopback, with TLS or without: the pace at which a
// backlog reaches the monitor (the task spaces reports 60 ms apart), and per report the bytes
// the job's connection carries and the CPU its delivery thread spends. Prints the figures;
// not a timed test. scripts/bench-jabber starts the servers and runs it for both.
//   bench_jabber SERVER:PORT LABEL [REPORTS]
// The job's account and security come from the environment as for any job (IPM_JABBER_*),
// the monitor's password from IPM_MONITOR_PASSWORD (default "monitor").
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_Modules.h"
#include "ipm/ipm_sendMessage.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#include <time.h>
#endif

namespace {

typedef std::chrono::steady_clock Clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// CPU seconds the thread has used; -1 where the platform does not tell.
double threadCpuSeconds(std::thread& thread) {
#if !defined(_WIN32)
    clockid_t clock;
    timespec used;
    if (pthread_getcpuclockid(thread.native_handle(), &clock) == 0 &&
        clock_gettime(clock, &used) == 0)
        return used.tv_sec + used.tv_nsec / 1e9;
#else
    (void)thread;
#endif
    return -1;
}

// The monitor: logged in on its own thread, noting when each report from the job arrives.
class Monitor {
public:
    Monitor(const cow_String& host, int port) {
        const char* password = std::getenv("IPM_MONITOR_PASSWORD");
        std::string problem;
        jcl_LogInSettings settings;
        if (!ipm_JabberMechanism::ReadSecurityPolicy(settings, problem)) {
            std::fprintf(stderr, "bench_jabber: %s\n", problem.c_str());
            std::exit(2);
        }
        settings.user = "monitor";
        settings.password = password != nullptr ? password : "monitor";
        settings.resource = "console";
        connection.Connect(host, port);
        if (!connection.LogIn(settings)) {
            std::fprintf(stderr, "bench_jabber: the monitor cannot log in: %s\n",
                         connection.GetLogInFailureText().c_str());
            std::exit(2);
        }
        connection.Send(jcl_Presence());
        connection.SetHandlerContext(this);
        connection.SetMessageHandler([](jcl_Connection& c, jcl_Entity&) {
            Monitor& monitor = *static_cast<Monitor*>(c.GetHandlerContext());
            std::lock_guard<std::mutex> lock(monitor.mutex);
            monitor.arrivals.push_back(Clock::now());
        });
        reader = std::thread([this] {
            while (!stop.load() && connection.IsStreamOpen())
                connection.Receive(50);
        });
    }
    ~Monitor() {
        stop = true;
        reader.join();
        connection.Disconnect();
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return arrivals.size();
    }
    std::vector<Clock::time_point> Arrivals() {
        std::lock_guard<std::mutex> lock(mutex);
        return arrivals;
    }

private:
    jcl_Connection connection;
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    std::atomic<bool> stop{false};
    std::thread reader;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_jabber SERVER:PORT LABEL [REPORTS]\n");
        return 2;
    }
    const std::string server = argv[1];
    const std::string label = argv[2];
    const int reports = argc > 3 ? std::atoi(argv[3]) : 300;
    cow_String host;
    int port = 0;
    if (!ipm_JabberMechanism::ParseServerOption(server.c_str(), host, port) || reports < 2)
        return 2;

    int modules = 0;
    QORKelCommunications_initialize(modules);
    std::string directory =
        (std::filesystem::temp_directory_path() / "bench_jabber_XXXXXX").string();
    if (mkdtemp(&directory[0]) == nullptr)
        return 1;
    const char* jobArguments[] = {"bench",           "-job",       "benchjob",
                                  "-message",        "on",         "-indir",
                                  directory.c_str(), "-msgserver", server.c_str(),
                                  "-listener_name",  "monitor",    "-listener_resource",
                                  "console"};
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(13, jobArguments);

    Monitor monitor(host, port);
    ipm_JabberMechanism* const mechanism = new ipm_JabberMechanism;
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    transmitter.SetMechanism(mechanism);
    ipm_MessageTask task;
    std::thread delivery([&task] { task.Run(0); });
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (!transmitter.IsMechanismReady() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!transmitter.IsMechanismReady()) {
        std::fprintf(stderr, "bench_jabber: the job did not log in: %s\n",
                     mechanism->GetFailureCause().c_str());
        return 1;
    }
    // The log-in's own traffic and key stretching settle before the measurement.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const jcl_Connection& connection = mechanism->GetConnection();
    const long long sentBefore = connection.GetBytesSent();
    const long long receivedBefore = connection.GetBytesReceived();
    const double cpuBefore = threadCpuSeconds(delivery);
    const std::size_t arrivedBefore = monitor.Count();

    const std::string padding(80, 'x');
    for (int n = 1; n <= reports; ++n) {
        const std::string text = "report " + std::to_string(n) + " " + padding;
        const char* texts[] = {text.c_str()};
        const int integers[] = {n};
        ipm_sendMessage("Step", "step=%i stepName=%s", integers, nullptr, texts);
    }
    const Clock::time_point waitUntil =
        Clock::now() + std::chrono::milliseconds(200 * reports + 10000);
    while (monitor.Count() < arrivedBefore + std::size_t(reports) && Clock::now() < waitUntil)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double cpuAfter = threadCpuSeconds(delivery);
    const long long sent = connection.GetBytesSent() - sentBefore;
    const long long received = connection.GetBytesReceived() - receivedBefore;
    const std::vector<Clock::time_point> arrivals = monitor.Arrivals();
    const std::size_t arrived = arrivals.size() - arrivedBefore;

    const double span =
        arrived > 1 ? secondsBetween(arrivals[arrivedBefore], arrivals.back()) : 0.0;
    std::printf("%-10s %d reports, %zu arrived; %s: %.1f ms a report (%.1f a second); "
                "%.0f bytes a report on the job's connection (%.0f sent, %.0f received); "
                "%s\n",
                label.c_str(), reports, arrived,
                mechanism->GetConnection().IsEncrypted() ? "TLS" : "no TLS",
                arrived > 1 ? 1000 * span / double(arrived - 1) : 0.0,
                span > 0 ? double(arrived - 1) / span : 0.0, double(sent + received) / reports,
                double(sent) / reports, double(received) / reports,
                cpuBefore < 0 ? "delivery CPU not measured here"
                              : ("delivery thread " +
                                 std::to_string(int(1e6 * (cpuAfter - cpuBefore) / reports)) +
                                 " us CPU a report")
                                    .c_str());
    transmitter.RequestStop();
    QORKelCommunications_finalize(modules);
    delivery.join();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    return arrived == std::size_t(reports) ? 0 : 1;
}
