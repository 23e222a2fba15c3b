#ifndef IPM_IPM_MESSAGEBACKLOG_H
#define IPM_IPM_MESSAGEBACKLOG_H

#include "base/cow_String.h"
#include "cow/cow_List.h"

#include <deque>

// The reports waiting for delivery, oldest first, at most `bound` of them counting the one
// taken out for delivery. Past the bound the oldest report that may go is dropped and
// counted; an "Error", a "Warning" or a limit notice is kept, so the error and warning caps
// bound what the backlog can hold beyond it. Not thread-safe: the transmitter guards it with
// its buffer lock.
class ipm_MessageBacklog {
public:
    explicit ipm_MessageBacklog(int bound);

    // keep: never dropped for the bound.
    void Append(const cow_String& report, bool keep);
    // Takes the oldest waiting report out for delivery; false when none waits. It counts
    // against the bound until it is delivered or put back, and is never dropped meanwhile.
    bool TakeOldest(cow_String& report);
    // The report taken out goes back to the front, to be delivered first next time.
    void PutBack();
    void Delivered();

    // Waiting reports, the one taken out not included.
    int Count() const { return static_cast<int>(reports.size()); }
    // Waiting reports and the one taken out: what counts against the bound.
    int Pending() const { return Count() + (hasTakenOut ? 1 : 0); }
    bool IsEmpty() const { return reports.empty(); }
    cow_List<cow_String> Waiting() const;
    // Drops every waiting report without counting it.
    void Clear();

    int GetBound() const { return bound; }
    // Reports dropped for the bound since the count was last lowered.
    int GetDropped() const { return dropped; }
    void ForgetDropped(int count);

private:
    // Apart, so that a report costs the backlog one pointer and one byte, not a padded pair.
    std::deque<cow_String> reports;
    std::deque<bool> keeps;
    cow_String takenOut;
    bool takenOutKeep;
    bool hasTakenOut;
    int bound;
    int dropped;

    void dropOverTheBound();
};

#endif
