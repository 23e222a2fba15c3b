#include "monitor/mon_Progress.h"

#include "monitor/mon_Job.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// A whole decimal number, or false.
bool readWhole(const std::string& text, long& number) {
    if (text.empty() || text.size() > 18)
        return false;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0')
        return false;
    number = value;
    return true;
}

// A percent as a job may write it: "41", "41.5".
bool readPercent(const std::string& text, double& percent) {
    if (text.empty() || text.size() > 32)
        return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0 && value <= 100))
        return false;
    percent = value;
    return true;
}

// "5" or "5/12".
bool readStep(const std::string& text, long& stepNumber, long& stepTotal) {
    const std::string::size_type slash = text.find('/');
    if (slash == std::string::npos)
        return readWhole(text, stepNumber) && stepNumber >= 0;
    long number, of;
    if (!readWhole(text.substr(0, slash), number) || !readWhole(text.substr(slash + 1), of) ||
        number < 0 || of <= 0)
        return false;
    stepNumber = number;
    stepTotal = of;
    return true;
}

double secondsBetween(mon_Progress::Clock::time_point from, mon_Progress::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

void mon_Progress::Apply(const mon_Report& report, Clock::time_point now) {
    bool moved = false;
    long number;
    if (readWhole(report.Value("steps"), number) && number > 0) {
        total = number;
        moved = true;
    }
    long stepNumber = -1, stepTotal = -1;
    if (report.Has("step") && readStep(report.Value("step"), stepNumber, stepTotal)) {
        step = stepNumber;
        if (stepTotal > 0)
            total = stepTotal;
        moved = true;
    }
    double percent;
    if (report.Has("percent") && readPercent(report.Value("percent"), percent)) {
        reportedPercent = percent;
        moved = true;
    }
    if (moved)
        sample(now);
}

void mon_Progress::Restore(long stepNumber, long stepTotal, double percent) {
    step = stepNumber < 0 ? -1 : stepNumber;
    total = stepTotal <= 0 ? -1 : stepTotal;
    reportedPercent = percent >= 0 && percent <= 100 ? percent : -1;
    samples.clear();
    hasLatest = false;
}

double mon_Progress::Percent() const {
    if (reportedPercent >= 0)
        return reportedPercent;
    if (step >= 0 && total > 0)
        return std::min(100.0, 100.0 * double(step) / double(total));
    return -1;
}

void mon_Progress::sample(Clock::time_point now) {
    latest = Sample{now, double(step), Percent()};
    hasLatest = true;
    const bool learnt = !samples.empty() && ((samples.back().step < 0 && latest.step >= 0) ||
                                             (samples.back().percent < 0 && latest.percent >= 0));
    if (samples.empty() || learnt || now - samples.back().at >= std::chrono::seconds(1)) {
        samples.push_back(latest);
        if (samples.size() > keptSamples)
            samples.pop_front();
    }
}

double mon_Progress::pace(double Sample::*member) const {
    if (!hasLatest || latest.*member < 0)
        return -1;
    // The oldest sample that knew this member (a Started report knows no step yet).
    for (const Sample& oldest : samples) {
        if (oldest.*member < 0)
            continue;
        const double seconds = secondsBetween(oldest.at, latest.at);
        if (seconds < 0.2)
            return -1;
        return (latest.*member - oldest.*member) / seconds;
    }
    return -1;
}

double mon_Progress::StepsPerMinute() const {
    const double perSecond = pace(&Sample::step);
    return perSecond < 0 ? -1 : perSecond * 60;
}

double mon_Progress::EtaSeconds() const {
    if (step >= 0 && total > 0) {
        const double perSecond = pace(&Sample::step);
        if (step >= total)
            return 0;
        if (perSecond > 0)
            return double(total - step) / perSecond;
    }
    const double percent = Percent();
    if (percent >= 100)
        return 0;
    const double percentPerSecond = pace(&Sample::percent);
    if (percent >= 0 && percentPerSecond > 0)
        return (100 - percent) / percentPerSecond;
    return -1;
}

std::string mon_Progress::Text() const {
    std::string text;
    if (step >= 0)
        text = total > 0 ? std::to_string(step) + "/" + std::to_string(total)
                         : "step " + std::to_string(step);
    const double percent = Percent();
    if (percent >= 0)
        text += (text.empty() ? "" : " ") + std::to_string(int(std::floor(percent))) + "%";
    return text;
}

std::string mon_Progress::Bar(int width) const {
    const int inside = std::max(1, width - 2);
    const double percent = Percent();
    if (percent < 0)
        return "[" + std::string(std::size_t(inside), ' ') + "]";
    const int filled = std::min(inside, int(std::floor(percent / 100.0 * inside + 1e-9)));
    return "[" + std::string(std::size_t(filled), '#') +
           std::string(std::size_t(inside - filled), '.') + "]";
}

std::string mon_Progress::RateText() const {
    const double perMinute = StepsPerMinute();
    if (perMinute < 0)
        return std::string();
    char text[32];
    if (perMinute >= 10)
        std::snprintf(text, sizeof text, "%.0f/min", perMinute);
    else
        std::snprintf(text, sizeof text, "%.1f/min", perMinute);
    return text;
}

std::string mon_Progress::EtaText() const {
    const double seconds = EtaSeconds();
    // Beyond 100 days a pace says nothing useful.
    if (seconds < 0 || seconds > 100 * 86400.0)
        return std::string();
    return mon_Job::Duration(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::ceil(seconds))));
}
