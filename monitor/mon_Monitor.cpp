#include "monitor/mon_Monitor.h"

#include "monitor/mon_Clock.h"
#include "monitor/mon_Command.h"
#include "monitor/mon_Platform.h"

namespace {

std::string labels(const std::vector<const mon_Job*>& jobs) {
    std::string text;
    for (const mon_Job* job : jobs)
        text += (text.empty() ? "" : ", ") + job->Label();
    return text;
}

} // namespace

mon_Monitor::mon_Monitor(const mon_Options& options, mon_Roster& roster, mon_Source& source,
                         mon_CommandInput& input)
    : options(options), roster(roster), source(source), input(input), done(false),
      quitWarned(false), keepOpen(false), endSaid(false) {}

void mon_Monitor::Run() {
    while (!done) {
        round(roundMilliseconds);
        if (mon_Platform::StopRequested()) {
            note("stopped by a signal");
            done = true;
        } else if ((source.Ended() && !keepOpen) || idle()) {
            done = true;
        } else if (source.Ended() && !endSaid) {
            endSaid = true;
            note("all reports read; type quit to leave");
        }
    }
    roster.Tick(Clock::now());
    roster.View().Refresh(roster);
}

void mon_Monitor::round(int waitMilliseconds) {
    poller.clear();
    source.Watch(poller);
    input.Watch(poller);
    poller.wait(waitMilliseconds);
    const Clock::time_point now = Clock::now();
    source.Serve(poller, now);
    std::string line;
    while (!done && input.Next(line))
        Execute(line, now);
    killRequested(now);
    killAfterEnoughReports(now);
    roster.Tick(now);
    roster.View().Refresh(roster);
}

bool mon_Monitor::idle() const {
    return options.exitWhenIdle && roster.Arrivals() > 0 && roster.Connected().empty() &&
           !source.MayBringJobsBack(Clock::now());
}

void mon_Monitor::note(const std::string& text) {
    roster.View().Note(text);
}

void mon_Monitor::Execute(const std::string& line, Clock::time_point now) {
    const mon_Command command = mon_Command::Parse(line);
    if (command.kind != mon_Command::quit)
        quitWarned = false;
    switch (command.kind) {
    case mon_Command::kill:
        if (command.argument == "all")
            killAll(now);
        else
            kill(command.argument, now);
        break;
    case mon_Command::list:
        list(now);
        break;
    case mon_Command::select:
    case mon_Command::plot:
        note("select and plot work on the board (a terminal); the web page (-http) plots "
             "every job");
        break;
    case mon_Command::help:
        help();
        break;
    case mon_Command::quit:
        quit();
        break;
    case mon_Command::unknown:
        note("unknown command \"" + line + "\"; type help for the commands");
        break;
    case mon_Command::nothing:
        break;
    }
}

void mon_Monitor::kill(const std::string& target, Clock::time_point now) {
    const std::vector<const mon_Job*> matching = roster.Matching(target);
    if (matching.empty()) {
        const std::vector<const mon_Job*> all = roster.Jobs();
        note("no job named " + target +
             (all.empty() ? std::string(" (no job has reported yet)")
                          : " (jobs: " + labels(all) + ")"));
        return;
    }
    std::vector<const mon_Job*> live;
    for (const mon_Job* job : matching)
        if (!job->HasEnded())
            live.push_back(job);
    if (live.size() > 1) {
        askWhich(live, now);
        return;
    }
    const mon_Job& job = live.empty() ? *matching.front() : *live.front();
    std::string why;
    if (!killOne(job, now, why))
        note("no Kill sent to " + job.Label() + ": " + why);
}

// The first job of a name is labelled by the name alone; "#1" tells it apart from the rest.
void mon_Monitor::askWhich(const std::vector<const mon_Job*>& live, Clock::time_point now) {
    std::string choices;
    std::string commands;
    for (const mon_Job* job : live) {
        const std::string label = job->Label() == job->Name() ? job->Label() + "#1" : job->Label();
        choices += (choices.empty() ? "" : ", ") + label + " (from " + job->Origin() + " for " +
                   mon_Job::Duration(now - job->Arrived()) + ", " + std::to_string(job->Reports()) +
                   " reports)";
        commands += (commands.empty() ? "" : " or ") + ("kill " + label);
    }
    note(std::to_string(live.size()) + " running jobs are named " + live.front()->Name() + ": " +
         choices + "; say which: " + commands);
}

void mon_Monitor::killRequested(Clock::time_point now) {
    int id;
    for (KillRequests* requests : killRequests) {
        while (requests->NextKill(id)) {
            const mon_Job* job = roster.Find(id);
            std::string why;
            if (job != nullptr && !killOne(*job, now, why))
                note("no Kill sent to " + job->Label() + ": " + why);
        }
    }
}

void mon_Monitor::killAll(Clock::time_point now) {
    std::vector<const mon_Job*> targets;
    for (const mon_Job* job : roster.Connected())
        if (!job->HasEnded() && !job->WasKillSent())
            targets.push_back(job);
    if (targets.empty()) {
        note("no running job to kill");
        return;
    }
    note("sending Kill to " + std::to_string(targets.size()) + " jobs: " + labels(targets));
    for (const mon_Job* job : targets) {
        std::string why;
        if (!killOne(*job, now, why))
            note("no Kill sent to " + job->Label() + ": " + why);
    }
}

// Sends Kill unless the job has ended or already has one; the roster then says when the
// job stops, or that it has not stopped within the answer time.
bool mon_Monitor::killOne(const mon_Job& job, Clock::time_point now, std::string& why) {
    if (job.HasEnded()) {
        why = std::string("it has already ") +
              (job.GetState() == mon_Job::finished ? "finished"
               : job.GetState() == mon_Job::lost   ? "been lost"
                                                   : "been killed") +
              " (" + mon_Clock::Seconds(now - job.EndedAt()) + " ago)";
        return false;
    }
    if (job.WasKillSent()) {
        why = "a Kill was sent " + mon_Clock::Seconds(now - job.KillSentAt()) +
              " ago; still waiting for it to stop";
        return false;
    }
    if (!source.SendKill(job, why))
        return false;
    roster.KillSent(job.Id(), now);
    note("sent Kill to " + job.Label() + " after " + std::to_string(job.Reports()) + " reports");
    return true;
}

void mon_Monitor::killAfterEnoughReports(Clock::time_point now) {
    if (options.killAfter <= 0)
        return;
    for (const mon_Job* job : roster.Connected()) {
        if (job->HasEnded() || job->WasKillSent() || job->Reports() < options.killAfter)
            continue;
        std::string why;
        if (!killOne(*job, now, why))
            note("no Kill sent to " + job->Label() + ": " + why);
    }
}

void mon_Monitor::list(Clock::time_point now) {
    if (roster.Empty()) {
        note("no job has reported yet");
        return;
    }
    note(roster.Counts());
    for (const mon_Job* job : roster.Jobs())
        note("  " + job->Describe(now));
}

void mon_Monitor::help() {
    for (const char* line : mon_Command::Help())
        note(line);
}

void mon_Monitor::quit() {
    std::vector<const mon_Job*> connected = roster.Connected();
    // Once the source has ended no job can be reached any more, connected or not.
    if (connected.empty() || quitWarned || source.Ended()) {
        done = true;
        return;
    }
    quitWarned = true;
    note("still connected: " + labels(connected) +
         " (they go on without a monitor); type quit again to leave");
}
