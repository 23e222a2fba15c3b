// What the monitor's history costs per report against what its plain log costs, the whole
// process's CPU time counted (the history's writer thread included): 200 jobs, each report a
// typical Step report, the loop handing over a round every ten reports. The history must
// cost no more than the log that every monitor writes anyway.
#include "monitor/mon_History.h"
#include "monitor/mon_ReportPrinter.h"
#include "monitor/mon_Roster.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int jobCount = 200;
const int reportsPerRound = 10;

class Silent : public mon_View {
public:
    void JobArrived(const mon_Job&, const std::string&) override {}
    void ReportArrived(const mon_Job&, const mon_Report&, const Time&) override {}
    void ReportUnreadable(const mon_Job&, const std::string&, const std::string&,
                          const Time&) override {}
    void StateChanged(const mon_Job&, mon_Job::State, const std::string&) override {}
    void JobLeft(const mon_Job&) override {}
    void Note(const std::string&) override {}
    void Summary(const mon_Roster&) override {}
};

mon_Report stepReport(int iteration) {
    mon_Report report("Step");
    report.AddField({"phase", "symconst", "Analysis"});
    report.AddField({"message", "string", "Assembling the stiffness matrix"});
    report.AddField({"stepName", "string", "Solve"});
    report.AddField({"iteration", "integer", std::to_string(iteration)});
    report.AddField({"residual", "float", std::to_string(1.0 / (iteration + 1))});
    report.AddField({"jobName", "string", "bench"});
    return report;
}

struct Jobs {
    Silent silent;
    mon_Roster roster{silent, std::chrono::seconds(3600), std::chrono::seconds(10)};
    std::vector<const mon_Job*> jobs;
    std::vector<mon_Report> reports;
    Jobs() {
        for (int i = 0; i < jobCount; ++i) {
            const int id = roster.Arrive("job" + std::to_string(i), "127.0.0.1:1", "bench",
                                         mon_Job::Clock::now());
            jobs.push_back(roster.Find(id));
        }
        for (int i = 0; i < 64; ++i)
            reports.push_back(stepReport(i));
    }
};

std::string temporary(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + "-" + std::to_string(::getpid())))
        .string();
}

template <typename Body>
void rounds(benchmark::State& state, Jobs& jobs, mon_View& view, Body afterRound) {
    std::size_t at = 0;
    for (auto _ : state) {
        for (int i = 0; i < reportsPerRound; ++i, ++at)
            view.ReportArrived(*jobs.jobs[at % jobCount], jobs.reports[at % jobs.reports.size()],
                               mon_View::Time::Now());
        view.Refresh(jobs.roster);
        afterRound();
    }
    state.SetItemsProcessed(state.iterations() * reportsPerRound);
}

void BM_PlainLogToFile(benchmark::State& state) {
    Jobs jobs;
    const std::string path = temporary("bench-plain-log");
    std::FILE* file = std::fopen(path.c_str(), "w");
    mon_ReportPrinter log(file);
    rounds(state, jobs, log, [] {});
    std::fclose(file);
    std::filesystem::remove(path);
}
BENCHMARK(BM_PlainLogToFile)->MeasureProcessCPUTime()->UseRealTime()->MinTime(3.0);

void BM_History(benchmark::State& state) {
    Jobs jobs;
    const std::string path = temporary("bench-history") + ".sqlite";
    {
        Silent notes;
        mon_History history(path, 30, notes);
        history.StartRecording();
        for (const mon_Job* job : jobs.jobs)
            history.JobArrived(*job, "bench");
        // Unpaced, the loop outruns any disk: it waits for the writer now and then, so that
        // every report is written and its writing counted.
        int round = 0;
        rounds(state, jobs, history, [&history, &round] {
            if (++round % 500 == 0)
                history.Drain(10.0);
        });
        history.Finish(jobs.roster);
        state.counters["written"] = double(history.Written());
        state.counters["reports"] = double(state.iterations() * reportsPerRound);
    }
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);
}
BENCHMARK(BM_History)->MeasureProcessCPUTime()->UseRealTime()->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
