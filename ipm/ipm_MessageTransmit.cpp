#include "ipm/ipm_MessageTransmit.h"

#include "base/QORBasUtlFilePath.h"
#include "base/thr_GlobalSingletonImpl.h"
#include "base/thr_LockGuard.h"
#include "base/utl_CommandLine.h"
#include "csp/impl/csp_ConnectableSocket.h"
#include "ipm/ipm_EnvironmentSetting.h"
#include "ipm/ipm_ForkSafety.h"
#include "ipm/ipm_MisspeltOptions.h"
#include "ipm/ipm_PayloadEncoder.h"
#include "ipm/ipm_TaskRegistry.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "ipm/ipm_Warning.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

QORKEL_INSTANTIATE_GLOBAL_SINGLETON(ipm_MessageTransmit);

namespace {

const int defaultMaxErrorMessages = 50;
const int defaultMaxWarningMessages = 200;
const int defaultMaxPendingMessages = 1000;
const int longestJobName = 200;
const int defaultShutdownSeconds = 30;
// The longest a direct report waits for a transport that another call is using.
const std::chrono::milliseconds longestDirectWait(250);

typedef ipm_MessageTransmit::Clock Clock;

std::atomic<unsigned long> lastGeneration{0};

int capFromEnvironment(const char* name, int defaultCap) {
    return ipm_EnvironmentSetting::Read(name, 1, ipm_MessageTransmit::longestCap, defaultCap);
}

int backlogBoundFromEnvironment() {
    return ipm_EnvironmentSetting::Read(
        "MAX_PENDING_MESSAGES", 1, ipm_MessageTransmit::longestBacklog, defaultMaxPendingMessages);
}

// IPM_SHUTDOWN_SECONDS: how long a stop lets the message task deliver what waits; 0 does not
// wait.
int shutdownSeconds() {
    return ipm_EnvironmentSetting::Read("IPM_SHUTDOWN_SECONDS", 0,
                                        ipm_MessageTransmit::longestShutdownSeconds,
                                        defaultShutdownSeconds);
}

// Transports a forked child inherited: reachable, so that nothing reads them as leaked, and
// never destroyed, since destroying one may end the parent's connection.
struct InheritedTransport {
    ipm_TransmissionMechanism* transport;
    InheritedTransport* next;
};
InheritedTransport* inheritedTransports = nullptr;

// Counts a capped report type; false when the report is over its cap and not forced.
bool countAgainstCap(std::atomic<int>& count, int cap, bool force) {
    return count.fetch_add(1) + 1 <= cap || force;
}

// The job name becomes a file name inside indir: nothing in it may lead out of indir or
// name something else than a file there (a drive, a stream).
bool isPlainFileName(const cow_String& name) {
    if (name.IsEmpty() || name.length() > longestJobName || name == "." || name == "..")
        return false;
    for (int i = 0; i < name.length(); ++i) {
        const unsigned char character = static_cast<unsigned char>(name[i]);
        if (character == '/' || character == '\\' || character == ':' || character < 0x20)
            return false;
    }
    return true;
}

// Reports made before the host installs a transport are still recorded and queued; this
// variant escapes what either transport escapes and keeps every text well-formed, so that
// both can carry its payloads.
const ipm_PayloadEncoder& encoderWithoutTransport() {
    static const char* const escapedKeys[] = {"heading", "stepName", "message", "file"};
    static const ipm_PayloadEncoder encoder(escapedKeys, 4, ipm_PayloadEncoder::RealsClampedToFloat,
                                            ipm_PayloadEncoder::TextsWellFormed);
    return encoder;
}

} // namespace

ipm_MessageTransmit::ipm_MessageTransmit()
    : mechanism(nullptr), enabled(false), optionVerdict(noJobOption),
      maxErrorMessages(defaultMaxErrorMessages), maxWarningMessages(defaultMaxWarningMessages),
      maxPendingMessages(defaultMaxPendingMessages), errorCount(0), warningCount(0),
      mechanismReady(false), finished(true), jobName("Unknown"),
      backlog(backlogBoundFromEnvironment()), hasMessages(false), stopRequested(false),
      stopAfter(0), stopDeadline(0), abandoned(false), inheritedByFork(false),
      inheritedTransport(nullptr), logToFile(true), disabled(false), bufferLock(0),
      mechanismLock(0), phaseLock(0), errorNoticeClaimed(false), warningNoticeClaimed(false),
      tasksRunning(0), connectionAttempts(0), directCallersWaiting(0),
      generation(++lastGeneration) {
    ipm_ForkSafety::Install();
    readSettings();
    readCommandLine();
    ipm_TaskRegistry::Open(generation);
}

ipm_MessageTransmit::~ipm_MessageTransmit() {
    RequestStop();
    if (ipm_TaskRegistry::Close(generation))
        Abandon();
    ipm_TaskRegistry::WaitForRunningTasks(generation);
    ipm_TransmissionMechanism* const transport = mechanism.exchange(nullptr);
    if (transport != inheritedTransport)
        delete transport;
}

void ipm_MessageTransmit::keepInherited(ipm_TransmissionMechanism* transport) {
    if (transport != nullptr)
        inheritedTransports = new InheritedTransport{transport, inheritedTransports};
}

ipm_MessageTransmit& ipm_MessageTransmit::Instance() {
    return thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
}

void ipm_MessageTransmit::readSettings() {
    maxErrorMessages = capFromEnvironment("MAX_ERROR_MESSAGES", defaultMaxErrorMessages);
    maxWarningMessages = capFromEnvironment("MAX_WARNING_MESSAGES", defaultMaxWarningMessages);
    maxPendingMessages = backlog.GetBound();
}

void ipm_MessageTransmit::readCommandLine() {
    const utl_CommandLine& commandLine = thr_GlobalSingleton<utl_CommandLine>::Instance();
    ipm_MisspeltOptions::Tell(commandLine, generation);
    if (!commandLine.IsMember("job")) {
        optionVerdict.store(noJobOption);
        return;
    }
    jobName = commandLine.ConstGetValue("job");
    if (!commandLine.IsMember("message")) {
        optionVerdict.store(noMessageOption);
        return;
    }
    if (commandLine.ConstGetValue("message") == "NONE") {
        optionVerdict.store(messageNone);
        return;
    }
    if (!isPlainFileName(jobName)) {
        ipm_warn("-job " + ipm_shown(jobName) +
                 " is not a plain file name (1 to 200 characters, no path separator, no ':', "
                 "not \".\" or \"..\"): reporting is off");
        optionVerdict.store(jobNotAFileName);
        return;
    }
    optionVerdict.store(reportingOn);
    // Last: a reporting thread that finds reporting on reads the job name set above.
    enabled.store(true);
}

// While reporting is off nothing reads the job name: Encode and BufferMessage return at once.
void ipm_MessageTransmit::ReadCommandLineAgain() {
    if (!enabled.load())
        readCommandLine();
}

void ipm_MessageTransmit::SetMechanism(ipm_TransmissionMechanism* newMechanism) {
    if (newMechanism) {
        newMechanism->SetJobName(jobName);
        newMechanism->transmitter = this;
    }
    if (inheritedByFork.load()) {
        replaceInForkedChild(newMechanism);
        return;
    }
    std::lock_guard<std::mutex> oneAtATime(replaceLock);
    ipm_TransmissionMechanism* const old = mechanism.load();
    if (old == newMechanism)
        return;
    // A call blocked in the old transport would otherwise hold the transport lock, and this
    // caller with it, until the network answers.
    if (old)
        old->Interrupt();
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    {
        std::unique_lock<std::shared_mutex> swap(swapLock);
        mechanism.store(newMechanism);
    }
    mechanismReady.store(false);
    delete old;
}

// The transport lock may have been held at the fork by a thread the child does not have; a
// child never takes it, and gives its transport nothing to do.
void ipm_MessageTransmit::replaceInForkedChild(ipm_TransmissionMechanism* newMechanism) {
    ipm_TransmissionMechanism* old;
    {
        std::unique_lock<std::shared_mutex> swap(swapLock);
        old = mechanism.exchange(newMechanism);
    }
    if (old != newMechanism && old != inheritedTransport)
        delete old;
}

bool ipm_MessageTransmit::InitializeMechanism() {
    if (inheritedByFork.load())
        return false;
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    ipm_TransmissionMechanism* const transportInUse = mechanism.load();
    if (transportInUse == nullptr)
        return false;
    mechanismReady.store(false);
    struct CountAttempt {
        std::atomic<int>& attempts;
        ~CountAttempt() { attempts.fetch_add(1); }
    } counted{connectionAttempts};
    transportInUse->failureCause = cow_String();
    const bool ready = transportInUse->Initialize();
    mechanismReady.store(ready);
    return ready;
}

cow_String ipm_MessageTransmit::GetDestination() {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    const ipm_TransmissionMechanism* const transportInUse = mechanism.load();
    return transportInUse ? transportInUse->Destination() : cow_String();
}

cow_String ipm_MessageTransmit::GetFailureCause() {
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    const ipm_TransmissionMechanism* const transportInUse = mechanism.load();
    return transportInUse ? transportInUse->GetFailureCause() : cow_String();
}

cow_String ipm_MessageTransmit::Encode(const char* type, const char* format, const int* integers,
                                       const double* reals, const char* const* texts,
                                       bool started) const {
    if (!enabled.load())
        return cow_String();
    std::shared_lock<std::shared_mutex> inUse(swapLock);
    if (const ipm_TransmissionMechanism* encoder = mechanism.load())
        return encoder->Encode(type, format, integers, reals, texts, started);
    // The encoders update the phase, which is guarded by its own lock.
    return encoderWithoutTransport().Encode(const_cast<ipm_MessageTransmit&>(*this), jobName, type,
                                            format, integers, reals, texts, started);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& encoded, const cow_String& type,
                                        bool force) {
    BufferMessage(encoded, type.c_str(), force);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& encoded, const char* type, bool force) {
    if (!enabled.load())
        return;
    if (logToFile)
        logReport(encoded);
    if (disabled.load())
        return;
    const bool error = type != nullptr && std::strcmp(type, "Error") == 0;
    const bool warning = type != nullptr && std::strcmp(type, "Warning") == 0;
    if (error && !countAgainstCap(errorCount, maxErrorMessages, force))
        return;
    if (warning && !countAgainstCap(warningCount, maxWarningMessages, force))
        return;
    backlog.Append(encoded, force || error || warning);
    hasMessages.store(true);
}

bool ipm_MessageTransmit::OpenMessageFile() {
    if (!enabled.load() || !logToFile)
        return false;
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return openMessageFile();
}

// Called with bufferLock held.
bool ipm_MessageTransmit::openMessageFile() {
    if (logFile.IsOpen())
        return true;
    const cow_String directory =
        thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("indir");
    return logFile.Open(QORBasUtlFilePath(jobName + ".ipm", directory).AbsolutePathName(),
                        disabled.load() ? "the reports are neither recorded nor delivered"
                                        : "the reports are delivered but not recorded");
}

// Opened on first use, and tried again by later reports while it cannot be opened.
void ipm_MessageTransmit::logReport(const cow_String& encoded) {
    openMessageFile();
    logFile.Append(encoded);
}

void ipm_MessageTransmit::ClearMessageBuffer() {
    backlog.Clear();
    hasMessages.store(false);
}

cow_List<cow_String> ipm_MessageTransmit::GetMessageBuffer() const {
    return backlog.Waiting();
}

bool ipm_MessageTransmit::TakeNextMessage(cow_String& report) {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    const bool taken = backlog.TakeOldest(report);
    hasMessages.store(!backlog.IsEmpty());
    return taken;
}

void ipm_MessageTransmit::MessageDelivered() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    backlog.Delivered();
}

void ipm_MessageTransmit::ReturnMessage() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    backlog.PutBack();
    hasMessages.store(!backlog.IsEmpty());
}

template <class Call> void ipm_MessageTransmit::onTransport(Call call) {
    ipm_TransmissionMechanism* const transportInUse = mechanism.load();
    if (transportInUse == nullptr)
        return;
    try {
        call(*transportInUse);
    } catch (...) {
        mechanismReady.store(false);
        throw;
    }
}

void ipm_MessageTransmit::TransmitMessage(const cow_String& encoded) {
    if (inheritedByFork.load())
        return;
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    onTransport([&](ipm_TransmissionMechanism& t) { t.Transmit(encoded); });
}

// The transport is held for long only by a write that makes no progress (until it gives
// up); the caller's thread does not queue behind that.
bool ipm_MessageTransmit::lockTransportForCaller(Clock::time_point callDeadline) {
    const Clock::time_point deadline = std::min(Clock::now() + longestDirectWait, callDeadline);
    directCallersWaiting.fetch_add(1);
    bool locked;
    while (!(locked = mechanismLock.TryLock()) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    directCallersWaiting.fetch_sub(1);
    return locked;
}

bool ipm_MessageTransmit::TransmitIfReady(const cow_String& encoded, Clock::time_point deadline) {
    if (inheritedByFork.load() || !mechanismReady.load() || !lockTransportForCaller(deadline))
        return false;
    struct Release {
        thr_Mutex& lock;
        ~Release() { lock.Unlock(); }
    } transport{mechanismLock};
    if (!mechanismReady.load() || mechanism.load() == nullptr)
        return false;
    const csp_ConnectableSocket::WriteDeadline bounded(deadline);
    onTransport([&](ipm_TransmissionMechanism& t) { t.Transmit(encoded); });
    return true;
}

// The message task polls almost without a pause while it delivers; a reporting thread
// that waits for the transport gets it first instead of waiting for a gap.
void ipm_MessageTransmit::letDirectCallersGoFirst() const {
    for (int i = 0; i < 20 && directCallersWaiting.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ipm_MessageTransmit::PollMechanism() {
    if (inheritedByFork.load())
        return;
    letDirectCallersGoFirst();
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    if (mechanismReady.load())
        onTransport([](ipm_TransmissionMechanism& t) { t.Poll(); });
}

void ipm_MessageTransmit::CloseMechanism() {
    if (inheritedByFork.load())
        return;
    thr_LockGuard<thr_Mutex> transport(mechanismLock);
    if (ipm_TransmissionMechanism* transportInUse = mechanism.load()) {
        mechanismReady.store(false);
        transportInUse->Close();
    }
}

void ipm_MessageTransmit::RequestStop() {
    requestStopBy(Clock::now() + std::chrono::seconds(shutdownSeconds()));
}

// The task reads the flag without the lock, and then the deadline: the flag comes last.
void ipm_MessageTransmit::requestStopBy(Clock::time_point deadline) {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    if (stopRequested.load())
        return;
    stopAfter = backlog.LastAppended();
    stopDeadline.store(deadline.time_since_epoch().count());
    stopRequested.store(true);
}

Clock::time_point ipm_MessageTransmit::getStopDeadline() const {
    return Clock::time_point(Clock::duration(stopDeadline.load()));
}

bool ipm_MessageTransmit::IsStopDeadlinePassed() const {
    return stopRequested.load() && Clock::now() >= getStopDeadline();
}

bool ipm_MessageTransmit::WaitsForStop() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return backlog.HoldsAnyUpTo(stopAfter);
}

bool ipm_MessageTransmit::StopDelivery() {
    RequestStop();
    if (ipm_TaskRegistry::WaitUntilIdle(generation, getStopDeadline()))
        return true;
    Abandon();
    return false;
}

void ipm_MessageTransmit::Abandon() {
    abandoned.store(true);
    // Interrupting the inherited transport would shut the parent's connection down.
    if (inheritedByFork.load())
        return;
    std::lock_guard<std::mutex> noReplacement(replaceLock);
    if (ipm_TransmissionMechanism* transportInUse = mechanism.load())
        transportInUse->Interrupt();
}

void ipm_MessageTransmit::SetPhase(const cow_String& newPhase) {
    thr_LockGuard<thr_Mutex> guard(phaseLock);
    phase = newPhase;
}

void ipm_MessageTransmit::SetPhase(const char* newPhase) {
    thr_LockGuard<thr_Mutex> guard(phaseLock);
    if (phase != newPhase)
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

int ipm_MessageTransmit::GetPendingCount() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return backlog.Pending();
}

int ipm_MessageTransmit::GetUndeliveredCount() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return backlog.GetDropped();
}

void ipm_MessageTransmit::UndeliveredTold(int count) {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    backlog.ForgetDropped(count);
}

int ipm_MessageTransmit::GetUnloggedCount() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return logFile.GetFailedAppends();
}

cow_String ipm_MessageTransmit::GetMessageFilePath() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return logFile.GetPath();
}

bool ipm_MessageTransmit::IsMessageFileOpen() {
    thr_LockGuard<thr_Mutex> lock(bufferLock);
    return logFile.IsOpen();
}

void ipm_MessageTransmit::HoldForFork() {
    swapLock.lock();
    phaseLock.Lock();
    bufferLock.Lock();
}

void ipm_MessageTransmit::ReleaseAfterFork() {
    bufferLock.Unlock();
    phaseLock.Unlock();
    swapLock.unlock();
}

// The only thread here is the one that forked. Nothing in the child may take the transport
// lock, which the parent's message task may have held at the fork.
void ipm_MessageTransmit::ContinueInForkedChild() {
    inheritedByFork.store(true);
    mechanismReady.store(false);
    disabled.store(true);
    backlog.Clear();
    hasMessages.store(false);
    tasksRunning.store(0);
    finished.store(true);
    inheritedTransport = mechanism.load();
    if (inheritedTransport != nullptr) {
        inheritedTransport->ForgetInheritedConnection();
        keepInherited(inheritedTransport);
    }
    bufferLock.Unlock();
    phaseLock.Unlock();
    // A read-write lock answers only to the thread that holds it for writing, and the child's
    // thread has another identity: the child starts it afresh, held by nobody.
    new (&swapLock) std::shared_mutex;
}
