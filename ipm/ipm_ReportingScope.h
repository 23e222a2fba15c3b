#ifndef IPM_IPM_REPORTINGSCOPE_H
#define IPM_IPM_REPORTINGSCOPE_H

#include "ipm/ipm_startReporting.h"

// Holds reporting for a scope: the constructor starts it, the destructor stops it, also when
// the scope is left by an exception.
//
//   int main(int argc, char** argv) {
//       ipm_ReportingScope reporting(argc, argv);
//       ...
//   }
//
// Built on the C calls alone, so that a host compiled with another C++ compiler than the
// library's can use it too.
class ipm_ReportingScope {
public:
    // The process's own command line.
    ipm_ReportingScope() : answer(ipm_startReporting(0, nullptr)) {}
    ipm_ReportingScope(int argc, const char* const* argv)
        : answer(ipm_startReporting(argc, argv)) {}
    ~ipm_ReportingScope() { ipm_stopReporting(); }
    ipm_ReportingScope(const ipm_ReportingScope&) = delete;
    ipm_ReportingScope& operator=(const ipm_ReportingScope&) = delete;

    // What ipm_startReporting answered (IPM_REPORTING_ON and the others).
    int Answer() const { return answer; }
    bool IsOn() const { return answer == IPM_REPORTING_ON; }
    static bool KillRequested() { return ipm_killRequested() != 0; }

private:
    int answer;
};

#endif
