#ifndef IPM_IPM_TRANSMISSIONMECHANISM_H
#define IPM_IPM_TRANSMISSIONMECHANISM_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "ipm/ipm_PayloadEncoder.h"

// A transport that carries report payloads to the monitor and watches for its
// commands. The transmitter owns it and serialises Initialize, Transmit, Poll and
// Close on one lock; Encode runs on the reporting thread without that lock.
class QORKEL_API ipm_TransmissionMechanism {
public:
    ipm_TransmissionMechanism();
    ipm_TransmissionMechanism(const ipm_TransmissionMechanism&) = delete;
    ipm_TransmissionMechanism& operator=(const ipm_TransmissionMechanism&) = delete;
    virtual ~ipm_TransmissionMechanism();

    // True when the transport is ready to transmit. May throw.
    virtual bool Initialize() = 0;
    // The report payload of this transport's variant (see EncodePayload).
    virtual cow_String Encode(const char* type, const char* format, const int* integers,
                              const double* reals, const char* const* texts,
                              bool started) const = 0;
    virtual void Close() = 0;
    virtual void Transmit(const cow_String& payload) = 0;
    // Looks for commands from the monitor. May throw.
    virtual void Poll() = 0;

    const cow_String& GetJobName() const { return jobName; }
    void SetJobName(const cow_String& name) { jobName = name; }

protected:
    // The whole of a transport's Encode: the payload in the given variant, carrying
    // this transport's job name and the transmitter's phase.
    cow_String EncodePayload(const ipm_PayloadEncoder& variant, const char* type,
                             const char* format, const int* integers, const double* reals,
                             const char* const* texts, bool started) const;

private:
    cow_String jobName;
};

#endif
