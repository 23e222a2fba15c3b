#include "monitor/mon_MessageFile.h"

#include "monitor/mon_Clock.h"
#include "monitor/mon_Platform.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace {

const std::size_t readSize = 64 * 1024;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long daysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = unsigned(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + (long long)dayOfEra - 719468;
}

// "2026-05-04T10:20:30Z", with optional fractions and a zone as Z or +hh:mm; without a
// zone the time is taken as UTC.
bool readIsoTime(const std::string& text, double& seconds) {
    int year, month, day, hour, minute, consumed = 0;
    double second;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*1[T ]%2d:%2d:%lf%n", &year, &month, &day, &hour,
                    &minute, &second, &consumed) != 6 ||
        month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second < 0 ||
        second >= 61)
        return false;
    const std::string zone = text.substr(std::size_t(consumed));
    int offset = 0;
    if (!zone.empty() && zone != "Z") {
        int zoneHours, zoneMinutes, zoneConsumed = 0;
        if (std::sscanf(zone.c_str(), "%*1[+-]%2d:%2d%n", &zoneHours, &zoneMinutes,
                        &zoneConsumed) != 2 ||
            std::size_t(zoneConsumed) != zone.size())
            return false;
        offset = (zone[0] == '-' ? -1 : 1) * (zoneHours * 3600 + zoneMinutes * 60);
    }
    seconds = double(daysFromCivil(year, unsigned(month), unsigned(day))) * 86400 + hour * 3600 +
              minute * 60 + second - offset;
    return true;
}

} // namespace

bool mon_MessageFile::ReportTime(const mon_Report& report, double& seconds) {
    if (!report.Has("timestamp"))
        return false;
    const std::string text = report.Value("timestamp");
    if (text.empty() || text.size() > 40)
        return false;
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (*end == '\0' && number > 0 && number < 1e11) {
        seconds = number;
        return true;
    }
    return readIsoTime(text, seconds);
}

mon_MessageFile::mon_MessageFile(const std::string& path, bool follow, mon_Roster& roster)
    : path(path), follow(follow), roster(roster), file(nullptr), offset(0), ended(false),
      waitingSaid(false), jobId(0), now(Clock::now()), wallAtNow(mon_Clock::WallSeconds()),
      holding(false) {
    restart();
    if (!open() && !follow)
        throw std::runtime_error("cannot read " + path);
}

mon_MessageFile::~mon_MessageFile() {
    if (file != nullptr)
        std::fclose(file);
}

std::string mon_MessageFile::Describe() const {
    return (follow ? "following " : "replaying ") + path + " (report times unknown)";
}

bool mon_MessageFile::SendKill(const mon_Job&, std::string& why) {
    why = "a job read from its message file cannot be sent a Kill";
    return false;
}

// Opened afresh for each round of following: a file held open does not show what others
// append to it on every platform, and a file replaced by a new one is read from then on.
bool mon_MessageFile::open() {
    if (file != nullptr)
        return true;
    file = std::fopen(path.c_str(), "rb");
    if (file != nullptr && offset > 0 && !mon_Platform::Seek(file, offset)) {
        std::fclose(file);
        file = nullptr;
    }
    return file != nullptr;
}

void mon_MessageFile::restart() {
    stream.reset(
        new mon_ReportStream(*this, mon_ReportStream::PayloadsOnly, mon_ReportStream::skipPayload));
    offset = 0;
}

bool mon_MessageFile::modified(std::time_t& when, long long& size) const {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return false;
    when = status.st_mtime;
    size = static_cast<long long>(status.st_size);
    return true;
}

// Measured to the file system's own precision: whole seconds from stat() would put a file
// changed just now in the next second and make an hour-old file 59:59 old.
mon_MessageFile::Clock::duration mon_MessageFile::ageOfFile() const {
    std::error_code failed;
    const auto changed = std::filesystem::last_write_time(path, failed);
    if (failed)
        return Clock::duration::zero();
    const auto age = std::filesystem::file_time_type::clock::now() - changed;
    if (age < decltype(age)::zero())
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(age);
}

void mon_MessageFile::Serve(const csp_Poller&, Clock::time_point when) {
    now = when;
    wallAtNow = mon_Clock::WallSeconds();
    if (ended)
        return;
    if (!open()) {
        if (!waitingSaid)
            roster.View().Note("waiting for " + path + " to appear");
        waitingSaid = true;
        return;
    }
    std::time_t changed;
    long long size;
    if (follow && modified(changed, size) && size < offset) {
        roster.View().Note(path + " became shorter; reading it again from its start");
        std::fclose(file);
        file = nullptr;
        restart();
        if (!open())
            return;
    }
    readAvailable();
}

void mon_MessageFile::readAvailable() {
    static std::vector<char> buffer(readSize);
    std::size_t taken = 0;
    while (taken < bytesPerRound) {
        const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file);
        if (count == 0) {
            reachedEnd();
            return;
        }
        offset += static_cast<long long>(count);
        taken += count;
        stream->Feed(buffer.data(), count);
    }
}

// The report held back was the last one for now: it gets the file's time. A replay ends
// here; a follow reads on from here next round.
void mon_MessageFile::reachedEnd() {
    std::time_t changed = 0;
    long long size = 0;
    const bool known = modified(changed, size);
    if (holding) {
        holding = false;
        const Clock::time_point when = now - ageOfFile();
        emit(held, known ? mon_View::Time{true, changed} : mon_View::Time::Unknown(), when);
    }
    if (follow) {
        std::fclose(file);
        file = nullptr;
        return;
    }
    stream->Finish();
    ended = true;
}

void mon_MessageFile::ReportArrived(const mon_Report& report) {
    if (holding)
        emit(held, mon_View::Time::Unknown(), now);
    held = report;
    holding = true;
}

void mon_MessageFile::ReportUnreadable(const std::string& raw, const std::string& reason) {
    if (holding) {
        holding = false;
        emit(held, mon_View::Time::Unknown(), now);
    }
    if (jobId == 0)
        jobId = roster.Arrive(fileStem(), path, "read from " + path, now);
    roster.Unreadable(jobId, raw, reason, mon_View::Time::Unknown(), now);
}

void mon_MessageFile::emit(const mon_Report& report, const mon_View::Time& time,
                           Clock::time_point when) {
    double made;
    if (ReportTime(report, made)) {
        const double age = std::max(0.0, wallAtNow - made);
        roster.Report(
            jobFor(report), report, mon_View::Time{true, std::time_t(made)},
            now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(age)));
        return;
    }
    roster.Report(jobFor(report), report, time, when);
}

// The job of the run the report belongs to; a Started report after others begins a run.
int mon_MessageFile::jobFor(const mon_Report& report) {
    const std::string name = report.Value("jobName").empty() ? fileStem() : report.Value("jobName");
    const mon_Job* current = jobId == 0 ? nullptr : roster.Find(jobId);
    const bool newRun = current != nullptr && current->HasReports() &&
                        (report.Type() == "Started" || current->Name() != name);
    if (newRun)
        roster.Leave(jobId, "the next run began", now);
    if (current == nullptr || newRun)
        jobId = roster.Arrive(name, path, "read from " + path, now);
    return jobId;
}

std::string mon_MessageFile::fileStem() const {
    const std::string::size_type slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string::size_type dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}
