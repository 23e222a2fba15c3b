#include "ipm/ipm_sendMessage.h"

#include "base/cow_String.h"
#include "ipm/ipm_MessageTransmit.h"

#include <chrono>
#include <cstring>

namespace {

// ipm_sendMessageDirect holds its caller at most 5 s, the wait for the transport included;
// the write gives up a little earlier, which leaves room for a busy machine to wake the caller.
const std::chrono::milliseconds directWriteLimit(4750);

const char* const errorLimitText =
    "Error message limit reached. No further error messages will be reported.\n"
    "Please see the dat file for more errors.";
const char* const warningLimitText =
    "Warning message limit reached. No further warning messages will be reported.\n"
    "Please see the dat file for more warnings.";

// Any type that mentions "Started" is the start report, which carries host and handle.
struct ReportType {
    explicit ReportType(const char* given)
        : started(std::strstr(given, "Started") != nullptr), name(started ? "Started" : given) {}

    bool started;
    const char* name;
};

void bufferLimitNotice(ipm_MessageTransmit& transmitter, const char* type, const char* text,
                       const int* integers, const double* reals, bool started) {
    const char* const texts[] = {text};
    const cow_String notice =
        transmitter.Encode(type, "message=%s", integers, reals, texts, started);
    transmitter.BufferMessage(notice, type, true);
}

void sendMessage(const char* type, const char* format, const int* integers, const double* reals,
                 const char* const* texts) {
    const ReportType report(type);
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    const cow_String encoded =
        transmitter.Encode(report.name, format, integers, reals, texts, report.started);
    const ipm_MessageTransmit::DueNotices due = transmitter.BufferReport(encoded, report.name);
    if (due.error)
        bufferLimitNotice(transmitter, "Error", errorLimitText, integers, reals, report.started);
    if (due.warning)
        bufferLimitNotice(transmitter, "Warning", warningLimitText, integers, reals,
                          report.started);
}

void sendMessageDirect(const char* type, const char* format, const int* integers,
                       const double* reals, const char* const* texts) {
    const ipm_MessageTransmit::Clock::time_point deadline =
        ipm_MessageTransmit::Clock::now() + directWriteLimit;
    const ReportType report(type);
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    // Encoded even when it is dropped: a phase it carries still counts for later reports.
    transmitter.TransmitIfReady(
        transmitter.Encode(report.name, format, integers, reals, texts, report.started), deadline);
}

} // namespace

// A C or Fortran caller cannot catch an exception, and one unwinding through its
// frames ends the process: every failure stops here. The transmitter's state stays
// consistent (a transport that failed is set up again by the message task).
int ipm_sendMessage(const char* type, const char* format, const int* integers, const double* reals,
                    const char* const* texts) {
    if (type == nullptr)
        return 0;
    try {
        sendMessage(type, format, integers, reals, texts);
    } catch (...) {
    }
    return 0;
}

int ipm_sendMessageDirect(const char* type, const char* format, const int* integers,
                          const double* reals, const char* const* texts) {
    if (type == nullptr)
        return 0;
    try {
        sendMessageDirect(type, format, integers, reals, texts);
    } catch (...) {
    }
    return 0;
}
