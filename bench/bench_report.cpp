// The reporting call on the host's thread, against the floor of the same work done
// by hand: format the same payload with snprintf, append it to a file and flush.
// ipm_sendMessage runs with a transport that does nothing and the message file on.
#include "base/thr_GlobalSingleton.h"
#include "base/thr_LockGuard.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "ipm/ipm_sendMessage.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    thr_LockGuard<thr_Mutex> lock(transmitter.GetBufferLock());
    transmitter.ClearMessageBuffer();
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

BENCHMARK(BM_ipm_sendMessage)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_floor_snprintf_fwrite_fflush)->Threads(1)->Threads(4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
