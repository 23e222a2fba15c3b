// Everything the library exports, reached from a project that asked for C++14.
#include "QORKelCommunications.h"

#include <cstdio>

int main(int argc, char** argv) {
    const ipm_ReportingScope reporting(argc, argv);
    const char* texts[] = {"from C++14"};
    ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts);
    const cow_String job = ipm_MessageTransmit::Instance().GetJobName();
    std::printf("job %s, reporting %s\n", job.c_str(), reporting.IsOn() ? "on" : "off");
    return reporting.IsOn() ? 0 : 1;
}
