// The reporting call on the host's thread, against the floor of the same work done
// by hand: format the same payload with snprintf, append it to a file and flush.
//
// Two reports. The short one runs with a transport that does nothing, drained now and then.
// The typical Step report runs as a job runs it: the direct transport connected to a
// loopback listener that reads, the message file on, and no task draining the buffer; it
// is measured in rounds of 4000 calls per thread (compare the medians), and the memory that
// each buffered report holds is printed as counters of its own benchmark.
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "ipm/ipm_sendMessage.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

class NoTransport : public ipm_TransmissionMechanism {
public:
    bool Initialize() override { return true; }
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override {
        return EncodePayload(ipm_PayloadEncoder::Direct(), type, format, integers, reals, texts,
                             started);
    }
    void Close() override {}
    void Transmit(const cow_String&) override {}
    void Poll() override {}
};

// Removes the message files when the program ends.
struct ScratchDirectory {
    std::string path;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

std::string benchDirectory() {
    static const ScratchDirectory directory{[] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "bench_report_XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            std::abort();
        return pattern;
    }()};
    return directory.path;
}

const int integers[] = {42};
const double reals[] = {0.625};
const char* const texts[] = {"Assembling the stiffness matrix", "Solve"};
const char* const format = "step=%i load=%r message=%s phase=%e";

// The task's share of the work: it empties the buffer now and then.
void drainNowAndThen(std::int64_t iteration) {
    if ((iteration & 1023) != 1023)
        return;
    ipm_MessageTransmit::Instance().ClearMessageBuffer();
}

void BM_ipm_sendMessage(benchmark::State& state) {
    if (state.thread_index() == 0) {
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
        const std::string directory = benchDirectory();
        const char* argv[] = {"bench", "-job",   "report",         "-message",
                              "on",    "-indir", directory.c_str()};
        thr_GlobalSingleton<utl_CommandLine>::Instance().Set(7, argv);
        ipm_MessageTransmit::Instance().SetMechanism(new NoTransport);
    }
    std::int64_t iteration = 0;
    for (auto _ : state) {
        ipm_sendMessage("Step", format, integers, reals, texts);
        drainNowAndThen(iteration++);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
}

std::FILE* floorFile = nullptr;

void BM_floor_snprintf_fwrite_fflush(benchmark::State& state) {
    if (state.thread_index() == 0)
        floorFile = std::fopen((benchDirectory() + "/floor.ipm").c_str(), "a");
    char payload[512];
    for (auto _ : state) {
        const int length =
            std::snprintf(payload, sizeof payload,
                          "<Step><step type=\"integer\">%d</step><load type=\"float\">%g</load>"
                          "<message type=\"string\">%s</message><phase type=\"symconst\">%s</phase>"
                          "<jobName type=\"string\">%s</jobName></Step>\n",
                          integers[0], reals[0], texts[0], texts[1], "report");
        flockfile(floorFile);
        std::fwrite(payload, 1, static_cast<std::size_t>(length), floorFile);
        std::fflush(floorFile);
        funlockfile(floorFile);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        std::fclose(floorFile);
        floorFile = nullptr;
    }
}

// The typical Step report of a solver loop.
namespace typical {

const int integers[] = {17};
const double reals[] = {1.25e-05};
const char* const texts[] = {"Solve", "Assembling the stiffness matrix", "Newton step"};
const char* const format = "phase=%e message=%s stepName=%s iteration=%i residual=%r";
const char* const job = "typical";

// The payload ipm_sendMessage must produce, formatted by hand; the values need no escaping.
int FloorPayload(char* payload, std::size_t size) {
    return std::snprintf(payload, size,
                         "<Step><phase type=\"symconst\">%s</phase>"
                         "<message type=\"string\">%s</message>"
                         "<stepName type=\"string\">%s</stepName>"
                         "<iteration type=\"integer\">%d</iteration>"
                         "<residual type=\"float\">%g</residual>"
                         "<jobName type=\"string\">%s</jobName></Step>\n",
                         texts[0], texts[1], texts[2], integers[0], reals[0], job);
}

// A monitor's listener on loopback that accepts one connection after another and reads
// everything each one sends, so that the job's socket never backs up.
class LoopbackListener {
public:
    LoopbackListener() {
        listening = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listening < 0 ||
            ::bind(listening, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listening, 4) != 0 ||
            ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            std::abort();
        port = ntohs(address.sin_port);
        reader = std::thread([this] { ServeUntilStopped(); });
    }

    ~LoopbackListener() {
        stopping.store(true);
        reader.join();
        ::close(listening);
    }

    int Port() const { return port; }

private:
    int listening = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread reader;

    // Every wait is bounded, so that the destructor's stop request is seen.
    bool WaitReadable(int descriptor) const {
        pollfd entry{descriptor, POLLIN, 0};
        return ::poll(&entry, 1, 100) > 0;
    }

    void ServeUntilStopped() {
        while (!stopping.load()) {
            if (!WaitReadable(listening))
                continue;
            const int connection = ::accept(listening, nullptr, nullptr);
            if (connection < 0)
                continue;
            ReadUntilClosed(connection);
            ::close(connection);
        }
    }

    void ReadUntilClosed(int connection) {
        char received[65536];
        while (!stopping.load()) {
            if (!WaitReadable(connection))
                continue;
            if (::read(connection, received, sizeof received) <= 0)
                return;
        }
    }
};

LoopbackListener& Listener() {
    static LoopbackListener listener;
    return listener;
}

// A fresh transmitter with the direct transport, set up as the message task sets it up, and
// one report made and dropped from the buffer, so that the message file is open; false when
// the transport did not connect or the payload differs from the floor's.
bool StartTransmitter() {
    thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
    const std::string directory = benchDirectory();
    const std::string port = std::to_string(Listener().Port());
    const char* argv[] = {
        "bench",           "-job",           job,         "-message",     "on",        "-indir",
        directory.c_str(), "-listener_name", "127.0.0.1", "-direct_port", port.c_str()};
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(11, argv);
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    transmitter.SetMechanism(new ipm_DirectMechanism);
    transmitter.InitializeMechanism();
    ipm_sendMessage("Step", format, integers, reals, texts);
    transmitter.ClearMessageBuffer();
    char expected[512];
    const int length = FloorPayload(expected, sizeof expected);
    const cow_String encoded = transmitter.Encode("Step", format, integers, reals, texts, false);
    return transmitter.IsMechanismReady() && encoded.length() == length &&
           std::memcmp(encoded.c_str(), expected, static_cast<std::size_t>(length)) == 0;
}

void BM_TypicalStep_ipm_sendMessage(benchmark::State& state) {
    if (state.thread_index() == 0 && !StartTransmitter())
        state.SkipWithError("the direct transport did not connect, or the payload differs");
    for (auto _ : state)
        ipm_sendMessage("Step", format, integers, reals, texts);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
}

std::FILE* floorFile = nullptr;

void BM_TypicalStep_floor_snprintf_fwrite_fflush(benchmark::State& state) {
    if (state.thread_index() == 0)
        floorFile = std::fopen((benchDirectory() + "/typical-floor.ipm").c_str(), "a");
    char payload[512];
    for (auto _ : state) {
        const int length = FloorPayload(payload, sizeof payload);
        flockfile(floorFile);
        std::fwrite(payload, 1, static_cast<std::size_t>(length), floorFile);
        std::fflush(floorFile);
        funlockfile(floorFile);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        std::fclose(floorFile);
        floorFile = nullptr;
    }
}

// One round: `threads` threads make `calls` calls each, started together; the wall time
// per call, from the start to the last thread's end.
template <class Call> double NanosecondsPerCall(int threads, int calls, Call call) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            ready.fetch_add(1);
            while (!go.load())
                std::this_thread::yield();
            for (int k = 0; k < calls; ++k)
                call();
        });
    while (ready.load() < threads)
        std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go.store(true);
    for (std::thread& worker : workers)
        worker.join();
    const std::chrono::duration<double, std::nano> elapsed =
        std::chrono::steady_clock::now() - start;
    return elapsed.count() / (double(threads) * calls);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The reporting call and its floor in alternating rounds of 4000 calls per thread, so that both
// see the same load on a shared machine; "ratio" is the median of the rounds' ratios.
void BM_TypicalStep_AgainstFloor(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int calls = 4000;
    const int rounds = 15;
    if (!StartTransmitter()) {
        state.SkipWithError("the direct transport did not connect, or the payload differs");
        return;
    }
    floorFile = std::fopen((benchDirectory() + "/typical-floor.ipm").c_str(), "a");
    const auto library = [] { ipm_sendMessage("Step", format, integers, reals, texts); };
    const auto floor = [] {
        char payload[512];
        const int length = FloorPayload(payload, sizeof payload);
        flockfile(floorFile);
        std::fwrite(payload, 1, static_cast<std::size_t>(length), floorFile);
        std::fflush(floorFile);
        funlockfile(floorFile);
    };
    std::vector<double> libraryTimes, floorTimes, ratios;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            // Each goes first every other round.
            double libraryTime, floorTime;
            if (round % 2) {
                libraryTime = NanosecondsPerCall(threads, calls, library);
                floorTime = NanosecondsPerCall(threads, calls, floor);
            } else {
                floorTime = NanosecondsPerCall(threads, calls, floor);
                libraryTime = NanosecondsPerCall(threads, calls, library);
            }
            libraryTimes.push_back(libraryTime);
            floorTimes.push_back(floorTime);
            ratios.push_back(libraryTime / floorTime);
        }
    }
    std::fclose(floorFile);
    floorFile = nullptr;
    thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
    state.counters["library_ns"] = Median(libraryTimes);
    state.counters["floor_ns"] = Median(floorTimes);
    state.counters["ratio"] = Median(ratios);
}

std::size_t HeapInUse() {
    const struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

// What the buffer holds per report, as the C heap counts it (with its own chunk headers):
// the payload's string with its header, the list slot and the list's share of blocks and
// directory. Measured as the growth from one buffer size to a larger one, so that what a
// buffer holds once (its first blocks, a partly used span) does not count; "string" is a
// payload's string made alone at its exact size. Counters only; the time means nothing.
void BM_TypicalStep_BytesPerBufferedReport(benchmark::State& state) {
    const int firstReports = 50000;
    const int moreReports = 100000;
    double perReport = 0;
    double perString = 0;
    // The backlog's bound would otherwise keep the buffer at a thousand reports.
    const std::string bound = std::to_string(firstReports + moreReports);
    setenv("MAX_PENDING_MESSAGES", bound.c_str(), 1);
    for (auto _ : state) {
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
        const std::string directory = benchDirectory();
        const char* argv[] = {"bench", "-job", job, "-message", "on", "-indir", directory.c_str()};
        thr_GlobalSingleton<utl_CommandLine>::Instance().Set(7, argv);
        ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
        transmitter.SetMechanism(new NoTransport);
        for (int k = 0; k < firstReports; ++k)
            ipm_sendMessage("Step", format, integers, reals, texts);
        const std::size_t before = HeapInUse();
        for (int k = 0; k < moreReports; ++k)
            ipm_sendMessage("Step", format, integers, reals, texts);
        perReport = static_cast<double>(HeapInUse() - before) / moreReports;
        thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();

        char payload[512];
        FloorPayload(payload, sizeof payload);
        std::vector<cow_String> strings;
        strings.reserve(moreReports);
        const std::size_t stringsBefore = HeapInUse();
        for (int k = 0; k < moreReports; ++k)
            strings.emplace_back(payload);
        perString = static_cast<double>(HeapInUse() - stringsBefore) / moreReports;
    }
    unsetenv("MAX_PENDING_MESSAGES");
    char payload[512];
    const int payloadBytes = FloorPayload(payload, sizeof payload);
    state.counters["payload"] = payloadBytes;
    state.counters["held"] = perReport;
    state.counters["overhead"] = perReport - payloadBytes;
    state.counters["string"] = perString;
}

} // namespace typical

BENCHMARK(BM_ipm_sendMessage)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_floor_snprintf_fwrite_fflush)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(typical::BM_TypicalStep_ipm_sendMessage)
    ->Threads(1)
    ->Threads(8)
    ->Iterations(4000)
    ->Repetitions(7)
    ->UseRealTime();
BENCHMARK(typical::BM_TypicalStep_floor_snprintf_fwrite_fflush)
    ->Threads(1)
    ->Threads(8)
    ->Iterations(4000)
    ->Repetitions(7)
    ->UseRealTime();
BENCHMARK(typical::BM_TypicalStep_AgainstFloor)
    ->Arg(1)
    ->Arg(8)
    ->ArgName("threads")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(typical::BM_TypicalStep_BytesPerBufferedReport)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
