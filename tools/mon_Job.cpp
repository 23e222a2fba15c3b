#include "mon_Job.h"

#include "mon_Text.h"

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

// A whole decimal number, or false.
bool readNumber(const std::string& text, long& number) {
    if (text.empty() || text.size() > 18)
        return false;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    number = value;
    return true;
}

} // namespace

mon_Job::mon_Job(int id, const std::string& name, const std::string& label,
                 const std::string& origin, Clock::time_point now)
    : id(id), name(name), label(label), origin(origin), state(running), connected(true),
      killSent(false), arrived(now), lastReport(now), endedAt(now), killSentAt(now), step(-1),
      steps(-1), percent(-1), reports(0), errors(0), warnings(0), notices(0), unreadable(0) {}

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
    followProgress(report);
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

void mon_Job::followProgress(const mon_Report& report) {
    if (report.Has("phase") && !report.Value("phase").empty())
        phase = mon_Text::Shortened(report.Value("phase"), keptTextBytes);
    long number;
    if (readNumber(report.Value("steps"), number) && number > 0)
        steps = number;
    if (readNumber(report.Value("step"), number) && number >= 0)
        step = number;
    if (readNumber(report.Value("percent"), number) && number >= 0 && number <= 100)
        percent = number;
}

std::string mon_Job::Progress() const {
    std::string text;
    if (step >= 0)
        text = steps > 0 ? std::to_string(step) + "/" + std::to_string(steps)
                         : "step " + std::to_string(step);
    if (percent >= 0)
        text += (text.empty() ? "" : " ") + std::to_string(percent) + "%";
    return text;
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
    line += "  elapsed " + Duration((HasEnded() ? endedAt : now) - arrived);
    line += "  last report " + Duration(now - lastReport) + " ago";
    return line + "  " + Tally() + "  from " + origin;
}
