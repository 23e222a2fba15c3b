#ifndef MONITOR_MON_HOOKS_H
#define MONITOR_MON_HOOKS_H

#include "monitor/mon_View.h"

#include <chrono>
#include <deque>
#include <set>
#include <string>
#include <vector>

// Runs the commands of -on_end and -on_error: once per job when it ends (finished, lost or
// killed), and once per job at its first error. The command is a program and its arguments
// separated by blanks, run without a shell; what the job chose (its name, its message) goes
// into the environment only (IPM_EVENT, IPM_JOB, IPM_JOB_NAME, IPM_STATE, IPM_MESSAGE,
// IPM_ERRORS, IPM_WARNINGS, IPM_REPORTS), so that no name can become a command. The
// monitor never waits for a command: a few run at once, the rest wait their turn, and what
// exceeds the queue is dropped with a note.
class mon_Hooks : public mon_View {
public:
    static constexpr std::size_t maxRunning = 8;
    static constexpr std::size_t maxWaiting = 256;

    // Empty commands run nothing. `quietOutput`: the commands' output goes nowhere (the
    // board owns the terminal); otherwise both their outputs go to standard error.
    // `notes`: where to say that a command failed or was dropped.
    mon_Hooks(const std::string& onEnd, const std::string& onError, bool quietOutput,
              mon_View& notes);
    ~mon_Hooks() override;
    mon_Hooks(const mon_Hooks&) = delete;
    mon_Hooks& operator=(const mon_Hooks&) = delete;

    // The words of a command line, split at blanks.
    static std::vector<std::string> Words(const std::string& command);

    void JobArrived(const mon_Job&, const std::string&) override {}
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override;
    void ReportUnreadable(const mon_Job&, const std::string&, const std::string&,
                          const Time&) override {}
    void StateChanged(const mon_Job& job, mon_Job::State previous, const std::string& why) override;
    void JobLeft(const mon_Job&) override {}
    void Note(const std::string&) override {}
    // Collects the commands that ended, says which failed, starts those waiting.
    void Refresh(const mon_Roster& roster) override;
    void Summary(const mon_Roster&) override {}

    // Commands started so far, and running now.
    std::size_t Started() const { return started; }
    std::size_t Running() const { return running.size(); }

private:
    struct Run {
        std::string event;
        std::string label;
        std::vector<std::string> words;
        std::vector<std::string> environment;
    };
    struct Child {
        Run run;
        long long process;
    };

    std::vector<std::string> onEnd;
    std::vector<std::string> onError;
    bool quietOutput;
    mon_View& notes;
    std::set<int> endDone;
    std::set<int> errorDone;
    std::deque<Run> waiting;
    std::vector<Child> running;
    std::size_t started;
    bool droppedSaid;
    std::chrono::steady_clock::time_point lastLook;

    void queue(const std::vector<std::string>& words, const char* event, const mon_Job& job,
               const std::string& message);
    void startWaiting();
    bool start(const Run& run, long long& process, std::string& why);
    // 1: ended (status set), 0: still running, -1: cannot tell.
    static int poll(long long process, int& status);
};

#endif
