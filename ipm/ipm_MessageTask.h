#ifndef IPM_IPM_MESSAGETASK_H
#define IPM_IPM_MESSAGETASK_H

#include "base/QORBasTixThreadTask.h"
#include "base/base_Export.h"

// Delivers the queued reports and polls the transport for the monitor's commands. The host
// constructs it (after the transmitter's settings are in place) and runs Run on a thread of
// its own. Run sets the transport up, delivers the reports oldest first at least 60 ms
// apart, polling between them, and when the transport cannot be set up or fails, tries
// again 1 s later, then after twice as long each time up to 10 s, keeping the report that
// failed; back up, it first tells the monitor how many reports it dropped meanwhile. The
// monitor gets at most one such notice every 5 s, telling the sum.
//
// After a stop request Run delivers the reports that waited when the stop was requested (not
// those made later) and returns; while the transport is down it tries it again every quarter
// of a second until the stop's deadline (IPM_SHUTDOWN_SECONDS) has passed. It also returns as
// soon as shut-down gives up on it. A Run that starts after the library has shut down, or in a
// child made by fork(), returns at once. Nothing escapes Run. Its pace, retries and pauses keep
// the time of the transmitter's clock (ipm_MessageTransmit::SetClock).
class QORKEL_API ipm_MessageTask : public QORBasTixThreadTask {
public:
    // Registers the task, so that shut-down waits for a Run that has not begun yet: with the
    // transmitter that exists, or with the next one (which Run then creates if need be, as
    // long as no shut-down came in between).
    ipm_MessageTask();
    ~ipm_MessageTask() override;

    void Run(int unused) override;

private:
    unsigned long generation;
    unsigned long epoch;
    bool registered;
};

#endif
