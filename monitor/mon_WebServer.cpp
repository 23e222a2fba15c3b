#include "monitor/mon_WebServer.h"

#include "monitor/mon_JsonLog.h"
#include "monitor/mon_ReportPrinter.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Series.h"
#include "monitor/mon_Text.h"
#include "monitor/mon_WebAssets.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// What the loop builds while nobody looks: nothing, once the last look is this old.
const auto interestTime = std::chrono::seconds(10);
const auto tableInterval = std::chrono::milliseconds(250);
const auto jobInterval = std::chrono::milliseconds(400);
// An event stream says something this often, so that a closed page is noticed.
const auto heartbeat = std::chrono::seconds(10);
const auto requestWait = std::chrono::seconds(2);
const auto lookInterval = std::chrono::milliseconds(50);

const char fieldEnd = '\x1e';
const char partEnd = '\x1f';

// The report of a packed entry: "time\x1ftype" then "\x1ekey\x1ftype\x1fvalue" per field.
mon_Report unpack(const std::string& packed) {
    const std::size_t typeAt = packed.find(partEnd) + 1;
    std::size_t at = packed.find(fieldEnd, typeAt);
    mon_Report report(packed.substr(typeAt, at == std::string::npos ? at : at - typeAt));
    while (at != std::string::npos) {
        const std::size_t start = at + 1;
        at = packed.find(fieldEnd, start);
        const std::string field = packed.substr(start, at == std::string::npos ? at : at - start);
        const std::size_t first = field.find(partEnd);
        const std::size_t second =
            first == std::string::npos ? first : field.find(partEnd, first + 1);
        if (second != std::string::npos)
            report.AddField(mon_Report::Field{field.substr(0, first),
                                              field.substr(first + 1, second - first - 1),
                                              field.substr(second + 1)});
    }
    return report;
}

std::string dumped(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A point's number as the job wrote it, not as its nearest single-precision value spelt
// out in double precision (0.01, not 0.009999999776482582).
Json plotted(float value) {
    if (value == float(static_cast<long long>(value)) && value > -1e15f && value < 1e15f)
        return static_cast<long long>(value);
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", double(value));
    return std::strtod(text, nullptr);
}

Json numberOrNull(double value) {
    return value < 0 ? Json(nullptr) : Json(value);
}

// Both texts are compared whole, whatever differs, so that the time taken tells nothing.
bool sameToken(const std::string& given, const std::string& token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    return difference == 0;
}

bool isLoopback(const std::string& address) {
    return address.compare(0, 4, "127.") == 0 || address == "::1" || address == "localhost";
}

// A page bound to loopback answers only requests addressed to loopback: a web site whose
// name its owner points at 127.0.0.1 cannot read the jobs through the engineer's browser.
bool loopbackHost(const std::string& host) {
    const std::string name = host.substr(
        0, host.rfind(':') == std::string::npos || host.back() == ']' ? std::string::npos
                                                                      : host.rfind(':'));
    return isLoopback(name) || name == "[::1]";
}

void securityHeaders(httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
}

} // namespace

struct mon_WebServer::Shared {
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::string token;

    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    std::string table;
    long long tableVersion = 0;
    struct Detail {
        std::string json;
        long long version = 0;
    };
    std::map<int, Detail> details;
    std::map<int, Clock::time_point> wanted;
    // Labels of the jobs a Kill can reach.
    // The jobs a Kill can reach, by id, with their names.
    std::map<int, std::string> killable;
    std::deque<int> kills;
    int streams = 0;
    Clock::time_point lastRequest;

    void lookedAt(int job) {
        lastRequest = Clock::now();
        if (job > 0)
            wanted[job] = lastRequest;
    }
};

mon_WebServer::mon_WebServer(const std::string& address, int wantedPort, const std::string& token,
                             const std::string& title)
    : address(address), port(0), title(title), tokenSet(!token.empty()),
      shared(std::make_shared<Shared>()), tableDirty(true) {
    shared->token = token;
    httplib::Server& server = shared->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(maxStreams + 4); };
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    server.set_payload_max_length(4096);
    routes();
    if (isLoopback(address))
        server.set_pre_routing_handler(
            [](const httplib::Request& request, httplib::Response& response) {
                if (loopbackHost(request.get_header_value("Host")))
                    return httplib::Server::HandlerResponse::Unhandled;
                response.status = 421;
                response.set_content("this monitor's page answers on loopback only", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            });
    if (wantedPort == 0)
        port = server.bind_to_any_port(address);
    else if (server.bind_to_port(address, wantedPort))
        port = wantedPort;
    if (port <= 0)
        throw std::runtime_error("-http: cannot listen on " + address + ":" +
                                 std::to_string(wantedPort) +
                                 " (address in use, or not an address of this machine)");
    std::shared_ptr<Shared> held = shared;
    shared->thread = std::thread([held] {
        held->server.listen_after_bind();
        held->ended = true;
    });
}

mon_WebServer::~mon_WebServer() {
    {
        std::lock_guard<std::mutex> hold(shared->mutex);
        shared->stopping = true;
    }
    shared->changed.notify_all();
    // stop() only reaches a server that is already listening.
    for (int i = 0; i < 200 && !shared->ended; ++i) {
        if (shared->server.is_running()) {
            shared->server.stop();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (shared->thread.joinable())
        shared->thread.join();
}

std::string mon_WebServer::Address() const {
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    return "http://" + host + ":" + std::to_string(port) + "/";
}

void mon_WebServer::routes() {
    httplib::Server& server = shared->server;
    // The handlers live in the server, which lives in `shared` and is stopped before it
    // goes: a plain pointer, not a share of what holds them.
    Shared* state = shared.get();
    const bool readOnly = !tokenSet;
    auto asset = [&server](const char* path, const char* type, const std::string& body) {
        server.Get(path, [type, body](const httplib::Request&, httplib::Response& response) {
            securityHeaders(response);
            response.set_content(body, type);
        });
    };
    asset("/", "text/html; charset=utf-8", mon_WebAssets::Page());
    asset("/app.js", "text/javascript; charset=utf-8", mon_WebAssets::Script());
    asset("/app.css", "text/css; charset=utf-8", mon_WebAssets::Style());
    asset("/chart.js", "text/javascript; charset=utf-8", mon_WebAssets::ChartLibrary());

    // The table, once the loop has built it.
    server.Get("/api/jobs", [state](const httplib::Request&, httplib::Response& response) {
        std::unique_lock<std::mutex> hold(state->mutex);
        state->lookedAt(0);
        state->changed.wait_for(hold, requestWait,
                                [&state] { return state->tableVersion > 0 || state->stopping; });
        securityHeaders(response);
        response.set_content(state->table.empty() ? "{}" : state->table, "application/json");
    });
    server.Get("/api/job", [state](const httplib::Request& request, httplib::Response& response) {
        const int job = std::atoi(request.get_param_value("id").c_str());
        std::unique_lock<std::mutex> hold(state->mutex);
        state->lookedAt(job);
        state->changed.wait_for(hold, requestWait, [&state, job] {
            return state->details.count(job) != 0 || state->stopping;
        });
        securityHeaders(response);
        const auto found = state->details.find(job);
        if (found == state->details.end()) {
            response.status = 404;
            response.set_content("{\"error\":\"no such job\"}", "application/json");
            return;
        }
        response.set_content(found->second.json, "application/json");
    });

    // Server-sent events: "table" whenever the table changed, "job" for the job named in
    // ?job= whenever it changed.
    server.Get("/events", [state](const httplib::Request& request, httplib::Response& response) {
        const int job = std::atoi(request.get_param_value("job").c_str());
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            if (state->streams >= maxStreams) {
                response.status = 503;
                response.set_content("too many pages open", "text/plain");
                return;
            }
            ++state->streams;
            state->lookedAt(job);
        }
        securityHeaders(response);
        auto tableSent = std::make_shared<long long>(0);
        auto jobSent = std::make_shared<long long>(0);
        auto lastWrite = std::make_shared<Clock::time_point>(Clock::now());
        response.set_chunked_content_provider(
            "text/event-stream",
            [state, job, tableSent, jobSent, lastWrite](std::size_t, httplib::DataSink& sink) {
                std::string out;
                {
                    std::unique_lock<std::mutex> hold(state->mutex);
                    state->changed.wait_for(hold, std::chrono::seconds(1), [&] {
                        const auto detail = state->details.find(job);
                        return state->stopping || state->tableVersion > *tableSent ||
                               (detail != state->details.end() &&
                                detail->second.version > *jobSent);
                    });
                    if (state->stopping)
                        return false;
                    state->lookedAt(job);
                    if (state->tableVersion > *tableSent) {
                        *tableSent = state->tableVersion;
                        out += "event: table\ndata: " + state->table + "\n\n";
                    }
                    const auto detail = state->details.find(job);
                    if (detail != state->details.end() && detail->second.version > *jobSent) {
                        *jobSent = detail->second.version;
                        out += "event: job\ndata: " + detail->second.json + "\n\n";
                    }
                }
                if (out.empty() && Clock::now() - *lastWrite >= heartbeat)
                    out = ": still here\n\n";
                if (out.empty())
                    return true;
                *lastWrite = Clock::now();
                return sink.write(out.data(), out.size());
            },
            [state](bool) {
                std::lock_guard<std::mutex> hold(state->mutex);
                --state->streams;
            });
    });

    server.Post("/api/kill", [state, readOnly](const httplib::Request& request,
                                               httplib::Response& response) {
        securityHeaders(response);
        const int job = std::atoi(request.get_param_value("job").c_str());
        Json answer;
        if (readOnly) {
            response.status = 403;
            answer["error"] = "this page is read-only: start ipm_monitor with -http_token to "
                              "allow Kill from it";
        } else if (!sameToken(request.get_param_value("token"), state->token)) {
            // Guessing costs time: this thread answers a wrong token late.
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            response.status = 403;
            answer["error"] = "wrong token: Kill refused";
        } else {
            std::lock_guard<std::mutex> hold(state->mutex);
            const auto found = state->killable.find(job);
            if (found == state->killable.end()) {
                response.status = 404;
                answer["error"] = "that job is not running (any more)";
            } else {
                state->kills.push_back(job);
                response.status = 202;
                answer["ok"] = "Kill requested for " + found->second;
            }
        }
        response.set_content(dumped(answer), "application/json");
    });
}

bool mon_WebServer::NextKill(int& job) {
    std::lock_guard<std::mutex> hold(shared->mutex);
    if (shared->kills.empty())
        return false;
    job = shared->kills.front();
    shared->kills.pop_front();
    return true;
}

void mon_WebServer::keep(int job, Kept entry) {
    std::deque<Kept>& reports = kept[job];
    reports.push_back(std::move(entry));
    if (reports.size() > keptReports)
        reports.pop_front();
    jobsDirty.insert(job);
    tableDirty = true;
}

void mon_WebServer::JobArrived(const mon_Job& job, const std::string&) {
    jobsDirty.insert(job.Id());
    tableDirty = true;
}

void mon_WebServer::ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) {
    Kept entry;
    entry.packed = mon_ReportPrinter::ClockTime(time);
    entry.packed += partEnd;
    entry.packed += report.Type();
    for (const mon_Report::Field& field : report.Fields()) {
        entry.packed += fieldEnd;
        entry.packed += field.key;
        entry.packed += partEnd;
        entry.packed += field.type;
        entry.packed += partEnd;
        entry.packed += field.value;
    }
    keep(job.Id(), std::move(entry));
}

void mon_WebServer::ReportUnreadable(const mon_Job& job, const std::string& raw,
                                     const std::string& reason, const Time& time) {
    Kept entry;
    entry.packed = mon_ReportPrinter::ClockTime(time) + partEnd + fieldEnd + "reason" + partEnd +
                   "string" + partEnd + reason + ": " + mon_Text::Shortened(raw, 400);
    keep(job.Id(), std::move(entry));
}

void mon_WebServer::StateChanged(const mon_Job& job, mon_Job::State, const std::string&) {
    jobsDirty.insert(job.Id());
    tableDirty = true;
}

void mon_WebServer::JobLeft(const mon_Job& job) {
    jobsDirty.insert(job.Id());
    tableDirty = true;
}

void mon_WebServer::Note(const std::string& text) {
    notes.emplace_back(mon_ReportPrinter::ClockTime(Time::Now()), text);
    if (notes.size() > keptNotes)
        notes.pop_front();
    tableDirty = true;
}

std::string mon_WebServer::TableJson(const mon_Roster& roster) const {
    const Clock::time_point now = Clock::now();
    Json table;
    table["title"] = title;
    table["counts"] = roster.Counts();
    table["killAllowed"] = tokenSet;
    Json jobs = Json::array();
    for (const mon_Job* job : roster.Jobs()) {
        const mon_Progress& progress = job->GetProgress();
        const bool ended = job->HasEnded();
        Json row;
        row["id"] = job->Id();
        row["job"] = job->Label();
        row["name"] = job->Name();
        row["state"] = mon_Job::StateName(job->GetState());
        row["connected"] = job->IsConnected();
        row["phase"] = job->Phase();
        row["progress"] = job->Progress();
        row["step"] = progress.Step() < 0 ? Json(nullptr) : Json(progress.Step());
        row["steps"] = progress.Total() < 0 ? Json(nullptr) : Json(progress.Total());
        row["percent"] = numberOrNull(progress.Percent());
        row["stepsPerMinute"] = ended ? Json(nullptr) : numberOrNull(progress.StepsPerMinute());
        row["etaSeconds"] = ended ? Json(nullptr) : numberOrNull(progress.EtaSeconds());
        row["rate"] = ended ? std::string() : progress.RateText();
        row["eta"] = ended ? std::string() : progress.EtaText();
        row["elapsed"] = mon_Job::Duration((ended ? job->EndedAt() : now) - job->Arrived());
        row["last"] = mon_Job::Duration(now - job->LastReport());
        row["reports"] = job->Reports();
        row["errors"] = job->Errors();
        row["warnings"] = job->Warnings();
        row["message"] = job->LastMessage();
        row["final"] = job->FinalReport();
        row["origin"] = job->Origin();
        jobs.push_back(std::move(row));
    }
    table["jobs"] = std::move(jobs);
    Json said = Json::array();
    for (const auto& note : notes)
        said.push_back(Json{{"time", note.first}, {"text", note.second}});
    table["notes"] = std::move(said);
    return dumped(table);
}

std::string mon_WebServer::JobJson(const mon_Job& job) const {
    Json detail;
    detail["id"] = job.Id();
    detail["job"] = job.Label();
    detail["state"] = mon_Job::StateName(job.GetState());
    detail["progress"] = mon_JsonLog::ProgressObject(job.GetProgress());
    Json reports = Json::array();
    const auto found = kept.find(job.Id());
    if (found != kept.end()) {
        for (const Kept& entry : found->second) {
            const mon_Report unpacked = unpack(entry.packed);
            Json report;
            report["time"] = entry.packed.substr(0, entry.packed.find(partEnd));
            report["type"] = unpacked.Type().empty() ? "unreadable" : unpacked.Type();
            report["fields"] = mon_JsonLog::FieldsObject(unpacked);
            reports.push_back(std::move(report));
        }
    }
    detail["reports"] = std::move(reports);
    Json series = Json::array();
    for (const mon_Series::Field& field : job.Series().Fields()) {
        Json points = Json::array();
        for (const mon_Series::Point& point : field.points)
            points.push_back(Json::array({plotted(point.step), plotted(point.value)}));
        series.push_back(Json{{"name", field.name},
                              {"log", mon_Series::IsResidualLike(field.name)},
                              {"points", std::move(points)}});
    }
    detail["series"] = std::move(series);
    return dumped(detail);
}

void mon_WebServer::Refresh(const mon_Roster& roster) {
    const Clock::time_point now = Clock::now();
    // The loop's rounds come hundreds of times a second under load; the page needs far less.
    if (now - lastLook < lookInterval)
        return;
    lastLook = now;
    std::map<int, Clock::time_point> wanted;
    std::set<int> published;
    {
        std::lock_guard<std::mutex> hold(shared->mutex);
        if (shared->streams == 0 && now - shared->lastRequest > interestTime)
            return;
        wanted = shared->wanted;
        for (const auto& detail : shared->details)
            published.insert(detail.first);
    }
    // The elapsed times move every second even when nothing arrives.
    const bool tableDue =
        now - tableBuilt >= (tableDirty ? tableInterval : std::chrono::seconds(1));
    std::string table;
    std::map<int, std::string> killable;
    if (tableDue) {
        tableBuilt = now;
        tableDirty = false;
        table = TableJson(roster);
        for (const mon_Job* job : roster.Jobs())
            if (job->IsConnected() && !job->HasEnded())
                killable[job->Id()] = job->Label();
        for (auto entry = kept.begin(); entry != kept.end();)
            entry = roster.Find(entry->first) == nullptr ? kept.erase(entry) : std::next(entry);
    }
    std::map<int, std::string> details;
    for (const auto& asked : wanted) {
        const mon_Job* job = roster.Find(asked.first);
        if (job == nullptr || now - asked.second > interestTime)
            continue;
        const auto built = jobBuilt.find(job->Id());
        const bool never = built == jobBuilt.end() || published.count(job->Id()) == 0;
        if (never || (jobsDirty.count(job->Id()) != 0 && now - built->second >= jobInterval)) {
            jobBuilt[job->Id()] = now;
            jobsDirty.erase(job->Id());
            details[job->Id()] = JobJson(*job);
        }
    }
    if (table.empty() && details.empty())
        return;
    {
        std::lock_guard<std::mutex> hold(shared->mutex);
        if (!table.empty()) {
            shared->table = std::move(table);
            ++shared->tableVersion;
            shared->killable = std::move(killable);
        }
        for (auto& detail : details) {
            Shared::Detail& into = shared->details[detail.first];
            into.json = std::move(detail.second);
            ++into.version;
        }
        for (auto entry = shared->wanted.begin(); entry != shared->wanted.end();)
            entry =
                now - entry->second > interestTime ? shared->wanted.erase(entry) : std::next(entry);
        for (auto entry = shared->details.begin(); entry != shared->details.end();)
            entry = shared->wanted.count(entry->first) == 0 ? shared->details.erase(entry)
                                                            : std::next(entry);
    }
    shared->changed.notify_all();
}
