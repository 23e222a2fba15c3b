#include "ipm/ipm_MessageTransmit.h"

#include "base/QORBasUtlFilePath.h"
#include "base/thr_GlobalSingletonImpl.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_EnvironmentSetting.h"
#include "ipm/ipm_ForkSafety.h"
#include "ipm/ipm_MisspeltOptions.h"
#include "ipm/ipm_TaskRegistry.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "ipm/ipm_Warning.h"

QORKEL_INSTANTIATE_GLOBAL_SINGLETON(ipm_MessageTransmit);

namespace {

const int defaultMaxErrorMessages = 50;
const int defaultMaxWarningMessages = 200;
const int defaultMaxPendingMessages = 1000;
const int longestJobName = 200;
const int defaultShutdownSeconds = 30;

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

} // namespace

ipm_MessageTransmit::ipm_MessageTransmit()
    : enabled(false), optionVerdict(noJobOption), finished(true), tasksRunning(0),
      clock(&ipm_Clock::ForNewTransmitters()), jobName("Unknown"),
      recorder(capFromEnvironment("MAX_ERROR_MESSAGES", defaultMaxErrorMessages),
               capFromEnvironment("MAX_WARNING_MESSAGES", defaultMaxWarningMessages),
               backlogBoundFromEnvironment(), [this] { return messageFilePath(); }),
      generation(++lastGeneration) {
    ipm_ForkSafety::Install();
    readCommandLine();
    ipm_TaskRegistry::Open(generation);
}

ipm_MessageTransmit::~ipm_MessageTransmit() {
    RequestStop();
    if (ipm_TaskRegistry::Close(generation))
        Abandon();
    ipm_TaskRegistry::WaitForRunningTasks(generation);
}

ipm_MessageTransmit& ipm_MessageTransmit::Instance() {
    return thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
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

// Asked when the file is opened, which is once reporting is on.
cow_String ipm_MessageTransmit::messageFilePath() const {
    const cow_String directory =
        thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("indir");
    return QORBasUtlFilePath(jobName + ".ipm", directory).AbsolutePathName();
}

void ipm_MessageTransmit::SetMechanism(ipm_TransmissionMechanism* newMechanism) {
    if (newMechanism)
        newMechanism->SetJobName(jobName);
    transport.Replace(newMechanism);
}

cow_String ipm_MessageTransmit::Encode(const char* type, const char* format, const int* integers,
                                       const double* reals, const char* const* texts,
                                       bool started) const {
    if (!enabled.load())
        return cow_String();
    return transport.GetVariant().Encode(phase, jobName, type, format, integers, reals, texts,
                                         started);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& encoded, const cow_String& type,
                                        bool force) {
    BufferMessage(encoded, type.c_str(), force);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& encoded, const char* type, bool force) {
    if (enabled.load())
        recorder.Record(encoded, type, force);
}

ipm_MessageTransmit::DueNotices ipm_MessageTransmit::BufferReport(const cow_String& encoded,
                                                                  const char* type) {
    if (!enabled.load())
        return DueNotices{false, false};
    return recorder.RecordAndClaimNotices(encoded, type);
}

bool ipm_MessageTransmit::OpenMessageFile() {
    return enabled.load() && recorder.OpenMessageFile();
}

void ipm_MessageTransmit::RequestStop() {
    requestStopBy(GetClock().Now() + std::chrono::seconds(shutdownSeconds()));
}

// The task reads the request, and then which reports it waits for: these are marked first.
void ipm_MessageTransmit::requestStopBy(Clock::time_point deadline) {
    recorder.MarkStop();
    stop.Request(deadline, GetClock());
}

bool ipm_MessageTransmit::IsStopDeadlinePassed() const {
    return stop.IsDeadlinePassed(GetClock().Now());
}

void ipm_MessageTransmit::PauseDelivery(ipm_Clock::Duration duration) {
    ipm_Clock& delivery = GetClock();
    stop.Pause(delivery, delivery.Now() + duration);
}

bool ipm_MessageTransmit::StopDelivery() {
    RequestStop();
    // A task that ends as the deadline passes has given up on what it waited for: that is no
    // success, whichever of the two the waiter sees first.
    if (ipm_TaskRegistry::WaitUntilIdle(generation, stop.GetDeadline(), GetClock()))
        return !(IsStopDeadlinePassed() && WaitsForStop());
    Abandon();
    return false;
}

void ipm_MessageTransmit::Abandon() {
    stop.Abandon(GetClock());
    transport.Interrupt();
}

void ipm_MessageTransmit::HoldForFork() {
    stop.HoldForFork();
    transport.HoldForFork();
    recorder.HoldForFork();
    phase.HoldForFork();
}

void ipm_MessageTransmit::ReleaseAfterFork() {
    phase.ReleaseAfterFork();
    recorder.ReleaseAfterFork();
    transport.ReleaseAfterFork();
    stop.ReleaseAfterFork();
}

// The only thread here is the one that forked, and it holds every part's lock.
void ipm_MessageTransmit::ContinueInForkedChild() {
    tasksRunning.store(0);
    finished.store(true);
    phase.ReleaseAfterFork();
    recorder.ContinueInForkedChild();
    transport.ContinueInForkedChild();
    stop.ContinueInForkedChild();
}
