#include "monitor/mon_Job.h"

#include "monitor/mon_Text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// What the monitor keeps of a text from the job; the whole report went by in the log.
const std::size_t keptTextBytes = 256;

bool oneOf(const std::string& text, std::initializer_list<const char*> words) {
    for (const char* word : words)
        if (text == word)
            return true;
    return false;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

} // namespace

mon_Job::mon_Job(int id, const std::string& name, const std::string& label,
                 const std::string& origin, Clock::time_point now)
    : id(id), name(name), label(label), origin(origin), state(running), connected(true),
      killSent(false), arrived(now), lastReport(now), endedAt(now), killSentAt(now), reports(0),
      errors(0), warnings(0), notices(0), unreadable(0) {}

bool mon_Job::IsFinalReport(const mon_Report& report) {
    if (oneOf(report.Type(),
              {"Finished", "Stopped", "Completed", "Ended", "Aborted", "Terminated"}))
        return true;
    return oneOf(report.Value("status"), {"Finished", "Stopped", "Completed", "Ended", "Aborted",
                                          "Terminated", "Killed", "Failed"});
}

bool mon_Job::IsNotice(const mon_Report& report) {
    if (report.Type() == "Notice")
        return true;
    const std::string message = report.Value("message");
    return (report.Type() == "Error" && startsWith(message, "Error message limit reached.")) ||
           (report.Type() == "Warning" && startsWith(message, "Warning message limit reached."));
}

const char* mon_Job::StateName(State state) {
    switch (state) {
    case running:
        return "running";
    case silent:
        return "silent";
    case finished:
        return "finished";
    case lost:
        return "lost";
    case killed:
        return "killed";
    }
    return "unknown";
}

void mon_Job::Apply(const mon_Report& report, Clock::time_point now) {
    // A report read from a file may be dated before the monitor read it.
    if (now < arrived)
        arrived = now;
    count(report);
    followProgress(report, now);
    lastReport = now;
    if (IsFinalReport(report) && !HasEnded()) {
        finalReport = mon_Text::Shortened(report.Type() + (report.Has("status")
                                                               ? " status=" + report.Value("status")
                                                               : std::string()),
                                          keptTextBytes);
        endWith(killSent ? killed : finished, now);
    } else if (state == silent) {
        state = running;
    }
}

void mon_Job::Restore(const Remembered& remembered) {
    connected = false;
    state = remembered.state == finished || remembered.state == killed ? remembered.state : lost;
    endedAt = remembered.ended;
    lastReport = remembered.ended;
    reports = remembered.reports;
    errors = remembered.errors;
    warnings = remembered.warnings;
    notices = remembered.notices;
    phase = mon_Text::Shortened(remembered.phase, keptTextBytes);
    lastMessage = mon_Text::Shortened(remembered.lastMessage, keptTextBytes);
    finalReport = mon_Text::Shortened(remembered.finalReport, keptTextBytes);
    progress.Restore(remembered.step, remembered.steps, remembered.percent);
}

void mon_Job::ApplyUnreadable(Clock::time_point now) {
    ++reports;
    ++unreadable;
    lastReport = now;
    if (state == silent)
        state = running;
}

bool mon_Job::End(Clock::time_point now) {
    if (!connected)
        return false;
    connected = false;
    if (!HasEnded())
        endWith(killSent ? killed : lost, now);
    return true;
}

bool mon_Job::Resume() {
    if (connected || state != lost)
        return false;
    connected = true;
    state = running;
    endedAt = Clock::time_point();
    return true;
}

void mon_Job::KillSent(Clock::time_point now) {
    killSent = true;
    killSentAt = now;
}

bool mon_Job::CheckSilence(Clock::time_point now, Clock::duration silentAfter) {
    if (state != running || !connected || now - lastReport <= silentAfter)
        return false;
    state = silent;
    return true;
}

void mon_Job::endWith(State endState, Clock::time_point now) {
    state = endState;
    endedAt = now;
}

void mon_Job::count(const mon_Report& report) {
    ++reports;
    if (IsNotice(report))
        ++notices;
    else if (report.Type() == "Error")
        ++errors;
    else if (report.Type() == "Warning")
        ++warnings;
    for (const char* key : {"message", "heading", "stepName"}) {
        if (report.Has(key)) {
            lastMessage = mon_Text::Shortened(report.Value(key), keptTextBytes);
            break;
        }
    }
}

void mon_Job::followProgress(const mon_Report& report, Clock::time_point now) {
    if (report.Has("phase") && !report.Value("phase").empty())
        phase = mon_Text::Shortened(report.Value("phase"), keptTextBytes);
    progress.Apply(report, now);
    series.Apply(report, report.Has("step") ? progress.Step() : -1);
}

std::string mon_Job::Tally() const {
    return std::to_string(reports) + " reports, " + std::to_string(errors) + " errors, " +
           std::to_string(warnings) + " warnings, " + std::to_string(notices) + " notices";
}

std::string mon_Job::Duration(Clock::duration elapsed) {
    const long long total = std::max(
        0LL,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

std::string mon_Job::Describe(Clock::time_point now) const {
    std::string line = label + "  " + StateName(state);
    if (!phase.empty())
        line += "  " + phase;
    if (!Progress().empty())
        line += "  " + Progress();
    if (!HasEnded() && !progress.RateText().empty())
        line += "  " + progress.RateText();
    if (!HasEnded() && !progress.EtaText().empty())
        line += "  ETA " + progress.EtaText();
    line += "  elapsed " + Duration((HasEnded() ? endedAt : now) - arrived);
    line += "  last report " + Duration(now - lastReport) + " ago";
    return line + "  " + Tally() + "  from " + origin;
}
