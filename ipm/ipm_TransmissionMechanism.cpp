#include "ipm/ipm_TransmissionMechanism.h"

#include "ipm/ipm_MessageTransmit.h"

ipm_TransmissionMechanism::ipm_TransmissionMechanism() = default;

ipm_TransmissionMechanism::~ipm_TransmissionMechanism() = default;

void ipm_TransmissionMechanism::Interrupt() {}

void ipm_TransmissionMechanism::ForgetInheritedConnection() {}

bool ipm_TransmissionMechanism::WaitForMonitor(int milliseconds,
                                               const std::function<bool(int)>& ready) const {
    return deliveryClock->WaitOutside(std::chrono::milliseconds(milliseconds), ready);
}

cow_String ipm_TransmissionMechanism::Destination() const {
    return "the monitor";
}

bool ipm_TransmissionMechanism::ParsePort(const cow_String& text, int& port) {
    if (text.IsEmpty() || text.length() > 5)
        return false;
    int value = 0;
    for (int i = 0; i < text.length(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

const ipm_PayloadEncoder& ipm_TransmissionMechanism::PayloadVariant() const {
    return ipm_PayloadEncoder::Direct();
}

cow_String ipm_TransmissionMechanism::EncodePayload(const ipm_PayloadEncoder& variant,
                                                    const char* type, const char* format,
                                                    const int* integers, const double* reals,
                                                    const char* const* texts, bool started) const {
    return variant.Encode(ipm_MessageTransmit::Instance(), jobName, type, format, integers, reals,
                          texts, started);
}
