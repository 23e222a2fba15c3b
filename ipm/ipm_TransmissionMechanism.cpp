#include "ipm/ipm_TransmissionMechanism.h"

#include "ipm/ipm_MessageTransmit.h"

ipm_TransmissionMechanism::ipm_TransmissionMechanism() = default;

ipm_TransmissionMechanism::~ipm_TransmissionMechanism() = default;

cow_String ipm_TransmissionMechanism::EncodePayload(const ipm_PayloadEncoder& variant,
                                                    const char* type, const char* format,
                                                    const int* integers, const double* reals,
                                                    const char* const* texts, bool started) const {
    return variant.Encode(ipm_MessageTransmit::Instance(), jobName, type, format, integers, reals,
                          texts, started);
}
