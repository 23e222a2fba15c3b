// A host job: starts the library, installs a transport, runs the message task,
// reports from C and shuts down. Exits 0 when the transport got both reports.
#include "QORKelCommunications.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

extern "C" int report_from_c(void);

namespace {

std::atomic<int> transmitted{0};

class CountingMechanism : public ipm_TransmissionMechanism {
public:
    bool Initialize() override { return true; }
    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override {
        return EncodePayload(ipm_PayloadEncoder::Direct(), type, format, integers, reals, texts,
                             started);
    }
    void Close() override {}
    void Transmit(const cow_String&) override { ++transmitted; }
    void Poll() override {}
};

} // namespace

int main(int argc, char** argv) {
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(argc, argv);
    int modules = 0;
    QORKelCommunications_initialize(modules);
    ipm_MessageTransmit::Instance().SetMechanism(new CountingMechanism);

    ipm_MessageTask task;
    std::thread delivery([&task] { task.Run(0); });
    while (!ipm_MessageTransmit::Instance().IsTaskRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const int result = report_from_c();
    ipm_MessageTransmit::Instance().RequestStop();
    QORKelCommunications_finalize(modules);
    delivery.join();

    std::printf("transmitted %d, modules %d\n", transmitted.load(), modules);
    return result == 0 && transmitted.load() == 2 && modules == 0 ? 0 : 1;
}
