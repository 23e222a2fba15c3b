#ifndef MONITOR_MON_VIEWFAN_H
#define MONITOR_MON_VIEWFAN_H

#include "monitor/mon_View.h"

#include <set>
#include <string>
#include <vector>

// Hands the roster's events to the view that shows them (the log or the board) and to the
// observers that keep or pass them on (the history, the web page, the hooks). Only the
// shown view prints the summary, and only it leaves out the report types that -only leaves
// out: the observers keep every report.
class mon_ViewFan : public mon_View {
public:
    explicit mon_ViewFan(mon_View& shown) : shown(&shown) {}

    void SetShown(mon_View& view) { shown = &view; }
    mon_View& Shown() { return *shown; }
    void AddObserver(mon_View& observer) { observers.push_back(&observer); }
    // Before the observers go.
    void ClearObservers() { observers.clear(); }
    // Report types the shown view shows (all when empty).
    void ShowOnly(const std::set<std::string>& types) { shownTypes = types; }

    void JobArrived(const mon_Job& job, const std::string& how) override {
        shown->JobArrived(job, how);
        for (mon_View* observer : observers)
            observer->JobArrived(job, how);
    }
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override {
        if (shownTypes.empty() || shownTypes.count(report.Type()) != 0)
            shown->ReportArrived(job, report, time);
        for (mon_View* observer : observers)
            observer->ReportArrived(job, report, time);
    }
    void ReportUnreadable(const mon_Job& job, const std::string& raw, const std::string& reason,
                          const Time& time) override {
        shown->ReportUnreadable(job, raw, reason, time);
        for (mon_View* observer : observers)
            observer->ReportUnreadable(job, raw, reason, time);
    }
    void StateChanged(const mon_Job& job, mon_Job::State previous,
                      const std::string& why) override {
        shown->StateChanged(job, previous, why);
        for (mon_View* observer : observers)
            observer->StateChanged(job, previous, why);
    }
    void JobLeft(const mon_Job& job) override {
        shown->JobLeft(job);
        for (mon_View* observer : observers)
            observer->JobLeft(job);
    }
    void Note(const std::string& text) override {
        shown->Note(text);
        for (mon_View* observer : observers)
            observer->Note(text);
    }
    void Refresh(const mon_Roster& roster) override {
        shown->Refresh(roster);
        for (mon_View* observer : observers)
            observer->Refresh(roster);
    }
    void Summary(const mon_Roster& roster) override { shown->Summary(roster); }

private:
    mon_View* shown;
    std::vector<mon_View*> observers;
    std::set<std::string> shownTypes;
};

#endif
