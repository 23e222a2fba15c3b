#include "ipm/ipm_MessageTransmit.h"

#include "base/QORBasUtlFilePath.h"
#include "base/thr_GlobalSingletonImpl.h"
#include "base/thr_LockGuard.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_TransmissionMechanism.h"

#include <cstdlib>

QORKEL_INSTANTIATE_GLOBAL_SINGLETON(ipm_MessageTransmit);

namespace {

const int defaultMaxErrorMessages = 50;
const int defaultMaxWarningMessages = 200;
const int expectedBufferedReports = 50;

// A cap from the environment; unset, zero, negative or unreadable keeps the default.
int capFromEnvironment(const char* name, int defaultCap) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return defaultCap;
    const int cap = std::atoi(value);
    return cap > 0 ? cap : defaultCap;
}

// Counts a capped report type; false when the report is over its cap and not forced.
bool countAgainstCap(std::atomic<int>& count, int cap, bool force) {
    return count.fetch_add(1) + 1 <= cap || force;
}

} // namespace

ipm_MessageTransmit::ipm_MessageTransmit()
    : mechanism(nullptr), enabled(false), maxErrorMessages(defaultMaxErrorMessages),
      maxWarningMessages(defaultMaxWarningMessages), errorCount(0), warningCount(0),
      mechanismReady(false), finished(true), jobName("Unknown"),
      buffer(cow_ListSized, expectedBufferedReports), hasMessages(false), stopRequested(false),
      logToFile(true), disabled(false), bufferLock(0), mechanismLock(0), phaseLock(0),
      errorNoticeClaimed(false), warningNoticeClaimed(false), tasksRunning(0) {
    readCaps();
    readCommandLine();
}

ipm_MessageTransmit::~ipm_MessageTransmit() {
    delete mechanism.exchange(nullptr);
}

ipm_MessageTransmit& ipm_MessageTransmit::Instance() {
    return thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
}

void ipm_MessageTransmit::readCaps() {
    maxErrorMessages = capFromEnvironment("MAX_ERROR_MESSAGES", defaultMaxErrorMessages);
    maxWarningMessages = capFromEnvironment("MAX_WARNING_MESSAGES", defaultMaxWarningMessages);
}

void ipm_MessageTransmit::readCommandLine() {
    const utl_CommandLine& commandLine = thr_GlobalSingleton<utl_CommandLine>::Instance();
    if (!commandLine.IsMember("job"))
        return;
    jobName = commandLine.ConstGetValue("job");
    enabled.store(commandLine.IsMember("message") &&
                  commandLine.ConstGetValue("message") != "NONE");
}

void ipm_MessageTransmit::SetMechanism(ipm_TransmissionMechanism* newMechanism) {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    if (newMechanism != mechanism.load()) {
        delete mechanism.exchange(newMechanism);
        mechanismReady.store(false);
    }
    if (newMechanism)
        newMechanism->SetJobName(jobName);
}

void ipm_MessageTransmit::openMessageFile() {
    const cow_String directory =
        thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("indir");
    logFile.Open(QORBasUtlFilePath(jobName + ".ipm", directory).AbsolutePathName());
}

bool ipm_MessageTransmit::InitializeMechanism() {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    ipm_TransmissionMechanism* transportInUse = mechanism.load();
    if (transportInUse == nullptr)
        return false;
    if (logToFile && !logFile.IsOpen())
        openMessageFile();
    const bool ready = transportInUse->Initialize();
    mechanismReady.store(ready);
    if (ready)
        finished.store(false);
    return ready;
}

cow_String ipm_MessageTransmit::Encode(const char* type, const char* format, const int* integers,
                                       const double* reals, const char* const* texts,
                                       bool started) const {
    ipm_TransmissionMechanism* encoder = mechanism.load();
    if (!enabled.load() || encoder == nullptr)
        return cow_String();
    return encoder->Encode(type, format, integers, reals, texts, started);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& encoded, const cow_String& type,
                                        bool force) {
    if (!enabled.load())
        return;
    if (!mechanismReady.load() && !initializeMechanismKeeping(encoded)) {
        enabled.store(false);
        return;
    }
    if (logToFile)
        logFile.Append(encoded);
    if (disabled.load())
        return;
    if (type == "Error" && !countAgainstCap(errorCount, maxErrorMessages, force))
        return;
    if (type == "Warning" && !countAgainstCap(warningCount, maxWarningMessages, force))
        return;
    buffer.Append(encoded);
    hasMessages.store(true);
}

// A transport that raises while initialising (an unreachable server) is tried again by
// the next report; the message file is open by then and still records this one.
bool ipm_MessageTransmit::initializeMechanismKeeping(const cow_String& encoded) {
    try {
        return InitializeMechanism();
    } catch (...) {
        if (logToFile)
            logFile.Append(encoded);
        throw;
    }
}

void ipm_MessageTransmit::ClearMessageBuffer() {
    buffer = cow_List<cow_String>(cow_ListSized, expectedBufferedReports);
    hasMessages.store(false);
}

cow_List<cow_String> ipm_MessageTransmit::GetMessageBuffer() const {
    return buffer;
}

void ipm_MessageTransmit::TransmitMessage(const cow_String& encoded) {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    if (ipm_TransmissionMechanism* transportInUse = mechanism.load())
        transportInUse->Transmit(encoded);
}

void ipm_MessageTransmit::PollMechanism() {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    ipm_TransmissionMechanism* transportInUse = mechanism.load();
    if (transportInUse && mechanismReady.load())
        transportInUse->Poll();
}

void ipm_MessageTransmit::CloseMechanism() {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    if (ipm_TransmissionMechanism* transportInUse = mechanism.load())
        transportInUse->Close();
}

void ipm_MessageTransmit::SetPhase(const cow_String& newPhase) {
    thr_LockGuard<thr_Mutex> guard(phaseLock);
    phase = newPhase;
}

cow_String ipm_MessageTransmit::GetPhase() const {
    thr_LockGuard<thr_Mutex> guard(phaseLock);
    return phase;
}

bool ipm_MessageTransmit::ClaimErrorNotice() {
    if (errorNoticeClaimed || errorCount.load() != maxErrorMessages)
        return false;
    errorNoticeClaimed = true;
    return true;
}

bool ipm_MessageTransmit::ClaimWarningNotice() {
    if (warningNoticeClaimed || warningCount.load() != maxWarningMessages)
        return false;
    warningNoticeClaimed = true;
    return true;
}
