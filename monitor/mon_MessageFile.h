#ifndef MONITOR_MON_MESSAGEFILE_H
#define MONITOR_MON_MESSAGEFILE_H

#include "monitor/mon_ReportStream.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Source.h"

#include <cstdio>
#include <ctime>
#include <string>

// A job's message file as a source: its reports shown as if they arrived, once (replay)
// or as the file grows (follow: a job watched with no network at all). The file holds no
// times of its own: reports show an unknown time, except the last one read, which shows the
// file's modification time, and reports that carry a `timestamp` field (ISO 8601, as
// 2026-05-04T10:20:30Z, or Unix seconds), which show that time, so that elapsed times, pace
// and ETA are the job's own. Each "Started" report after the first begins a new run.
class mon_MessageFile : public mon_Source, private mon_ReportStream::Sink {
public:
    // Read per round of the monitor's loop, so that commands and the board keep up.
    static const std::size_t bytesPerRound = 256 * 1024;

    mon_MessageFile(const std::string& path, bool follow, mon_Roster& roster);
    ~mon_MessageFile() override;
    mon_MessageFile(const mon_MessageFile&) = delete;
    mon_MessageFile& operator=(const mon_MessageFile&) = delete;

    void Watch(csp_Poller&) override {}
    void Serve(const csp_Poller& poller, Clock::time_point now) override;
    bool SendKill(const mon_Job& job, std::string& why) override;
    bool Ended() const override { return ended; }
    std::string Describe() const override;

    // The time a report says it was made (its `timestamp` field), in Unix seconds.
    static bool ReportTime(const mon_Report& report, double& seconds);

private:
    std::string path;
    bool follow;
    mon_Roster& roster;
    std::FILE* file;
    std::unique_ptr<mon_ReportStream> stream;
    long long offset;
    bool ended;
    bool waitingSaid;
    int jobId;
    Clock::time_point now;
    // The wall clock's time at `now`: reports dated by a timestamp are placed from it.
    double wallAtNow;
    // The last report read is held back until the file's end shows whether it is the last.
    bool holding;
    mon_Report held;

    bool open();
    void restart();
    void readAvailable();
    void reachedEnd();
    void emit(const mon_Report& report, const mon_View::Time& time, Clock::time_point when);
    int jobFor(const mon_Report& report);
    std::string fileStem() const;
    bool modified(std::time_t& when, long long& size) const;
    Clock::duration ageOfFile() const;

    void JobNamed(const std::string&) override {}
    void ReportArrived(const mon_Report& report) override;
    void ReportUnreadable(const std::string& raw, const std::string& reason) override;
};

#endif
