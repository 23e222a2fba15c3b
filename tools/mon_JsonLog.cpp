#include "mon_JsonLog.h"

#include "mon_Roster.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

std::string isoTime(const mon_View::Time& time) {
    if (!time.known)
        return std::string();
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &time.when);
#else
    gmtime_r(&time.when, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
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

std::string dumped(const Json& object) {
    // A job's texts need not be UTF-8; JSON must be.
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

mon_JsonLog::mon_JsonLog(std::FILE* out) : out(out) {}

std::string mon_JsonLog::ReportLine(const mon_Job& job, const mon_Report& report,
                                    const std::string& time) {
    Json object;
    object["event"] = "report";
    object["time"] = time.empty() ? Json(nullptr) : Json(time);
    object.update(jobFields(job));
    object["type"] = report.Type();
    Json fields = Json::array();
    for (const mon_Report::Field& field : report.Fields())
        fields.push_back(Json{{"key", field.key}, {"type", field.type}, {"value", field.value}});
    object["fields"] = fields;
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
        entry["progress"] = job->Progress();
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
