#include "monitor/mon_JsonLog.h"

#include "monitor/mon_Clock.h"
#include "monitor/mon_Roster.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

using Json = nlohmann::ordered_json;

std::string isoTime(const mon_View::Time& time) {
    return time.known ? mon_Clock::Utc(time.when, "%Y-%m-%dT%H:%M:%SZ") : std::string();
}

Json event(const char* kind, const mon_View::Time& time) {
    Json object;
    object["event"] = kind;
    object["time"] = time.known ? Json(isoTime(time)) : Json(nullptr);
    return object;
}

Json jobFields(const mon_Job& job) {
    Json object;
    object["job"] = job.Label();
    object["name"] = job.Name();
    object["state"] = mon_Job::StateName(job.GetState());
    return object;
}

// A field's value as what its type says: numbers as numbers, booleans as booleans; a value
// that does not read as its type (a real "nan" from a Jabber job, a boolean "maybe") stays
// the text it was.
Json typedValue(const mon_Report::Field& field) {
    const std::string& text = field.value;
    if (field.type == "integer" || field.type == "float") {
        if (text.empty() || text.size() > 64)
            return text;
        char* end = nullptr;
        if (field.type == "integer") {
            errno = 0;
            const long long whole = std::strtoll(text.c_str(), &end, 10);
            if (*end == '\0' && errno == 0)
                return whole;
        }
        const double real = std::strtod(text.c_str(), &end);
        if (*end == '\0' && std::isfinite(real))
            return real;
        return text;
    }
    if (field.type == "boolean") {
        std::string word = text;
        for (char& c : word)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (word == "true" || word == "1" || word == "yes" || word == "on" || word == ".true.")
            return true;
        if (word == "false" || word == "0" || word == "no" || word == "off" || word == ".false.")
            return false;
    }
    return text;
}

Json numberOrNull(double value) {
    return value < 0 ? Json(nullptr) : Json(value);
}

std::string dumped(const Json& object) {
    // A job's texts need not be UTF-8; JSON must be.
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

mon_JsonLog::mon_JsonLog(std::FILE* out) : out(out) {}

nlohmann::ordered_json mon_JsonLog::FieldsObject(const mon_Report& report) {
    Json fields = Json::object();
    for (const mon_Report::Field& field : report.Fields())
        if (!fields.contains(field.key))
            fields[field.key] = typedValue(field);
    return fields;
}

nlohmann::ordered_json mon_JsonLog::ProgressObject(const mon_Progress& progress) {
    Json object;
    object["step"] = progress.Step() < 0 ? Json(nullptr) : Json(progress.Step());
    object["steps"] = progress.Total() < 0 ? Json(nullptr) : Json(progress.Total());
    object["percent"] = numberOrNull(progress.Percent());
    object["stepsPerMinute"] = numberOrNull(progress.StepsPerMinute());
    object["etaSeconds"] = numberOrNull(progress.EtaSeconds());
    return object;
}

std::string mon_JsonLog::ReportLine(const mon_Job& job, const mon_Report& report,
                                    const std::string& time) {
    Json object;
    object["event"] = "report";
    object["time"] = time.empty() ? Json(nullptr) : Json(time);
    object.update(jobFields(job));
    object["type"] = report.Type();
    Json fields = Json::object();
    Json repeats;
    for (const mon_Report::Field& field : report.Fields()) {
        if (!fields.contains(field.key))
            fields[field.key] = typedValue(field);
        else
            repeats[field.key].push_back(typedValue(field));
    }
    object["fields"] = fields;
    if (!repeats.is_null())
        object["repeats"] = repeats;
    if (report.Has("step") || report.Has("steps") || report.Has("percent"))
        object["progress"] = ProgressObject(job.GetProgress());
    return dumped(object);
}

void mon_JsonLog::ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) {
    std::fprintf(out, "%s\n", ReportLine(job, report, isoTime(time)).c_str());
}

void mon_JsonLog::ReportUnreadable(const mon_Job& job, const std::string& raw,
                                   const std::string& reason, const Time& time) {
    Json object = event("unreadable", time);
    object.update(jobFields(job));
    object["reason"] = reason;
    object["raw"] = raw;
    std::fprintf(out, "%s\n", dumped(object).c_str());
}

void mon_JsonLog::JobArrived(const mon_Job& job, const std::string& how) {
    Json object = event("arrived", Time::Now());
    object.update(jobFields(job));
    object["origin"] = job.Origin();
    object["how"] = how;
    std::fprintf(out, "%s\n", dumped(object).c_str());
    std::fflush(out);
}

void mon_JsonLog::StateChanged(const mon_Job& job, mon_Job::State previous,
                               const std::string& why) {
    Json object = event("state", Time::Now());
    object.update(jobFields(job));
    object["previous"] = mon_Job::StateName(previous);
    object["why"] = why;
    object["progress"] = ProgressObject(job.GetProgress());
    std::fprintf(out, "%s\n", dumped(object).c_str());
    std::fflush(out);
}

void mon_JsonLog::JobLeft(const mon_Job& job) {
    Json object = event("left", Time::Now());
    object.update(jobFields(job));
    object["reports"] = job.Reports();
    object["errors"] = job.Errors();
    object["warnings"] = job.Warnings();
    object["notices"] = job.Notices();
    object["unreadable"] = job.Unreadable();
    std::fprintf(out, "%s\n", dumped(object).c_str());
    std::fflush(out);
}

void mon_JsonLog::Note(const std::string& text) {
    Json object = event("note", Time::Now());
    object["text"] = text;
    std::fprintf(out, "%s\n", dumped(object).c_str());
    std::fflush(out);
}

void mon_JsonLog::Refresh(const mon_Roster&) {
    std::fflush(out);
}

void mon_JsonLog::Summary(const mon_Roster& roster) {
    Json object = event("summary", Time::Now());
    Json jobs = Json::array();
    for (const mon_Job* job : roster.Jobs()) {
        Json entry = jobFields(*job);
        entry["phase"] = job->Phase();
        entry["progress"] = ProgressObject(job->GetProgress());
        entry["reports"] = job->Reports();
        entry["errors"] = job->Errors();
        entry["warnings"] = job->Warnings();
        entry["notices"] = job->Notices();
        entry["unreadable"] = job->Unreadable();
        entry["final"] = job->FinalReport();
        entry["origin"] = job->Origin();
        jobs.push_back(entry);
    }
    object["jobs"] = jobs;
    std::fprintf(out, "%s\n", dumped(object).c_str());
    std::fflush(out);
}
