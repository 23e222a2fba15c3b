#include "ipm/ipm_startReporting.h"

#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_DeliveryThread.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_ForkSafety.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_Modules.h"
#include "ipm/ipm_Warning.h"
#include "platform/platform_Thread.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

// What ipm_startReporting brought up, for ipm_stopReporting to take down.
struct Session {
    std::mutex mutex;
    bool up = false;
    int moduleCount = 0;
    ipm_DeliveryThread* delivery = nullptr;
    // The process the delivery thread runs in (see ipm_ForkSafety::ProcessNumber).
    unsigned long deliveryProcess = 0;
    // Delivery threads of a parent, which a forked child has not got: never joined, and kept
    // in reach so that nothing reads them as leaked.
    std::vector<ipm_DeliveryThread*> inheritedDeliveries;
    bool exitHandlerRegistered = false;
    std::atomic<int> answer{IPM_REPORTING_OFF};
};

// Never destroyed: the exit handler may run after the library's statics are gone.
Session& session() {
    static Session* const instance = new Session;
    return *instance;
}

utl_CommandLine& commandLine() {
    return thr_GlobalSingleton<utl_CommandLine>::Instance();
}

// Never raises: it is the last word of a call that must not let anything escape.
void tellQuietly(const char* text) {
    try {
        ipm_warn(text);
    } catch (...) {
    }
}

// A job name that is not a file name has been told by the transmitter already.
void tellWhyOff(ipm_MessageTransmit::OptionVerdict verdict) {
    switch (verdict) {
    case ipm_MessageTransmit::noJobOption:
        ipm_warn("no -job option: reporting is off (-job NAME names the job and its message "
                 "file)");
        break;
    case ipm_MessageTransmit::noMessageOption:
        ipm_warn("no -message option: reporting is off (-message on switches it on)");
        break;
    case ipm_MessageTransmit::messageNone:
        ipm_warn("-message NONE: reporting is off");
        break;
    default:
        break;
    }
}

// The transport the options ask for: Jabber before direct, none without either. Null, with
// `asked` set, when the option that chose it is not valid (which it has said).
ipm_TransmissionMechanism* chooseTransport(bool& asked) {
    const bool jabber = commandLine().IsMember("msgserver");
    const bool direct = commandLine().IsMember("direct_port");
    asked = jabber || direct;
    int port = 0;
    if (jabber) {
        if (direct)
            ipm_warn("both -msgserver and -direct_port given: reports go through the Jabber "
                     "server, -direct_port is ignored");
        cow_String host;
        return ipm_JabberMechanism::ServerOption(host, port, true) ? new ipm_JabberMechanism
                                                                   : nullptr;
    }
    if (direct)
        return ipm_DirectMechanism::ListenerPort(port, true) ? new ipm_DirectMechanism : nullptr;
    return nullptr;
}

int answerFor(bool recording, bool transportAsked, bool delivering) {
    if (!recording)
        return delivering ? IPM_RECORDING_OFF : IPM_REPORTING_OFF;
    return transportAsked && !delivering ? IPM_DELIVERY_OFF : IPM_REPORTING_ON;
}

// Nothing is delivered without a transport; reports are then recorded only, not queued.
int bringUp(Session& s, bool optionsGiven) {
    // One made now has read the options given; one that an earlier report made has not.
    const bool madeEarlier = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance() != nullptr;
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    if (optionsGiven && madeEarlier)
        transmitter.ReadCommandLineAgain();
    if (!transmitter.IsEnabled()) {
        tellWhyOff(transmitter.GetOptionVerdict());
        return IPM_REPORTING_OFF;
    }
    bool transportAsked = false;
    ipm_TransmissionMechanism* const transport = chooseTransport(transportAsked);
    if (transport != nullptr)
        transmitter.SetMechanism(transport);
    else
        transmitter.Disable();
    const bool recording = transmitter.OpenMessageFile();
    if (transport != nullptr) {
        s.deliveryProcess = ipm_ForkSafety::ProcessNumber();
        s.delivery = ipm_DeliveryThread::Start();
        if (s.delivery == nullptr) {
            ipm_warn("cannot start the library's delivery thread: reports are not delivered");
            transmitter.Disable();
        }
    }
    return answerFor(recording, transportAsked, s.delivery != nullptr);
}

// In a forked child the delivery thread is the parent's: there is nothing to stop or join.
void forgetInheritedDelivery(Session& s) {
    if (s.delivery == nullptr || s.deliveryProcess == ipm_ForkSafety::ProcessNumber())
        return;
    s.inheritedDeliveries.push_back(s.delivery);
    s.delivery = nullptr;
}

// Over Jabber the monitor learns at once that the job has gone; a direct connection is
// shut down in order.
void sayGoodbye(ipm_MessageTransmit& transmitter) {
    if (!transmitter.IsMechanismReady())
        return;
    try {
        transmitter.CloseMechanism();
    } catch (...) {
    }
}

// A job that leaves by exit() without stopping still delivers what waited when exit began,
// within the deadline, wherever the library may wait for its thread at exit. Other threads of
// the job may go on reporting until the process ends, so nothing they use is taken down: their
// reports are recorded, not delivered, and not waited for.
void leaveAtExit() {
    if (!platform_thread::exitHandlersMayWait() || ipm_DeliveryThread::IsCurrent())
        return;
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    forgetInheritedDelivery(s);
    if (!s.up || s.delivery == nullptr)
        return;
    ipm_MessageTransmit* const transmitter =
        thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
    if (transmitter != nullptr)
        transmitter->StopDelivery();
    delete s.delivery;
    s.delivery = nullptr;
    if (transmitter == nullptr)
        return;
    transmitter->Disable();
    sayGoodbye(*transmitter);
    // Closes the connection; a report encoded meanwhile holds the transport until it is done.
    transmitter->SetMechanism(nullptr);
}

// Nothing may escape a handler that exit() runs.
void stopAtExit() {
    try {
        leaveAtExit();
    } catch (...) {
    }
}

int startReporting(int argc, const char* const* argv) {
    Session& s = session();
    // The kill handler runs on the delivery thread, which a stop in progress waits for.
    if (ipm_DeliveryThread::IsCurrent())
        return s.answer.load();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.up)
        return s.answer.load();
    const bool optionsGiven = argc > 0 && argv != nullptr;
    if (optionsGiven)
        commandLine().Set(argc, argv);
    QORKelCommunications_initialize(s.moduleCount);
    s.up = true;
    s.answer.store(IPM_START_FAILED);
    // Registered after what start-up makes, so that at exit the handler runs before those
    // objects are destroyed.
    struct RegisterExitHandlerLast {
        Session& s;
        ~RegisterExitHandlerLast() {
            if (!s.exitHandlerRegistered)
                s.exitHandlerRegistered = std::atexit(stopAtExit) == 0;
        }
    } registration{s};
    s.answer.store(bringUp(s, optionsGiven));
    return s.answer.load();
}

void stopReporting() {
    if (ipm_DeliveryThread::IsCurrent())
        return;
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.mutex);
    forgetInheritedDelivery(s);
    if (!s.up)
        return;
    if (s.delivery != nullptr) {
        ipm_MessageTransmit* transmitter = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
        if (transmitter != nullptr)
            transmitter->StopDelivery();
        delete s.delivery;
        s.delivery = nullptr;
        if (transmitter != nullptr)
            sayGoodbye(*transmitter);
    }
    QORKelCommunications_finalize(s.moduleCount);
    s.up = false;
}

} // namespace

// C and Fortran hosts cannot catch an exception: every failure stops here.
int ipm_startReporting(int argc, const char* const* argv) {
    try {
        return startReporting(argc, argv);
    } catch (...) {
        tellQuietly("reporting could not be started completely (out of memory?)");
        return IPM_START_FAILED;
    }
}

void ipm_stopReporting(void) {
    try {
        stopReporting();
    } catch (...) {
    }
}

int ipm_killRequested(void) {
    return eli_getkillsig() ? 1 : 0;
}
