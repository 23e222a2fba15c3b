#ifndef IPM_IPM_TRANSPORTSLOT_H
#define IPM_IPM_TRANSPORTSLOT_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "ipm/ipm_Clock.h"
#include "ipm/ipm_PayloadEncoder.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

class ipm_TransmissionMechanism;

// The transmitter's transport: owns it, swaps it, interrupts it, and lets one call at a time
// run on it. A call holds the transport for as long as it runs (on the network), never the
// slot's lock, so that a replacement or a give-up can interrupt it meanwhile. A call that
// raises marks the transport down, for the message task to set it up again; the failure
// passes on to the caller.
//
// In a child made by fork() the transport is the parent's connection: the slot closes the
// child's copy at once and from then on neither uses, shuts down nor destroys it, and delivers
// nothing, whichever transport is installed later.
class QORKEL_API ipm_TransportSlot {
public:
    typedef std::chrono::steady_clock Clock;

    ipm_TransportSlot();
    ipm_TransportSlot(const ipm_TransportSlot&) = delete;
    ipm_TransportSlot& operator=(const ipm_TransportSlot&) = delete;
    ~ipm_TransportSlot();

    // Takes ownership; the same one again changes nothing. The one in place is interrupted
    // and, once the call that runs on it has returned, destroyed; the new one is down until
    // it is set up.
    void Replace(ipm_TransmissionMechanism* incoming);
    bool HasTransport() const {
        return locked([&] { return transport != nullptr; });
    }
    // The payload variant the transport names; without one, the variant every transport can
    // carry.
    ipm_PayloadEncoder GetVariant() const {
        return locked([&] { return variant; });
    }

    // Sets the transport up; false without one. Counted as an attempt however it ends.
    bool Initialize();
    // Set up and not failed since.
    bool IsReady() const {
        return locked([&] { return ready; });
    }
    int GetAttempts() const {
        return locked([&] { return attempts; });
    }
    // Waits for its turn, however long the call before it takes.
    void Transmit(const cow_String& payload);
    // For a reporting thread: a transport that is up, and free within a quarter of a second
    // (and before the deadline), takes the payload, which must be written by the deadline.
    // False when it was not handed over.
    bool TransmitWithin(const cow_String& payload, Clock::time_point deadline);
    // Only a transport that is up is polled; a reporting thread that waits for the transport
    // gets it first. The transport's wait for the monitor keeps `clock`.
    void Poll(ipm_Clock& clock);
    void Close();
    // Gives up on the transport in place: a call blocked on the network returns soon.
    void Interrupt();
    // The transport's own words, empty without one.
    cow_String GetDestination();
    cow_String GetFailureCause();

    // Around fork(), on the forking thread: the slot's lock is held across it (never a call on
    // the transport, which may run on another thread).
    void HoldForFork() { lock.lock(); }
    void ReleaseAfterFork() { lock.unlock(); }
    void ContinueInForkedChild();
    bool IsInheritedByFork() const {
        return locked([&] { return inheritedByFork; });
    }

private:
    class Turn;

    mutable std::mutex lock;
    std::condition_variable changed;
    ipm_TransmissionMechanism* transport;
    // The transport a forked child inherited: never used or destroyed in the child.
    ipm_TransmissionMechanism* inherited;
    ipm_PayloadEncoder variant;
    bool ready;
    // A call runs on the transport.
    bool busy;
    int directCallersWaiting;
    int attempts;
    bool inheritedByFork;

    void replaceInForkedChild(std::unique_lock<std::mutex>& held,
                              ipm_TransmissionMechanism* incoming);
    template <class Call> auto locked(Call call) const -> decltype(call()) {
        std::lock_guard<std::mutex> guard(lock);
        return call();
    }
    // Runs a call on the transport; a failure marks it down and passes on.
    template <class Call> void run(ipm_TransmissionMechanism& on, Call call);
};

#endif
