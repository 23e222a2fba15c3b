#ifndef IPM_IPM_DELIVERYSTATUS_H
#define IPM_IPM_DELIVERYSTATUS_H

#include <chrono>
#include <string>

class ipm_MessageTransmit;

// What the job's user learns about delivery, on stderr: one line when reports cannot get
// through (where to, why, and that they are recorded and delivery is retried), one when
// delivery comes up after that, and nothing more while it stays down. A transport that keeps
// coming up and failing is told down at most once a minute. IPM_QUIET=1 silences both lines.
class ipm_DeliveryStatus {
public:
    typedef std::chrono::steady_clock Clock;

    explicit ipm_DeliveryStatus(ipm_MessageTransmit& transmitter);

    // The transport could not be set up (again), or failed while it was up; `cause` may be
    // empty.
    void Down(const std::string& cause, Clock::time_point now = Clock::now());
    void Up(Clock::time_point now = Clock::now());

    // Inside a catch block: the caught failure in a few words; empty when it says nothing.
    static std::string CauseOfCurrentFailure();

private:
    ipm_MessageTransmit& transmitter;
    bool quiet;
    bool everUp;
    bool down;
    bool toldDown;
    bool everToldDown;
    Clock::time_point downSince;
    Clock::time_point lastToldDown;

    std::string whereReportsWait();
};

#endif
