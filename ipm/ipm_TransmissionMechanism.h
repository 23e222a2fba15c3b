#ifndef IPM_IPM_TRANSMISSIONMECHANISM_H
#define IPM_IPM_TRANSMISSIONMECHANISM_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "ipm/ipm_Clock.h"
#include "ipm/ipm_PayloadEncoder.h"

// A transport that carries report payloads to the monitor and watches for its
// commands. The transmitter owns it and runs Initialize, Transmit, Poll and Close one at
// a time; Interrupt runs on whichever thread gives up on the transport. The transmitter
// encodes the reports itself, in the variant the transport names.
class QORKEL_API ipm_TransmissionMechanism {
public:
    ipm_TransmissionMechanism();
    ipm_TransmissionMechanism(const ipm_TransmissionMechanism&) = delete;
    ipm_TransmissionMechanism& operator=(const ipm_TransmissionMechanism&) = delete;
    virtual ~ipm_TransmissionMechanism();

    // True when the transport is ready to transmit. May throw. Called again, from the start,
    // to set up a transport that failed or could not be set up.
    virtual bool Initialize() = 0;
    // The report payload of this transport's variant (see EncodePayload).
    virtual cow_String Encode(const char* type, const char* format, const int* integers,
                              const double* reals, const char* const* texts,
                              bool started) const = 0;
    // The variant the transmitter encodes this transport's reports in: one of the library's
    // (ipm_PayloadEncoder::Direct, Jabber) or another that lasts as long as the process,
    // since a report may still be encoded in it while the transport is replaced. The default
    // is the direct transport's.
    virtual const ipm_PayloadEncoder& PayloadVariant() const;
    virtual void Close() = 0;
    virtual void Transmit(const cow_String& payload) = 0;
    // Looks for commands from the monitor. May throw.
    virtual void Poll() = 0;
    // Called from another thread than the one using the transport, to give up on it for
    // good: a call blocked on the network returns (or raises) soon, and later ones fail.
    // Must be safe while another call runs. The default does nothing.
    virtual void Interrupt();
    // In a child made by fork(), whose parent goes on using the connection: closes this
    // process's copy of it without a word on the wire (no shutdown, no goodbye) and without
    // waiting for a lock. The child never uses the transport again, nor destroys it. The
    // default does nothing.
    virtual void ForgetInheritedConnection();
    // Where the reports go, as the job's user would look for it ("the monitor at
    // 127.0.0.1:5001"), for the lines that say delivery is down or back. The default says
    // "the monitor".
    virtual cow_String Destination() const;

    // Why the last Initialize answered false, in a few words ("connection refused"); empty
    // when it did not say.
    const cow_String& GetFailureCause() const { return failureCause; }

    const cow_String& GetJobName() const { return jobName; }
    void SetJobName(const cow_String& name) { jobName = name; }

    // A TCP port in decimal, 1 to 65535, and nothing else.
    static bool ParsePort(const cow_String& text, int& port);

protected:
    // For Initialize, before it answers false; the transmitter clears it before each call.
    void SetFailureCause(const cow_String& cause) { failureCause = cause; }

    // The whole of a transport's Encode: the payload in the given variant, carrying
    // this transport's job name and the transmitter's phase.
    cow_String EncodePayload(const ipm_PayloadEncoder& variant, const char* type,
                             const char* format, const int* integers, const double* reals,
                             const char* const* texts, bool started) const;
    // For Poll's wait on the monitor, so that the wait keeps the delivery clock: `ready(bound)`
    // waits at most `bound` milliseconds and answers whether the monitor has sent something.
    bool WaitForMonitor(int milliseconds, const std::function<bool(int)>& ready) const;

private:
    // Clears the failure cause before each set-up and hands Poll the delivery clock.
    friend class ipm_TransportSlot;

    cow_String jobName;
    cow_String failureCause;
    // The clock of the transmitter whose task polls; set before each Poll.
    ipm_Clock* deliveryClock = &ipm_Clock::Steady();
};

#endif
