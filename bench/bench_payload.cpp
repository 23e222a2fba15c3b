// What checking values and names costs the reporting thread: one report encoded by each
// variant, with texts that pass as they are, texts that must be parsed to be kept
// (markup, text beyond ASCII) and texts that must be repaired.
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_PayloadEncoder.h"

#include <benchmark/benchmark.h>

namespace {

const int integers[] = {42};
const double reals[] = {0.625};
const char* const format = "step=%i load=%r note=%s stepName=%s phase=%e";

const char* const plain[] = {"Assembling the stiffness matrix", "Solve", "Analysis"};
const char* const markup[] = {"<b>Assembling</b> the stiffness matrix, x &gt; 0", "Solve",
                              "Analysis"};
const char* const beyondAscii[] = {"Steifigkeitsmatrix f\xC3\xBCr 20 \xC2\xB0"
                                   "C",
                                   "L\xC3\xB6sen", "Analyse"};
const char* const repaired[] = {"Steifigkeitsmatrix f\xFCr 20 \xB0"
                                "C & <more>",
                                "L\xF6sen", "Analyse"};

void encode(benchmark::State& state, const ipm_PayloadEncoder& variant, const char* const* texts) {
    const char* arguments[] = {"bench_payload"};
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(1, arguments);
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    const cow_String job("beam");
    for (auto _ : state)
        benchmark::DoNotOptimize(
            variant.Encode(transmitter, job, "Step", format, integers, reals, texts, false));
    thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
}

void directPlain(benchmark::State& state) {
    encode(state, ipm_PayloadEncoder::Direct(), plain);
}
void directMarkup(benchmark::State& state) {
    encode(state, ipm_PayloadEncoder::Direct(), markup);
}
void directBeyondAscii(benchmark::State& state) {
    encode(state, ipm_PayloadEncoder::Direct(), beyondAscii);
}
void directRepaired(benchmark::State& state) {
    encode(state, ipm_PayloadEncoder::Direct(), repaired);
}
void jabberMarkup(benchmark::State& state) {
    encode(state, ipm_PayloadEncoder::Jabber(), markup);
}

BENCHMARK(directPlain);
BENCHMARK(directMarkup);
BENCHMARK(directBeyondAscii);
BENCHMARK(directRepaired);
BENCHMARK(jabberMarkup);

} // namespace

BENCHMARK_MAIN();
