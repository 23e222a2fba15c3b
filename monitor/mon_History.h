#ifndef MONITOR_MON_HISTORY_H
#define MONITOR_MON_HISTORY_H

#include "monitor/mon_Report.h"
#include "monitor/mon_View.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

// Every job and every report the monitor sees, kept in an SQLite database so that a monitor
// started again shows what ran before, and a job can be looked at after the fact. The
// monitor's loop never waits for the disk: every 100 ms (its round time) the rows gathered
// go as one batch to a thread of the history's own, which writes whatever batches it finds
// in one transaction. A database that
// is locked, corrupt or on a full disk is said once; the monitor goes on without history.
//
// Tables: runs (one row per job's run: names, times as Unix seconds, end state, tally,
// progress, last message) and reports (run, time, type, and the fields as key, type and
// value separated by \x1f, each field ended by \x1e: XML text never holds those bytes).
class mon_History : public mon_View {
public:
    // What the history knows of one run.
    struct Run {
        long long id = 0;
        std::string name;
        std::string label;
        std::string origin;
        double arrived = 0;
        // < 0: no end was written (the monitor stopped while the job ran).
        double ended = -1;
        double updated = 0;
        std::string state;
        int reports = 0;
        int errors = 0;
        int warnings = 0;
        int notices = 0;
        std::string phase;
        long step = -1;
        long steps = -1;
        double percent = -1;
        std::string lastMessage;
        std::string finalReport;
    };
    struct StoredReport {
        long long id = 0;
        double at = 0;
        // Empty for a payload that could not be read; its raw text is then in `raw`.
        mon_Report report;
        std::string raw;
    };

    // Where the history goes unless -history says otherwise: under $XDG_STATE_HOME (or
    // ~/.local/state), %LOCALAPPDATA% on Windows; empty when none of these is set.
    static std::string DefaultPath();
    static bool Available();

    // Opens or creates the database and forgets what is older than `keepDays`. `notes`
    // hears of failures, once.
    mon_History(const std::string& path, int keepDays, mon_View& notes);
    ~mon_History() override;
    mon_History(const mon_History&) = delete;
    mon_History& operator=(const mon_History&) = delete;

    // False when the database could not be opened or has failed since.
    bool Usable() const { return database != nullptr && !failed; }
    const std::string& Path() const { return path; }

    // Read before recording starts (they use the loop's thread).
    // Runs that were still going or ended since `since` (Unix seconds), oldest first, at
    // most `limit` of the newest.
    std::vector<Run> Runs(double since, std::size_t limit) const;
    bool FindRun(const std::string& nameOrId, Run& run) const;
    // Up to `limit` reports of a run after the report `afterId`, in order.
    std::vector<StoredReport> Reports(long long run, long long afterId, int limit) const;

    // From now on the roster's events are written (a thread of the history's own).
    void StartRecording();

    void JobArrived(const mon_Job& job, const std::string& how) override;
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override;
    void ReportUnreadable(const mon_Job& job, const std::string& raw, const std::string& reason,
                          const Time& time) override;
    void StateChanged(const mon_Job& job, mon_Job::State previous, const std::string& why) override;
    void JobLeft(const mon_Job& job) override;
    void Note(const std::string&) override {}
    // Hands the round's rows to the writer, and says once if it has failed.
    void Refresh(const mon_Roster& roster) override;
    void Summary(const mon_Roster&) override {}
    // Writes every job's last state and waits (a few seconds at most) for the writer.
    void Finish(const mon_Roster& roster);

    // Reports written so far, for tests and the benchmark.
    long long Written() const { return written; }
    // Waits (up to `seconds`) until every batch handed over is written.
    bool Drain(double seconds);

private:
    struct ReportRow {
        int job;
        double at;
        std::string type;
        std::string fields;
    };
    struct Batch {
        std::vector<Run> runs; // `id` holds the monitor's job id
        std::vector<ReportRow> reports;
    };

    std::string path;
    int keepDays;
    mon_View& notes;
    sqlite3* database;
    bool recording;
    bool failureSaid;
    std::atomic<bool> failed;
    std::atomic<long long> written;
    std::set<int> dirty;
    // The job of the last report, which needs no second look in `dirty`.
    int lastDirty = 0;
    std::set<int> changedState;
    double lastRunFlush;
    std::chrono::steady_clock::time_point lastHandOver;
    Batch pending;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<Batch> queue;
    std::size_t queuedReports;
    bool writing;
    bool stopping;
    bool droppedSaid;
    std::string failure;
    std::thread writer;
    // The writer's own: the database row of each job it has seen.
    std::map<int, long long> runIds;
    std::set<long long> firstReported;
    long long lastFirstMarked = 0;
    double lastPrune;

    bool open();
    bool execute(const char* sql);
    void fail(const std::string& what);
    void sayFailure();
    void prune(double now);
    void writeLoop();
    bool write(const Batch& batch);
    Run runOf(const mon_Job& job, double now) const;
    void handOverRows(const mon_Roster& roster);
    void flushRuns(const mon_Roster& roster, bool all);
};

#endif
