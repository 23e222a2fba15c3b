#include "monitor/mon_History.h"

#include "monitor/mon_Clock.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Text.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

const char fieldEnd = '\x1e';
const char partEnd = '\x1f';
// A writer that falls this far behind drops reports rather than let memory grow.
const std::size_t maxQueuedReports = 200000;
// Rows go to the writer this often (the monitor's round time), or sooner when this many
// reports have gathered.
const auto handOver = std::chrono::milliseconds(100);
const std::size_t maxBatchReports = 20000;
// How long a statement waits for another program's lock before the history gives up.
const int busyMilliseconds = 2000;
const double secondsPerDay = 86400;

std::string encodeFields(const mon_Report& report) {
    std::string text;
    std::size_t size = 0;
    for (const mon_Report::Field& field : report.Fields())
        size += field.key.size() + field.type.size() + field.value.size() + 3;
    text.reserve(size);
    for (const mon_Report::Field& field : report.Fields()) {
        text += field.key;
        text += partEnd;
        text += field.type;
        text += partEnd;
        text += field.value;
        text += fieldEnd;
    }
    return text;
}

mon_Report decodeFields(const std::string& type, const std::string& text) {
    mon_Report report(type);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find(fieldEnd, at);
        const std::string field = text.substr(at, end == std::string::npos ? end : end - at);
        const std::size_t first = field.find(partEnd);
        const std::size_t second =
            first == std::string::npos ? first : field.find(partEnd, first + 1);
        if (second != std::string::npos)
            report.AddField(mon_Report::Field{field.substr(0, first),
                                              field.substr(first + 1, second - first - 1),
                                              field.substr(second + 1)});
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return report;
}

// One prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* database, const char* sql) : statement(nullptr) {
        if (database != nullptr)
            sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return statement != nullptr; }
    sqlite3_stmt* operator*() const { return statement; }
    // The text must outlast the statement's next Step (a batch's rows do).
    void Text(int at, const std::string& text) const {
        sqlite3_bind_text(statement, at, text.data(), int(text.size()), SQLITE_STATIC);
    }
    void Real(int at, double value) const { sqlite3_bind_double(statement, at, value); }
    void RealOrNull(int at, double value) const {
        if (value < 0)
            sqlite3_bind_null(statement, at);
        else
            sqlite3_bind_double(statement, at, value);
    }
    void Whole(int at, long long value) const { sqlite3_bind_int64(statement, at, value); }
    // SQLITE_DONE or SQLITE_ROW when it went well.
    int Step() const { return sqlite3_step(statement); }
    void Reset() const {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    // Before binding every parameter again.
    void Rewind() const { sqlite3_reset(statement); }
    std::string ColumnText(int at) const {
        const unsigned char* text = sqlite3_column_text(statement, at);
        return text == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(text),
                                             std::size_t(sqlite3_column_bytes(statement, at)));
    }
    double ColumnReal(int at, double absent = -1) const {
        return sqlite3_column_type(statement, at) == SQLITE_NULL
                   ? absent
                   : sqlite3_column_double(statement, at);
    }
    long long ColumnWhole(int at, long long absent = -1) const {
        return sqlite3_column_type(statement, at) == SQLITE_NULL
                   ? absent
                   : sqlite3_column_int64(statement, at);
    }

private:
    sqlite3_stmt* statement;
};

const char* const schema = "CREATE TABLE IF NOT EXISTS runs("
                           " id INTEGER PRIMARY KEY, name TEXT NOT NULL, label TEXT NOT NULL,"
                           " origin TEXT NOT NULL, arrived REAL NOT NULL, ended REAL,"
                           " updated REAL NOT NULL, state TEXT NOT NULL, reports INTEGER,"
                           " errors INTEGER, warnings INTEGER, notices INTEGER, phase TEXT,"
                           " step INTEGER, steps INTEGER, percent REAL, last_message TEXT,"
                           " final_report TEXT, first_report INTEGER);"
                           "CREATE INDEX IF NOT EXISTS runs_updated ON runs(updated);"
                           // Reports are only appended and read a run at a time from its first
                           // one on: an index of their runs would cost every insert.
                           "CREATE TABLE IF NOT EXISTS reports("
                           " id INTEGER PRIMARY KEY, run INTEGER NOT NULL, at REAL NOT NULL,"
                           " type TEXT NOT NULL, fields TEXT NOT NULL);";

const char* const runColumns =
    "id, name, label, origin, arrived, ended, updated, state, reports, errors, warnings, "
    "notices, phase, step, steps, percent, last_message, final_report";

mon_History::Run readRun(const Statement& row) {
    mon_History::Run run;
    run.id = row.ColumnWhole(0, 0);
    run.name = row.ColumnText(1);
    run.label = row.ColumnText(2);
    run.origin = row.ColumnText(3);
    run.arrived = row.ColumnReal(4, 0);
    run.ended = row.ColumnReal(5);
    run.updated = row.ColumnReal(6, 0);
    run.state = row.ColumnText(7);
    run.reports = int(row.ColumnWhole(8, 0));
    run.errors = int(row.ColumnWhole(9, 0));
    run.warnings = int(row.ColumnWhole(10, 0));
    run.notices = int(row.ColumnWhole(11, 0));
    run.phase = row.ColumnText(12);
    run.step = long(row.ColumnWhole(13));
    run.steps = long(row.ColumnWhole(14));
    run.percent = row.ColumnReal(15);
    run.lastMessage = row.ColumnText(16);
    run.finalReport = row.ColumnText(17);
    return run;
}

} // namespace

bool mon_History::Available() {
    return true;
}

std::string mon_History::DefaultPath() {
#if defined(_WIN32)
    const char* local = std::getenv("LOCALAPPDATA");
    if (local != nullptr && local[0] != '\0')
        return std::string(local) + "\\ipm_monitor\\history.sqlite";
    return std::string();
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/ipm_monitor/history.sqlite";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/ipm_monitor/history.sqlite";
    return std::string();
#endif
}

mon_History::mon_History(const std::string& path, int keepDays, mon_View& notes)
    : path(path), keepDays(keepDays), notes(notes), database(nullptr), recording(false),
      failureSaid(false), failed(false), written(0), lastRunFlush(0), queuedReports(0),
      writing(false), stopping(false), droppedSaid(false), lastPrune(0) {
    if (!open()) {
        if (database != nullptr)
            sqlite3_close(database);
        database = nullptr;
        failureSaid = true;
        notes.Note("history: " + path + ": " + failure + "; going on without history");
    }
}

mon_History::~mon_History() {
    if (writer.joinable()) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            stopping = true;
        }
        wake.notify_all();
        writer.join();
    }
    if (database != nullptr)
        sqlite3_close(database);
}

bool mon_History::open() {
    // SQLite counts every allocation under a lock of its own unless told not to; it must
    // hear so before it starts, and the monitor is its only user.
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        return sqlite3_initialize() == SQLITE_OK;
    }();
    (void)configured;
    std::error_code ignored;
    const std::filesystem::path file(path);
    if (file.has_parent_path() && !std::filesystem::exists(file.parent_path(), ignored)) {
        std::filesystem::create_directories(file.parent_path(), ignored);
        std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, ignored);
    }
    // One thread at a time uses the connection (the loop's until recording starts, the
    // writer's after), so SQLite's own locking of it would only cost.
    if (sqlite3_open_v2(path.c_str(), &database,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        failure = database != nullptr ? sqlite3_errmsg(database) : "cannot open it";
        return false;
    }
    sqlite3_busy_timeout(database, busyMilliseconds);
    // WAL lets -jobs and a second monitor read while this one writes; NORMAL syncs at
    // checkpoints only: a power cut may lose the last moments, never the database.
    // Large pages: reports are only appended, and each page written costs a system call
    // (twice: into the log, then into the database). Only a new database takes it.
    if (!execute("PRAGMA page_size=16384") || !execute("PRAGMA journal_mode=WAL") ||
        !execute("PRAGMA synchronous=NORMAL") || !execute(schema))
        return false;
    prune(mon_Clock::WallSeconds());
    return !failed;
}

bool mon_History::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(database, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    fail(message != nullptr ? message : sqlite3_errmsg(database));
    sqlite3_free(message);
    return false;
}

void mon_History::fail(const std::string& what) {
    std::lock_guard<std::mutex> hold(mutex);
    if (failure.empty()) {
        const int code = database != nullptr ? sqlite3_extended_errcode(database) : 0;
        failure = what;
        if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED)
            failure += " (another program holds it)";
    }
    failed = true;
}

void mon_History::prune(double now) {
    lastPrune = now;
    // Reports come in the order of their ids: those before the first one of the cut-off
    // time go, found without reading the rest.
    Statement reports(database, "DELETE FROM reports WHERE id < coalesce((SELECT id FROM reports "
                                "WHERE at >= ?1 ORDER BY id LIMIT 1), (SELECT max(id) + 1 FROM "
                                "reports))");
    Statement runs(database, "DELETE FROM runs WHERE updated < ?1");
    if (!reports.Ok() || !runs.Ok()) {
        fail(sqlite3_errmsg(database));
        return;
    }
    const double before = now - keepDays * secondsPerDay;
    reports.Real(1, before);
    runs.Real(1, before);
    if (reports.Step() != SQLITE_DONE || runs.Step() != SQLITE_DONE)
        fail(sqlite3_errmsg(database));
}

std::vector<mon_History::Run> mon_History::Runs(double since, std::size_t limit) const {
    std::vector<Run> runs;
    if (database == nullptr)
        return runs;
    Statement select(database, (std::string("SELECT ") + runColumns +
                                " FROM runs WHERE updated >= ?1 ORDER BY id DESC LIMIT ?2")
                                   .c_str());
    if (!select.Ok())
        return runs;
    select.Real(1, since);
    select.Whole(2, (long long)limit);
    while (select.Step() == SQLITE_ROW)
        runs.insert(runs.begin(), readRun(select));
    return runs;
}

bool mon_History::FindRun(const std::string& nameOrId, Run& run) const {
    if (database == nullptr)
        return false;
    const bool number = !nameOrId.empty() && nameOrId.size() < 18 &&
                        nameOrId.find_first_not_of("0123456789") == std::string::npos;
    Statement select(database, (std::string("SELECT ") + runColumns + " FROM runs WHERE " +
                                (number ? "id = ?1" : "name = ?1 OR label = ?1") +
                                " ORDER BY id DESC LIMIT 1")
                                   .c_str());
    if (!select.Ok())
        return false;
    if (number)
        select.Whole(1, std::atoll(nameOrId.c_str()));
    else
        select.Text(1, nameOrId);
    if (select.Step() != SQLITE_ROW)
        return false;
    run = readRun(select);
    return true;
}

std::vector<mon_History::StoredReport> mon_History::Reports(long long run, long long afterId,
                                                            int limit) const {
    std::vector<StoredReport> reports;
    Statement select(database, "SELECT id, at, type, fields FROM reports WHERE id > max(?2, "
                               "(SELECT coalesce(first_report, 9223372036854775807) - 1 FROM "
                               "runs WHERE id = ?1)) AND run = ?1 ORDER BY id LIMIT ?3");
    if (!select.Ok())
        return reports;
    const Statement& query = select;
    query.Whole(1, run);
    query.Whole(2, afterId);
    query.Whole(3, limit);
    while (query.Step() == SQLITE_ROW) {
        StoredReport stored;
        stored.id = select.ColumnWhole(0, 0);
        stored.at = select.ColumnReal(1, 0);
        const std::string type = select.ColumnText(2);
        if (type.empty())
            stored.raw = select.ColumnText(3);
        else
            stored.report = decodeFields(type, select.ColumnText(3));
        reports.push_back(std::move(stored));
    }
    return reports;
}

void mon_History::StartRecording() {
    if (!Usable() || recording)
        return;
    recording = true;
    writer = std::thread(&mon_History::writeLoop, this);
}

void mon_History::JobArrived(const mon_Job& job, const std::string&) {
    if (recording)
        changedState.insert(job.Id());
}

void mon_History::ReportArrived(const mon_Job& job, const mon_Report& report, const Time&) {
    if (!recording)
        return;
    if (lastDirty != job.Id())
        dirty.insert(job.Id());
    lastDirty = job.Id();
    pending.reports.push_back(
        ReportRow{job.Id(), mon_Clock::WallSeconds(), report.Type(), encodeFields(report)});
}

void mon_History::ReportUnreadable(const mon_Job& job, const std::string& raw, const std::string&,
                                   const Time&) {
    if (!recording)
        return;
    dirty.insert(job.Id());
    pending.reports.push_back(ReportRow{job.Id(), mon_Clock::WallSeconds(), std::string(),
                                        mon_Text::Shortened(raw, 4096)});
}

void mon_History::StateChanged(const mon_Job& job, mon_Job::State, const std::string&) {
    if (recording)
        changedState.insert(job.Id());
}

void mon_History::JobLeft(const mon_Job& job) {
    if (recording)
        changedState.insert(job.Id());
}

mon_History::Run mon_History::runOf(const mon_Job& job, double now) const {
    const mon_Job::Clock::time_point steadyNow = mon_Job::Clock::now();
    Run run;
    run.id = job.Id();
    run.name = job.Name();
    run.label = job.Label();
    run.origin = job.Origin();
    run.arrived = mon_Clock::WallAt(job.Arrived(), steadyNow, now);
    run.ended = job.HasEnded() ? mon_Clock::WallAt(job.EndedAt(), steadyNow, now) : -1;
    run.updated = now;
    run.state = mon_Job::StateName(job.GetState());
    run.reports = job.Reports();
    run.errors = job.Errors();
    run.warnings = job.Warnings();
    run.notices = job.Notices();
    run.phase = job.Phase();
    run.step = job.GetProgress().Step();
    run.steps = job.GetProgress().Total();
    run.percent = job.GetProgress().Percent();
    run.lastMessage = job.LastMessage();
    run.finalReport = job.FinalReport();
    return run;
}

// A job's row follows its tally once a second, and at once when its state changes.
void mon_History::flushRuns(const mon_Roster& roster, bool all) {
    const double now = mon_Clock::WallSeconds();
    if (all || now - lastRunFlush >= 1.0) {
        lastRunFlush = now;
        changedState.insert(dirty.begin(), dirty.end());
        dirty.clear();
        lastDirty = 0;
    }
    for (const int id : changedState)
        if (const mon_Job* job = roster.Find(id))
            pending.runs.push_back(runOf(*job, now));
    changedState.clear();
}

void mon_History::Refresh(const mon_Roster& roster) {
    if (!recording)
        return;
    if (failed) {
        sayFailure();
        pending = Batch();
        dirty.clear();
        lastDirty = 0;
        changedState.clear();
        return;
    }
    // A transaction costs more than the rows in it: the loop's rounds come hundreds of
    // times a second under load, so their rows go to the writer once per handOver.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastHandOver < handOver && pending.reports.size() < maxBatchReports)
        return;
    lastHandOver = now;
    handOverRows(roster);
}

void mon_History::handOverRows(const mon_Roster& roster) {
    flushRuns(roster, false);
    if (pending.runs.empty() && pending.reports.empty())
        return;
    bool dropped = false;
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (queuedReports + pending.reports.size() > maxQueuedReports) {
            dropped = true;
            pending.reports.clear();
        }
        queuedReports += pending.reports.size();
        queue.push_back(std::move(pending));
    }
    pending = Batch();
    wake.notify_one();
    if (dropped && !droppedSaid) {
        droppedSaid = true;
        notes.Note("history: the disk does not keep up; some reports are not kept");
    }
}

void mon_History::Finish(const mon_Roster& roster) {
    if (recording && !failed) {
        flushRuns(roster, true);
        handOverRows(roster);
        Drain(5.0);
    }
    if (failed)
        sayFailure();
}

void mon_History::sayFailure() {
    if (failureSaid)
        return;
    failureSaid = true;
    std::string why;
    {
        std::lock_guard<std::mutex> hold(mutex);
        why = failure;
    }
    notes.Note("history: " + path + ": " + why + "; going on without history");
}

bool mon_History::Drain(double seconds) {
    std::unique_lock<std::mutex> hold(mutex);
    return drained.wait_for(hold, std::chrono::duration<double>(seconds),
                            [this] { return (queue.empty() && !writing) || failed; });
}

void mon_History::writeLoop() {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
        wake.wait(hold, [this] { return stopping || !queue.empty(); });
        if (queue.empty() && stopping)
            return;
        // Everything that gathered while the last transaction ran goes in this one.
        Batch batch = std::move(queue.front());
        queue.pop_front();
        while (!queue.empty()) {
            Batch& next = queue.front();
            batch.runs.insert(batch.runs.end(), std::make_move_iterator(next.runs.begin()),
                              std::make_move_iterator(next.runs.end()));
            batch.reports.insert(batch.reports.end(), std::make_move_iterator(next.reports.begin()),
                                 std::make_move_iterator(next.reports.end()));
            queue.pop_front();
        }
        queuedReports = 0;
        writing = true;
        hold.unlock();
        const bool ok = !failed && write(batch);
        hold.lock();
        writing = false;
        if (ok)
            written += (long long)batch.reports.size();
        drained.notify_all();
        if (!ok) {
            queue.clear();
            if (stopping)
                return;
        }
    }
}

bool mon_History::write(const Batch& batch) {
    if (!execute("BEGIN IMMEDIATE"))
        return false;
    Statement insertRun(database, "INSERT INTO runs(name, label, origin, arrived, ended, "
                                  "updated, state, reports, errors, warnings, notices, phase, "
                                  "step, steps, percent, last_message, final_report) VALUES "
                                  "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
                                  "?14, ?15, ?16, ?17)");
    Statement updateRun(database, "UPDATE runs SET name = ?1, label = ?2, origin = ?3, "
                                  "arrived = ?4, ended = ?5, updated = ?6, state = ?7, "
                                  "reports = ?8, errors = ?9, warnings = ?10, notices = ?11, "
                                  "phase = ?12, step = ?13, steps = ?14, percent = ?15, "
                                  "last_message = ?16, final_report = ?17 WHERE id = ?18");
    Statement insertReport(database,
                           "INSERT INTO reports(run, at, type, fields) VALUES (?1, ?2, ?3, ?4)");
    Statement markFirst(database, "UPDATE runs SET first_report = ?1 WHERE id = ?2");
    bool ok = insertRun.Ok() && updateRun.Ok() && insertReport.Ok() && markFirst.Ok();
    for (std::size_t i = 0; ok && i < batch.runs.size(); ++i) {
        const Run& run = batch.runs[i];
        const auto known = runIds.find(int(run.id));
        Statement& statement = known == runIds.end() ? insertRun : updateRun;
        statement.Text(1, run.name);
        statement.Text(2, run.label);
        statement.Text(3, run.origin);
        statement.Real(4, run.arrived);
        statement.RealOrNull(5, run.ended);
        statement.Real(6, run.updated);
        statement.Text(7, run.state);
        statement.Whole(8, run.reports);
        statement.Whole(9, run.errors);
        statement.Whole(10, run.warnings);
        statement.Whole(11, run.notices);
        statement.Text(12, run.phase);
        if (run.step >= 0)
            statement.Whole(13, run.step);
        if (run.steps >= 0)
            statement.Whole(14, run.steps);
        statement.RealOrNull(15, run.percent);
        statement.Text(16, run.lastMessage);
        statement.Text(17, run.finalReport);
        if (known != runIds.end())
            statement.Whole(18, known->second);
        ok = statement.Step() == SQLITE_DONE;
        statement.Reset();
        if (ok && known == runIds.end())
            runIds[int(run.id)] = sqlite3_last_insert_rowid(database);
    }
    for (std::size_t i = 0; ok && i < batch.reports.size(); ++i) {
        const ReportRow& row = batch.reports[i];
        const auto known = runIds.find(row.job);
        if (known == runIds.end())
            continue;
        insertReport.Whole(1, known->second);
        insertReport.Real(2, row.at);
        insertReport.Text(3, row.type);
        insertReport.Text(4, row.fields);
        ok = insertReport.Step() == SQLITE_DONE;
        insertReport.Rewind();
        if (ok && lastFirstMarked != known->second && firstReported.insert(known->second).second) {
            lastFirstMarked = known->second;
            markFirst.Whole(1, sqlite3_last_insert_rowid(database));
            markFirst.Whole(2, known->second);
            ok = markFirst.Step() == SQLITE_DONE;
            markFirst.Rewind();
        }
    }
    if (!ok) {
        fail(sqlite3_errmsg(database));
        sqlite3_exec(database, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    if (!execute("COMMIT")) {
        sqlite3_exec(database, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    const double now = mon_Clock::WallSeconds();
    if (now - lastPrune > 3600)
        prune(now);
    return true;
}
