#ifndef MONITOR_MON_PROGRESS_H
#define MONITOR_MON_PROGRESS_H

#include "monitor/mon_Report.h"

#include <chrono>
#include <deque>
#include <string>

// How far a job has come and how soon it will be done: the step it reported (a `step`
// field, "5" or "5/12"), the total it announced (a `steps` field, as Started carries it, or
// the N of "n/N") and the percent of its Progress reports, computed from the step and the
// total when it sends none. The pace comes from when the steps arrived, over the last few
// seconds, so that a job that slows down gets a later ETA soon.
class mon_Progress {
public:
    using Clock = std::chrono::steady_clock;

    void Apply(const mon_Report& report, Clock::time_point now);
    // As remembered from an earlier monitor (-1: unknown); no pace.
    void Restore(long step, long total, double percent);

    // -1 while unknown.
    long Step() const { return step; }
    long Total() const { return total; }
    // Reported, else computed from the step and the total; -1 while neither is known.
    double Percent() const;
    bool PercentReported() const { return reportedPercent >= 0; }
    // Steps per minute over the recent reports; -1 while unknown (fewer than two steps,
    // or all at one time, as in a file read at once).
    double StepsPerMinute() const;
    // Seconds until the last step at the recent pace; -1 while unknown.
    double EtaSeconds() const;

    // "5/12 41%", "step 5", "41%" or empty.
    std::string Text() const;
    // "[####......]": `width` characters in all; blanks inside while the percent is unknown.
    std::string Bar(int width) const;
    // "12/min", "0.4/min", or empty while unknown.
    std::string RateText() const;
    // "3:20" or "1:02:03", or empty while unknown.
    std::string EtaText() const;

private:
    struct Sample {
        Clock::time_point at;
        double step;
        double percent;
    };
    static constexpr std::size_t keptSamples = 12;

    long step = -1;
    long total = -1;
    double reportedPercent = -1;
    // Spaced at least a second apart, the newest last, plus the latest sample apart.
    std::deque<Sample> samples;
    Sample latest{};
    bool hasLatest = false;

    void sample(Clock::time_point now);
    // Change per second of a sample's member between the oldest kept sample and the latest.
    double pace(double Sample::*member) const;
};

#endif
