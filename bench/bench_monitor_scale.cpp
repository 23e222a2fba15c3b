// Load generator for one monitor's scale: N jobs on the direct wire and N jobs through the
// Jabber server at once, all in this process, each reporting at a fixed pace. The monitors
// run as their own processes (scripts/bench-monitor-scale starts them with -json, their
// output going to a pipe that this program reads): a report's lag is the time from its
// write here to its line in the monitor's output, taken from a field that carries the
// send time. The monitors' CPU time and memory come from /proc.
//
//   bench_monitor_scale -jobs N -direct_port P -direct_output FIFO -direct_pid PID
//                       -msgserver localhost:PORT -listener_name A -listener_resource R
//                       -jabber_output FIFO -jabber_pid PID [-server_pid PID]
//                       [-clock_ticks HZ]
//                       [-seconds S] [-warmup S] [-interval_ms MS] [-header]
// Prints the scale table's rows for this N on standard output: one per wire, and the Jabber
// server's CPU share, since on two cores it competes with the monitors.
#include "QORKelCommunications.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_PayloadEncoder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long microsecondsNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Settings {
    int jobs = 50;
    int seconds = 20;
    int warmup = 3;
    // The library's background task sends the reports it finds waiting 60 ms apart: a job
    // that reports faster than that is delivered at this pace.
    int intervalMs = 60;
    int directPort = 0;
    std::string directOutput;
    int directPid = 0;
    std::string msgserver;
    std::string listenerName = "monitor";
    std::string listenerResource = "console";
    std::string jabberOutput;
    int jabberPid = 0;
    int serverPid = 0;
    // What /proc counts CPU time in, per second (getconf CLK_TCK).
    int clockTicks = 100;
    bool header = false;
};

Settings parse(int argc, char** argv) {
    Settings settings;
    std::map<std::string, std::string> values;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-header") {
            settings.header = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::runtime_error(option + " needs a value");
        values[option] = argv[++i];
    }
    auto number = [&values](const char* name, int& into) {
        if (values.count(name))
            into = std::atoi(values[name].c_str());
    };
    number("-jobs", settings.jobs);
    number("-seconds", settings.seconds);
    number("-warmup", settings.warmup);
    number("-interval_ms", settings.intervalMs);
    number("-direct_port", settings.directPort);
    number("-direct_pid", settings.directPid);
    number("-jabber_pid", settings.jabberPid);
    number("-server_pid", settings.serverPid);
    number("-clock_ticks", settings.clockTicks);
    settings.directOutput = values["-direct_output"];
    settings.jabberOutput = values["-jabber_output"];
    settings.msgserver = values["-msgserver"];
    if (values.count("-listener_name"))
        settings.listenerName = values["-listener_name"];
    if (values.count("-listener_resource"))
        settings.listenerResource = values["-listener_resource"];
    return settings;
}

// The jobs of both transports share the process-wide transmitter the encoder reads the phase
// from.
std::mutex encoderLock;

cow_String encode(const ipm_PayloadEncoder& variant, const std::string& job, const char* type,
                  const char* format, const int* integers, const double* reals,
                  const char* const* texts, bool started) {
    std::lock_guard<std::mutex> hold(encoderLock);
    return variant.Encode(ipm_MessageTransmit::Instance(), cow_String(job.c_str()), type, format,
                          integers, reals, texts, started);
}

cow_String startedReport(const ipm_PayloadEncoder& variant, const std::string& job) {
    const int steps[] = {1000000};
    const char* const texts[] = {"bench_monitor_scale", "1.0"};
    return encode(variant, job, "Started", "program=%s version=%s steps=%i", steps, nullptr, texts,
                  true);
}

// A typical step report, and the time it is written in a field of its own.
cow_String stepReport(const ipm_PayloadEncoder& variant, const std::string& job, int iteration) {
    const int integers[] = {iteration};
    const double reals[] = {1.0 / (iteration + 1)};
    const std::string sent = std::to_string(microsecondsNow());
    const char* const texts[] = {"Analysis", "Assembling the stiffness matrix", "Solve",
                                 sent.c_str()};
    return encode(variant, job, "Step",
                  "phase=%e message=%s stepName=%s iteration=%i residual=%r sentAt=%s", integers,
                  reals, texts, false);
}

cow_String finalReport(const ipm_PayloadEncoder& variant, const std::string& job) {
    const char* const texts[] = {"Completed"};
    return encode(variant, job, "Finished", "status=%s", nullptr, nullptr, texts, false);
}

// One simulated job: connects, reports Started, then Step after Step, then Finished.
class Job {
public:
    virtual ~Job() = default;
    virtual void Send(const cow_String& payload) = 0;
    virtual const ipm_PayloadEncoder& Variant() const = 0;
    virtual void Close() {}
    std::string name;
    int steps = 0;
    Clock::time_point next;
};

class DirectJob : public Job {
public:
    DirectJob(const std::string& jobName, int port) : socket(csp_TcpSocket::doNotBind) {
        name = jobName;
        socket.connectTo(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), port));
        socket.writeAll(name.data(), int(name.size()));
    }
    void Send(const cow_String& payload) override {
        socket.writeAll(payload.c_str(), payload.length());
    }
    const ipm_PayloadEncoder& Variant() const override { return ipm_PayloadEncoder::Direct(); }
    void Close() override { socket.shutdown(); }

private:
    csp_TcpSocket socket;
};

class JabberJob : public Job {
public:
    JabberJob(const std::string& jobName, const cow_String& server, int port,
              const cow_String& monitor) {
        name = jobName;
        listenerAddress = monitor;
        connection.Connect(server, port);
        // Every job on a machine shares its account, as the library's jobs do (and with the
        // same environment: IPM_JABBER_USER, IPM_JABBER_PASSWORD, TLS and certificate).
        jcl_LogInSettings settings;
        std::string problem;
        if (!ipm_JabberMechanism::ReadSecurityPolicy(settings, problem))
            throw std::runtime_error(problem);
        settings.user = ipm_JabberMechanism::Account();
        ipm_JabberMechanism::Password(true, settings.password);
        settings.resource = name.c_str();
        if (!connection.LogIn(settings))
            throw std::runtime_error("jabber job " + name + ": " +
                                     connection.GetLogInFailureText());
        jcl_Presence here;
        here.SetTo(listenerAddress);
        connection.Send(here);
    }
    void Send(const cow_String& payload) override {
        jcl_Message report;
        report.SetTo(listenerAddress);
        report.SetType("chat");
        report.SetX(payload);
        connection.Send(report);
        if (!connection.IsStreamOpen())
            throw std::runtime_error("jabber job " + name + ": the server ended the stream");
    }
    const ipm_PayloadEncoder& Variant() const override { return ipm_PayloadEncoder::Jabber(); }
    void Close() override {
        jcl_Presence farewell;
        farewell.SetTo(listenerAddress);
        farewell.SetType("unavailable");
        connection.Send(farewell);
        connection.Disconnect();
    }
    // What the server sends a job (its own presence, pings) is read now and then, so that
    // it never fills the socket's buffer.
    void Drain() {
        while (connection.HasDataWaiting())
            connection.Receive(1);
    }

private:
    jcl_Connection connection;
    cow_String listenerAddress;
};

// The jobs of one transport, driven by one thread at the fixed pace.
class Sender {
public:
    std::vector<std::unique_ptr<Job>> jobs;
    std::atomic<long long> sent{0};
    std::atomic<long long> behind{0};
    std::string failure;

    void Run(Clock::time_point start, Clock::time_point stop, std::chrono::milliseconds interval) {
        try {
            for (std::size_t i = 0; i < jobs.size(); ++i)
                jobs[i]->next = start + interval * int(i) / int(jobs.size());
            while (Clock::now() < stop) {
                Clock::time_point earliest = stop;
                for (auto& job : jobs) {
                    const Clock::time_point now = Clock::now();
                    if (job->next <= now) {
                        job->Send(stepReport(job->Variant(), job->name, ++job->steps));
                        sent.fetch_add(1);
                        job->next += interval;
                        // A job held up by a full socket does not catch up in a burst.
                        if (job->next < now) {
                            behind.fetch_add(1);
                            job->next = now + interval;
                        }
                    }
                    earliest = std::min(earliest, job->next);
                    drain(*job);
                }
                std::this_thread::sleep_until(earliest);
            }
            for (auto& job : jobs) {
                job->Send(finalReport(job->Variant(), job->name));
                sent.fetch_add(1);
            }
            for (auto& job : jobs)
                job->Close();
        } catch (const csp_NetworkException& error) {
            failure = std::string("network failure: ") + error.getMessage().c_str();
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }

private:
    std::size_t drained = 0;

    void drain(Job& job) {
        if (++drained % 64 != 0)
            return;
        if (JabberJob* jabber = dynamic_cast<JabberJob*>(&job))
            jabber->Drain();
    }
};

// Reads one monitor's JSON log: counts the reports and takes the lag of each Step report
// that was sent within the measured window.
class OutputReader {
public:
    std::atomic<long long> reports{0};
    std::atomic<long long> finals{0};
    std::atomic<long long> windowReports{0};
    std::atomic<long long> windowFrom{0};
    std::atomic<long long> windowTo{0};
    std::vector<long long> lags;
    std::mutex lagLock;

    void Run(const std::string& path) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            const long long now = microsecondsNow();
            if (line.find("\"event\":\"report\"") == std::string::npos)
                continue;
            reports.fetch_add(1);
            if (line.find("\"type\":\"Finished\"") != std::string::npos)
                finals.fetch_add(1);
            const long long sent = sentAt(line);
            if (sent < 0 || sent < windowFrom.load() || sent >= windowTo.load())
                continue;
            windowReports.fetch_add(1);
            std::lock_guard<std::mutex> hold(lagLock);
            lags.push_back(now - sent);
        }
    }

private:
    // Fields as an object ("sentAt":"123"), or, from an older monitor, as a list of
    // key, type and value.
    static long long sentAt(const std::string& line) {
        const char field[] = "\"sentAt\":\"";
        const std::string::size_type named = line.find(field);
        if (named != std::string::npos)
            return std::atoll(line.c_str() + named + sizeof field - 1);
        const std::string::size_type key = line.find("\"key\":\"sentAt\"");
        if (key == std::string::npos)
            return -1;
        const std::string::size_type value = line.find("\"value\":\"", key);
        if (value == std::string::npos)
            return -1;
        return std::atoll(line.c_str() + value + 9);
    }
};

struct Usage {
    double cpuSeconds = 0;
    long rssKb = 0;
    long hwmKb = 0;
};

Usage usageOf(int pid, int clockTicks) {
    Usage usage;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields after it are counted from its ")".
    const std::string::size_type paren = text.rfind(')');
    if (paren != std::string::npos) {
        std::istringstream fields(text.substr(paren + 2));
        std::string field;
        long long utime = 0, stime = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14)
                utime = std::atoll(field.c_str());
            if (index == 15) {
                stime = std::atoll(field.c_str());
                break;
            }
        }
        usage.cpuSeconds = double(utime + stime) / double(clockTicks);
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            usage.rssKb = std::atol(line.c_str() + 6);
        if (line.compare(0, 6, "VmHWM:") == 0)
            usage.hwmKb = std::atol(line.c_str() + 6);
    }
    return usage;
}

double percentile(std::vector<long long>& values, double share) {
    if (values.empty())
        return 0;
    const std::size_t at = std::min(values.size() - 1, std::size_t(share * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(at), values.end());
    return double(values[at]) / 1000.0;
}

struct Row {
    const char* transport;
    long long sent;
    long long shown;
    double shownPerSecond;
    double lagMedian, lag99, lagMax;
    double cpuShare;
    Usage usage;
};

void printHeader() {
    std::printf("%5s  %-6s  %9s  %9s  %8s  %8s  %8s  %8s  %6s  %8s  %8s\n", "N", "wire", "sent",
                "shown", "shown/s", "lag p50", "lag p99", "lag max", "CPU", "RSS", "HWM");
    std::printf("%5s  %-6s  %9s  %9s  %8s  %8s  %8s  %8s  %6s  %8s  %8s\n", "", "", "", "", "",
                "ms", "ms", "ms", "core", "MiB", "MiB");
}

void printRow(int jobs, const Row& row) {
    std::printf("%5d  %-6s  %9lld  %9lld  %8.0f  %8.1f  %8.1f  %8.1f  %6.3f  %8.1f  %8.1f\n", jobs,
                row.transport, row.sent, row.shown, row.shownPerSecond, row.lagMedian, row.lag99,
                row.lagMax, row.cpuShare, row.usage.rssKb / 1024.0, row.usage.hwmKb / 1024.0);
}

int run(const Settings& settings) {
    const char* arguments[] = {"bench_monitor_scale"};
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(1, arguments);
    if (settings.header)
        printHeader();

    OutputReader directOutput, jabberOutput;
    // Opening a pipe for reading waits for its writer: the monitors are already running.
    std::thread directReader([&] { directOutput.Run(settings.directOutput); });
    std::thread jabberReader([&] { jabberOutput.Run(settings.jabberOutput); });

    cow_String server;
    int serverPort = 0;
    if (!ipm_JabberMechanism::ParseServerOption(settings.msgserver.c_str(), server, serverPort))
        throw std::runtime_error("-msgserver takes host:port");
    const cow_String monitor(
        (settings.listenerName + "@" + server.c_str() + "/" + settings.listenerResource).c_str());

    Sender direct, jabber;
    for (int i = 0; i < settings.jobs; ++i) {
        auto job = std::make_unique<DirectJob>("d" + std::to_string(i), settings.directPort);
        job->Send(startedReport(job->Variant(), job->name));
        direct.jobs.push_back(std::move(job));
        auto chat =
            std::make_unique<JabberJob>("j" + std::to_string(i), server, serverPort, monitor);
        chat->Send(startedReport(chat->Variant(), chat->name));
        jabber.jobs.push_back(std::move(chat));
    }
    direct.sent = settings.jobs;
    jabber.sent = settings.jobs;

    const std::chrono::milliseconds interval(settings.intervalMs);
    const Clock::time_point start = Clock::now();
    const Clock::time_point windowFrom = start + std::chrono::seconds(settings.warmup);
    const Clock::time_point stop = windowFrom + std::chrono::seconds(settings.seconds);
    const auto micros = [](Clock::time_point when) {
        return std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch())
            .count();
    };
    for (OutputReader* output : {&directOutput, &jabberOutput}) {
        output->windowFrom = micros(windowFrom);
        output->windowTo = micros(stop);
    }
    std::thread directSender([&] { direct.Run(start, stop, interval); });
    std::thread jabberSender([&] { jabber.Run(start, stop, interval); });

    std::this_thread::sleep_until(windowFrom);
    const Usage directBefore = usageOf(settings.directPid, settings.clockTicks);
    const Usage jabberBefore = usageOf(settings.jabberPid, settings.clockTicks);
    const Usage serverBefore = usageOf(settings.serverPid, settings.clockTicks);
    std::this_thread::sleep_until(stop);
    const Usage directAfter = usageOf(settings.directPid, settings.clockTicks);
    const Usage jabberAfter = usageOf(settings.jabberPid, settings.clockTicks);
    const Usage serverAfter = usageOf(settings.serverPid, settings.clockTicks);
    directSender.join();
    jabberSender.join();

    // Every job's final report shown, or a generous bound.
    const Clock::time_point drainUntil = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < drainUntil &&
           (directOutput.finals < settings.jobs || jabberOutput.finals < settings.jobs))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The monitors are stopped by the script, which ends the readers.
    directReader.detach();
    jabberReader.detach();

    const double window = double(settings.seconds);
    Row rows[2];
    OutputReader* outputs[2] = {&directOutput, &jabberOutput};
    Sender* senders[2] = {&direct, &jabber};
    const Usage before[2] = {directBefore, jabberBefore};
    const Usage after[2] = {directAfter, jabberAfter};
    const char* names[2] = {"direct", "jabber"};
    for (int i = 0; i < 2; ++i) {
        std::vector<long long> lags;
        {
            std::lock_guard<std::mutex> hold(outputs[i]->lagLock);
            lags = outputs[i]->lags;
        }
        rows[i].transport = names[i];
        rows[i].sent = senders[i]->sent;
        rows[i].shown = outputs[i]->reports;
        rows[i].shownPerSecond = double(outputs[i]->windowReports) / window;
        rows[i].lagMedian = percentile(lags, 0.5);
        rows[i].lag99 = percentile(lags, 0.99);
        rows[i].lagMax = percentile(lags, 1.0);
        rows[i].cpuShare = (after[i].cpuSeconds - before[i].cpuSeconds) / window;
        rows[i].usage = after[i];
        printRow(settings.jobs, rows[i]);
        if (!senders[i]->failure.empty())
            std::printf("       %s jobs failed: %s\n", names[i], senders[i]->failure.c_str());
        if (senders[i]->behind > 0)
            std::printf("       %s jobs fell behind their pace %lld times\n", names[i],
                        senders[i]->behind.load());
    }
    if (settings.serverPid != 0)
        std::printf("       Jabber server: %.3f core, %.1f MiB\n",
                    (serverAfter.cpuSeconds - serverBefore.cpuSeconds) / window,
                    serverAfter.rssKb / 1024.0);
    std::fflush(stdout);
    const bool complete = rows[0].shown == rows[0].sent && rows[1].shown == rows[1].sent;
    if (!complete)
        std::printf("       not every report sent was shown\n");
    std::fflush(stdout);
    std::_Exit(complete ? 0 : 1);
}

} // namespace

int main(int argc, char** argv) {
    int modules = 0;
    QORKelCommunications_initialize(modules);
    // The XMPP client echoes every stanza it receives on the console.
    std::FILE* nowhere = std::fopen("/dev/null", "w");
    if (nowhere != nullptr)
        aio_cout.SetTarget(nowhere);
    try {
        return run(parse(argc, argv));
    } catch (const csp_NetworkException& error) {
        std::fprintf(stderr, "bench_monitor_scale: network failure: %s\n",
                     error.getMessage().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_monitor_scale: %s\n", error.what());
    }
    std::fflush(stdout);
    std::_Exit(1);
}
