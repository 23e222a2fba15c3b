#include "ipm/ipm_MessageBacklog.h"

ipm_MessageBacklog::ipm_MessageBacklog(int bound)
    : takenOut{cow_String(), false}, hasTakenOut(false), bound(bound > 0 ? bound : 1), dropped(0) {}

void ipm_MessageBacklog::Append(const cow_String& report, bool keep) {
    entries.push_back(Entry{report, keep});
    dropOverTheBound();
}

void ipm_MessageBacklog::dropOverTheBound() {
    std::deque<Entry>::iterator candidate = entries.begin();
    while (Pending() > bound) {
        while (candidate != entries.end() && candidate->keep)
            ++candidate;
        if (candidate == entries.end())
            return;
        candidate = entries.erase(candidate);
        ++dropped;
    }
}

bool ipm_MessageBacklog::TakeOldest(cow_String& report) {
    if (hasTakenOut || entries.empty())
        return false;
    takenOut = entries.front();
    entries.pop_front();
    hasTakenOut = true;
    report = takenOut.report;
    return true;
}

void ipm_MessageBacklog::PutBack() {
    if (!hasTakenOut)
        return;
    entries.push_front(takenOut);
    Delivered();
}

void ipm_MessageBacklog::Delivered() {
    takenOut.report = cow_String();
    hasTakenOut = false;
}

cow_List<cow_String> ipm_MessageBacklog::Waiting() const {
    cow_List<cow_String> reports;
    for (const Entry& entry : entries)
        reports.Append(entry.report);
    return reports;
}

void ipm_MessageBacklog::Clear() {
    entries.clear();
}

void ipm_MessageBacklog::ForgetDropped(int count) {
    dropped = count < dropped ? dropped - count : 0;
}
