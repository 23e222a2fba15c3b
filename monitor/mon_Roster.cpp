#include "monitor/mon_Roster.h"

#include "monitor/mon_Clock.h"

#include <algorithm>

mon_Roster::mon_Roster(mon_View& view, Clock::duration silentAfter, Clock::duration killAnswerTime)
    : view(&view), silentAfter(silentAfter), killAnswerTime(killAnswerTime), nextId(1), arrivals(0),
      dropSaid(false) {}

int mon_Roster::Arrive(const std::string& name, const std::string& origin, const std::string& how,
                       Clock::time_point now) {
    ++arrivals;
    Entry added;
    added.job.reset(new mon_Job(nextId++, name, uniqueLabel(name), origin, now));
    jobs.push_back(std::move(added));
    const mon_Job& job = *jobs.back().job;
    view->JobArrived(
        job, job.Label() == name ? how : how + " (another job named " + name + " is on the board)");
    dropOldEndedJobs();
    return job.Id();
}

mon_Job& mon_Roster::Recall(const std::string& name, const std::string& origin,
                            Clock::time_point arrived) {
    Entry added;
    added.job.reset(new mon_Job(nextId++, name, uniqueLabel(name), origin, arrived));
    added.job->Restore(mon_Job::Remembered());
    jobs.push_back(std::move(added));
    mon_Job& job = *jobs.back().job;
    dropOldEndedJobs();
    return job;
}

void mon_Roster::Report(int id, const mon_Report& report, const mon_View::Time& time,
                        Clock::time_point now) {
    Entry* known = entry(id);
    if (known == nullptr)
        return;
    mon_Job& job = *known->job;
    const mon_Job::State previous = job.GetState();
    job.Apply(report, now);
    if (shownTypes.empty() || shownTypes.count(report.Type()) != 0)
        view->ReportArrived(job, report, time);
    changed(job, previous, now, "its final report: " + job.FinalReport());
}

void mon_Roster::Unreadable(int id, const std::string& raw, const std::string& reason,
                            const mon_View::Time& time, Clock::time_point now) {
    Entry* known = entry(id);
    if (known == nullptr)
        return;
    mon_Job& job = *known->job;
    const mon_Job::State previous = job.GetState();
    job.ApplyUnreadable(now);
    view->ReportUnreadable(job, raw, reason, time);
    changed(job, previous, now, std::string());
}

void mon_Roster::Leave(int id, const std::string& why, Clock::time_point now) {
    Entry* known = entry(id);
    if (known == nullptr)
        return;
    mon_Job& job = *known->job;
    const mon_Job::State previous = job.GetState();
    if (!job.End(now))
        return;
    changed(job, previous, now, why + " without a final report");
    view->JobLeft(job);
    dropOldEndedJobs();
}

bool mon_Roster::Return(int id, const std::string& how) {
    Entry* known = entry(id);
    if (known == nullptr || !known->job->Resume())
        return false;
    view->StateChanged(*known->job, mon_Job::lost, how);
    return true;
}

void mon_Roster::KillSent(int id, Clock::time_point now) {
    Entry* known = entry(id);
    if (known != nullptr)
        known->job->KillSent(now);
}

void mon_Roster::Tick(Clock::time_point now) {
    for (Entry& known : jobs) {
        mon_Job& job = *known.job;
        if (job.CheckSilence(now, silentAfter))
            view->StateChanged(job, mon_Job::running,
                               "no report for " + mon_Clock::Seconds(now - job.LastReport()));
        if (job.WasKillSent() && !job.HasEnded() && !known.killOverdueSaid &&
            now - job.KillSentAt() > killAnswerTime) {
            known.killOverdueSaid = true;
            view->Note(job.Label() + " has not stopped " +
                       mon_Clock::Seconds(now - job.KillSentAt()) + " after the Kill; it is " +
                       mon_Job::StateName(job.GetState()));
        }
    }
}

// Tells the view when a report or an end changed the job's state; a job that was silent
// and reports again says so too.
void mon_Roster::changed(mon_Job& job, mon_Job::State previous, Clock::time_point now,
                         const std::string& cause) {
    const mon_Job::State state = job.GetState();
    if (state == previous)
        return;
    std::string why;
    if (state == mon_Job::killed)
        why = killAnswer(job, now, cause);
    else if (state == mon_Job::running)
        why = "reporting again";
    else
        why = cause;
    view->StateChanged(job, previous, why);
}

std::string mon_Roster::killAnswer(const mon_Job& job, Clock::time_point now,
                                   const std::string& cause) const {
    const std::string after =
        "stopped " + mon_Clock::Seconds(now - job.KillSentAt()) + " after the Kill";
    if (!job.FinalReport().empty())
        return after + " (its final report: " + job.FinalReport() + ")";
    return after + " (" + cause + ")";
}

const mon_Job* mon_Roster::Find(int id) const {
    return const_cast<mon_Roster*>(this)->Find(id);
}

mon_Job* mon_Roster::Find(int id) {
    Entry* known = entry(id);
    return known == nullptr ? nullptr : known->job.get();
}

mon_Roster::Entry* mon_Roster::entry(int id) {
    // Ids grow with arrival and entries keep that order: a binary search finds one.
    const auto found =
        std::lower_bound(jobs.begin(), jobs.end(), id,
                         [](const Entry& known, int wanted) { return known.job->Id() < wanted; });
    return found != jobs.end() && found->job->Id() == id ? &*found : nullptr;
}

std::vector<const mon_Job*> mon_Roster::Matching(const std::string& nameOrLabel) const {
    const auto named = [&nameOrLabel](const Entry& known) {
        return known.job->Name() == nameOrLabel;
    };
    for (const Entry& known : jobs) {
        const mon_Job& job = *known.job;
        const bool givenLabel = job.Label() != job.Name() && job.Label() == nameOrLabel;
        const bool firstOfItsName = job.Label() == job.Name() && job.Label() + "#1" == nameOrLabel;
        if (givenLabel || (firstOfItsName && std::none_of(jobs.begin(), jobs.end(), named)))
            return {&job};
    }
    std::vector<const mon_Job*> matching;
    for (const Entry& known : jobs)
        if (named(known))
            matching.push_back(known.job.get());
    std::stable_partition(matching.begin(), matching.end(),
                          [](const mon_Job* job) { return job->IsConnected(); });
    return matching;
}

std::vector<const mon_Job*> mon_Roster::Jobs() const {
    std::vector<const mon_Job*> all;
    for (const Entry& known : jobs)
        all.push_back(known.job.get());
    return all;
}

std::vector<const mon_Job*> mon_Roster::Connected() const {
    std::vector<const mon_Job*> connected;
    for (const Entry& known : jobs)
        if (known.job->IsConnected())
            connected.push_back(known.job.get());
    return connected;
}

int mon_Roster::CountIn(mon_Job::State state) const {
    return int(std::count_if(jobs.begin(), jobs.end(), [state](const Entry& known) {
        return known.job->GetState() == state;
    }));
}

std::string mon_Roster::Counts() const {
    std::string counts;
    for (mon_Job::State state :
         {mon_Job::running, mon_Job::silent, mon_Job::finished, mon_Job::lost, mon_Job::killed}) {
        const int count = CountIn(state);
        if (count > 0)
            counts += (counts.empty() ? ": " : ", ") + std::to_string(count) + " " +
                      mon_Job::StateName(state);
    }
    return std::to_string(jobs.size()) + (jobs.size() == 1 ? " job" : " jobs") + counts;
}

std::string mon_Roster::uniqueLabel(const std::string& name) const {
    std::string label = name;
    for (int n = 2;; ++n) {
        const bool taken = std::any_of(jobs.begin(), jobs.end(), [&label](const Entry& known) {
            return known.job->Label() == label;
        });
        if (!taken)
            return label;
        label = name + "#" + std::to_string(n);
    }
}

void mon_Roster::dropOldEndedJobs() {
    std::size_t ended = 0;
    for (const Entry& known : jobs)
        ended += known.job->IsConnected() ? 0 : 1;
    for (auto known = jobs.begin(); ended > maxEndedJobs && known != jobs.end();) {
        if (known->job->IsConnected()) {
            ++known;
            continue;
        }
        known = jobs.erase(known);
        --ended;
        if (!dropSaid) {
            dropSaid = true;
            view->Note("the roster keeps the last " + std::to_string(maxEndedJobs) +
                       " jobs that ended; older ones are dropped");
        }
    }
}
