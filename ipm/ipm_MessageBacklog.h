#ifndef IPM_IPM_MESSAGEBACKLOG_H
#define IPM_IPM_MESSAGEBACKLOG_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "cow/cow_List.h"
#include "ipm/ipm_ReportSink.h"

#include <cstdint>
#include <deque>

// The reports waiting for delivery, oldest first, at most `bound` of them counting the one
// taken out for delivery. Past the bound the oldest report that may go is dropped and
// counted; an "Error", a "Warning" or a limit notice is kept, so the error and warning caps
// bound what the backlog can hold beyond it. Every report gets the next number of a sequence
// when it is appended, so that a caller can tell the reports made before a moment from those
// made after it. Not thread-safe: ipm_ReportRecorder calls it under its lock.
class QORKEL_API ipm_MessageBacklog : public ipm_ReportSink {
public:
    typedef std::uint64_t Sequence;

    explicit ipm_MessageBacklog(int bound);

    // keep: never dropped for the bound.
    void Append(const cow_String& report, bool keep);
    void Take(const cow_String& report, bool keep) override { Append(report, keep); }
    // Takes the oldest waiting report out for delivery; false when none waits. It counts
    // against the bound until it is delivered or put back, and is never dropped meanwhile.
    bool TakeOldest(cow_String& report);
    // The report taken out goes back to the front, to be delivered first next time.
    void PutBack();
    void Delivered();

    // Waiting reports, the one taken out not included.
    int Count() const { return static_cast<int>(kept.size() + droppable.size()); }
    // Waiting reports and the one taken out: what counts against the bound.
    int Pending() const { return Count() + (hasTakenOut ? 1 : 0); }
    bool IsEmpty() const { return kept.empty() && droppable.empty(); }
    cow_List<cow_String> Waiting() const;
    // Drops every waiting report without counting it.
    void Clear();

    // The number of the last report appended; 0 before the first.
    Sequence LastAppended() const { return nextSequence - 1; }
    // Whether a report numbered up to `last` still waits, or is out for delivery.
    bool HoldsAnyUpTo(Sequence last) const;

    int GetBound() const { return bound; }
    // Reports dropped for the bound since the count was last lowered.
    int GetDropped() const { return dropped; }
    void ForgetDropped(int count);

private:
    struct Entry {
        cow_String report;
        Sequence sequence;
    };
    // Apart, so that the oldest report that may go is always at a front: dropping it costs the
    // same however many kept reports wait before it.
    std::deque<Entry> kept;
    std::deque<Entry> droppable;
    Entry takenOut;
    bool takenOutKeep;
    bool hasTakenOut;
    int bound;
    int dropped;
    Sequence nextSequence;

    // The queue whose front is the oldest waiting report; both must not be empty together.
    std::deque<Entry>& oldestQueue();
    void dropOverTheBound();
};

#endif
