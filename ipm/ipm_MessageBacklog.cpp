#include "ipm/ipm_MessageBacklog.h"

ipm_MessageBacklog::ipm_MessageBacklog(int bound)
    : takenOutKeep(false), hasTakenOut(false), bound(bound > 0 ? bound : 1), dropped(0) {}

void ipm_MessageBacklog::Append(const cow_String& report, bool keep) {
    reports.push_back(report);
    try {
        keeps.push_back(keep);
    } catch (...) {
        reports.pop_back();
        throw;
    }
    dropOverTheBound();
}

void ipm_MessageBacklog::dropOverTheBound() {
    std::size_t candidate = 0;
    while (Pending() > bound) {
        while (candidate < keeps.size() && keeps[candidate])
            ++candidate;
        if (candidate == keeps.size())
            return;
        if (candidate == 0) {
            reports.pop_front();
            keeps.pop_front();
        } else {
            reports.erase(reports.begin() + static_cast<std::ptrdiff_t>(candidate));
            keeps.erase(keeps.begin() + static_cast<std::ptrdiff_t>(candidate));
        }
        ++dropped;
    }
}

bool ipm_MessageBacklog::TakeOldest(cow_String& report) {
    if (hasTakenOut || reports.empty())
        return false;
    takenOut = reports.front();
    takenOutKeep = keeps.front();
    reports.pop_front();
    keeps.pop_front();
    hasTakenOut = true;
    report = takenOut;
    return true;
}

void ipm_MessageBacklog::PutBack() {
    if (!hasTakenOut)
        return;
    reports.push_front(takenOut);
    try {
        keeps.push_front(takenOutKeep);
    } catch (...) {
        reports.pop_front();
        throw;
    }
    Delivered();
}

void ipm_MessageBacklog::Delivered() {
    takenOut = cow_String();
    hasTakenOut = false;
}

cow_List<cow_String> ipm_MessageBacklog::Waiting() const {
    cow_List<cow_String> waiting;
    for (const cow_String& report : reports)
        waiting.Append(report);
    return waiting;
}

void ipm_MessageBacklog::Clear() {
    reports.clear();
    keeps.clear();
}

void ipm_MessageBacklog::ForgetDropped(int count) {
    dropped = count < dropped ? dropped - count : 0;
}
