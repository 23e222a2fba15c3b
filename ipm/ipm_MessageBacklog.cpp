#include "ipm/ipm_MessageBacklog.h"

ipm_MessageBacklog::ipm_MessageBacklog(int bound)
    : takenOut{cow_String(), 0}, takenOutKeep(false), hasTakenOut(false),
      bound(bound > 0 ? bound : 1), dropped(0), nextSequence(1) {}

void ipm_MessageBacklog::Append(const cow_String& report, bool keep) {
    (keep ? kept : droppable).push_back(Entry{report, nextSequence});
    ++nextSequence;
    dropOverTheBound();
}

void ipm_MessageBacklog::dropOverTheBound() {
    while (Pending() > bound && !droppable.empty()) {
        droppable.pop_front();
        ++dropped;
    }
}

std::deque<ipm_MessageBacklog::Entry>& ipm_MessageBacklog::oldestQueue() {
    if (kept.empty())
        return droppable;
    if (droppable.empty())
        return kept;
    return kept.front().sequence < droppable.front().sequence ? kept : droppable;
}

bool ipm_MessageBacklog::TakeOldest(cow_String& report) {
    if (hasTakenOut || IsEmpty())
        return false;
    std::deque<Entry>& queue = oldestQueue();
    takenOut = queue.front();
    takenOutKeep = &queue == &kept;
    queue.pop_front();
    hasTakenOut = true;
    report = takenOut.report;
    return true;
}

// Its number is older than any waiting report's, so it is at the front of its queue again.
void ipm_MessageBacklog::PutBack() {
    if (!hasTakenOut)
        return;
    (takenOutKeep ? kept : droppable).push_front(takenOut);
    Delivered();
}

void ipm_MessageBacklog::Delivered() {
    takenOut.report = cow_String();
    hasTakenOut = false;
}

cow_List<cow_String> ipm_MessageBacklog::Waiting() const {
    cow_List<cow_String> waiting;
    std::deque<Entry>::const_iterator k = kept.begin();
    std::deque<Entry>::const_iterator d = droppable.begin();
    while (k != kept.end() || d != droppable.end()) {
        const bool fromKept =
            d == droppable.end() || (k != kept.end() && k->sequence < d->sequence);
        waiting.Append(fromKept ? (k++)->report : (d++)->report);
    }
    return waiting;
}

void ipm_MessageBacklog::Clear() {
    kept.clear();
    droppable.clear();
}

bool ipm_MessageBacklog::HoldsAnyUpTo(Sequence last) const {
    return (hasTakenOut && takenOut.sequence <= last) ||
           (!kept.empty() && kept.front().sequence <= last) ||
           (!droppable.empty() && droppable.front().sequence <= last);
}

void ipm_MessageBacklog::ForgetDropped(int count) {
    dropped = count < dropped ? dropped - count : 0;
}
