#ifndef IPM_IPM_DIRECTMECHANISM_H
#define IPM_IPM_DIRECTMECHANISM_H

#include "base/base_Export.h"
#include "csp/csp_TcpSocket.h"
#include "ipm/ipm_TransmissionMechanism.h"

#include <atomic>

// The transport that connects straight to the monitor's listener ("listener_name",
// "direct_port"). On the wire: the job name once per connection, then every payload as raw
// bytes, each ending with its line feed. The listener sends "Kill" on the same connection to
// stop the job.
class QORKEL_API ipm_DirectMechanism : public ipm_TransmissionMechanism {
public:
    ipm_DirectMechanism();
    // Ends the connection in order, then closes the socket; never fails.
    ~ipm_DirectMechanism() override;

    // Connects on a fresh socket (at most 5 s) and sends the job name; false when the
    // listener cannot be reached, or when "direct_port" is not a port from 1 to 65535 (said
    // once on standard error). A name that cannot be resolved, or a failure after
    // connecting, raises.
    bool Initialize() override;
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override;
    const ipm_PayloadEncoder& PayloadVariant() const override;
    // Shuts the connection down in both directions; quiet when there is none.
    void Close() override;
    // Writes the whole payload; raises when the connection has failed, or when a write makes
    // no progress for 5 s (a listener that does not read).
    void Transmit(const cow_String& payload) override;
    // Waits up to 60 ms for the listener and calls the kill hook when a read holds
    // "Kill". A connection that has ended or failed raises; one not yet made is left alone.
    void Poll() override;
    void Interrupt() override;
    void ForgetInheritedConnection() override;
    // "the monitor at <listener_name>:<direct_port>".
    cow_String Destination() const override;

    // "direct_port" as a port from 1 to 65535. Otherwise false, and when `tell`, one line on
    // standard error says that reports are only written to the message file.
    static bool ListenerPort(int& port, bool tell);

private:
    csp_TcpSocket socket;
    bool connected;
    std::atomic<bool> interrupted;
    bool portRefusalTold;
};

#endif
