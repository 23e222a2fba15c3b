#include "ipm/ipm_TransportSlot.h"

#include "csp/impl/csp_ConnectableSocket.h"
#include "ipm/ipm_TransmissionMechanism.h"

#include <algorithm>
#include <new>

namespace {

typedef std::unique_lock<std::mutex> Held;

// The longest a reporting thread waits for a transport that another call is using.
const std::chrono::milliseconds longestDirectWait(250);
// The message task polls almost without a pause while it delivers; a reporting thread that
// waits for the transport gets it first, instead of waiting for a gap.
const std::chrono::milliseconds longestTaskCourtesy(20);

// Reports made before the host installs a transport are still recorded and queued; this
// variant escapes what either transport escapes and keeps every text well-formed.
const ipm_PayloadEncoder& variantWithoutTransport() {
    static const char* const escapedKeys[] = {"heading", "stepName", "message", "file"};
    static const ipm_PayloadEncoder variant(escapedKeys, 4, ipm_PayloadEncoder::RealsClampedToFloat,
                                            ipm_PayloadEncoder::TextsWellFormed);
    return variant;
}

ipm_PayloadEncoder variantOf(const ipm_TransmissionMechanism* transport) {
    return transport ? transport->PayloadVariant() : variantWithoutTransport();
}

// Transports a forked child inherited: reachable, so that nothing reads them as leaked, and
// never destroyed, since destroying one may end the parent's connection.
struct InheritedTransport {
    ipm_TransmissionMechanism* transport;
    InheritedTransport* next;
};
InheritedTransport* inheritedTransports = nullptr;

void keepInherited(ipm_TransmissionMechanism* transport) {
    inheritedTransports = new InheritedTransport{transport, inheritedTransports};
}

} // namespace

// The transport for one call: waits until no other call runs on it and holds it until the
// call is over; the slot's lock is let go in between.
class ipm_TransportSlot::Turn {
public:
    // Taken at once, for a caller that has waited itself.
    Turn(ipm_TransportSlot& slot, Held& held) : slot(slot) {
        slot.busy = true;
        held.unlock();
    }
    ~Turn() {
        {
            std::lock_guard<std::mutex> guard(slot.lock);
            slot.busy = false;
        }
        slot.changed.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    static void WaitFor(ipm_TransportSlot& slot, Held& held) {
        slot.changed.wait(held, [&] { return !slot.busy; });
    }

private:
    ipm_TransportSlot& slot;
};

ipm_TransportSlot::ipm_TransportSlot()
    : transport(nullptr), inherited(nullptr), variant(variantWithoutTransport()), ready(false),
      busy(false), directCallersWaiting(0), attempts(0), inheritedByFork(false) {}

ipm_TransportSlot::~ipm_TransportSlot() {
    if (transport != inherited)
        delete transport;
}

void ipm_TransportSlot::Replace(ipm_TransmissionMechanism* incoming) {
    Held held(lock);
    if (inheritedByFork) {
        replaceInForkedChild(held, incoming);
        return;
    }
    for (;;) {
        ipm_TransmissionMechanism* const old = transport;
        if (old == incoming)
            return;
        // A call blocked in the old transport would otherwise keep the slot, and this caller
        // with it, until the network answers.
        if (old)
            old->Interrupt();
        Turn::WaitFor(*this, held);
        // Another replacement came first: its transport is the one to replace now.
        if (transport != old)
            continue;
        transport = incoming;
        variant = variantOf(incoming);
        ready = false;
        // Nothing runs on the new transport until the old one is gone.
        const Turn turn(*this, held);
        delete old;
        return;
    }
}

void ipm_TransportSlot::replaceInForkedChild(Held& held, ipm_TransmissionMechanism* incoming) {
    ipm_TransmissionMechanism* const old = transport;
    transport = incoming;
    variant = variantOf(incoming);
    held.unlock();
    if (old != incoming && old != inherited)
        delete old;
}

template <class Call> void ipm_TransportSlot::run(ipm_TransmissionMechanism& on, Call call) {
    try {
        call(on);
    } catch (...) {
        locked([&] { ready = false; });
        throw;
    }
}

bool ipm_TransportSlot::Initialize() {
    Held held(lock);
    if (inheritedByFork)
        return false;
    Turn::WaitFor(*this, held);
    ipm_TransmissionMechanism* const current = transport;
    if (current == nullptr)
        return false;
    ready = false;
    const Turn turn(*this, held);
    // Counted once the attempt is over, however it ends, and before the turn is let go.
    struct CountAttempt {
        ipm_TransportSlot& slot;
        bool result = false;
        ~CountAttempt() {
            std::lock_guard<std::mutex> guard(slot.lock);
            slot.ready = result;
            ++slot.attempts;
        }
    } attempt{*this};
    current->failureCause = cow_String();
    attempt.result = current->Initialize();
    return attempt.result;
}

void ipm_TransportSlot::Transmit(const cow_String& payload) {
    Held held(lock);
    if (inheritedByFork)
        return;
    Turn::WaitFor(*this, held);
    ipm_TransmissionMechanism* const current = transport;
    if (current == nullptr)
        return;
    const Turn turn(*this, held);
    run(*current, [&](ipm_TransmissionMechanism& t) { t.Transmit(payload); });
}

// The transport is held for long only by a write that makes no progress (until it gives up);
// the reporting thread does not queue behind that.
bool ipm_TransportSlot::TransmitWithin(const cow_String& payload, Clock::time_point deadline) {
    Held held(lock);
    if (inheritedByFork || !ready)
        return false;
    ++directCallersWaiting;
    const bool free = changed.wait_until(held, std::min(Clock::now() + longestDirectWait, deadline),
                                         [&] { return !busy; });
    --directCallersWaiting;
    changed.notify_all();
    ipm_TransmissionMechanism* const current = transport;
    if (!free || !ready || current == nullptr)
        return false;
    const Turn turn(*this, held);
    const csp_ConnectableSocket::WriteDeadline bounded(deadline);
    run(*current, [&](ipm_TransmissionMechanism& t) { t.Transmit(payload); });
    return true;
}

void ipm_TransportSlot::Poll(ipm_Clock& clock) {
    Held held(lock);
    if (inheritedByFork)
        return;
    changed.wait_for(held, longestTaskCourtesy, [&] { return directCallersWaiting == 0; });
    Turn::WaitFor(*this, held);
    ipm_TransmissionMechanism* const current = transport;
    if (!ready || current == nullptr)
        return;
    const Turn turn(*this, held);
    run(*current, [&](ipm_TransmissionMechanism& t) {
        t.deliveryClock = &clock;
        t.Poll();
    });
}

void ipm_TransportSlot::Close() {
    Held held(lock);
    if (inheritedByFork)
        return;
    Turn::WaitFor(*this, held);
    ipm_TransmissionMechanism* const current = transport;
    if (current == nullptr)
        return;
    ready = false;
    const Turn turn(*this, held);
    current->Close();
}

void ipm_TransportSlot::Interrupt() {
    std::lock_guard<std::mutex> guard(lock);
    // Interrupting the inherited transport would shut the parent's connection down.
    if (!inheritedByFork && transport != nullptr)
        transport->Interrupt();
}

// A child's one thread may find the turn taken by a thread of the parent: it reads without it.
cow_String ipm_TransportSlot::GetDestination() {
    Held held(lock);
    if (!inheritedByFork)
        Turn::WaitFor(*this, held);
    return transport ? transport->Destination() : cow_String();
}

cow_String ipm_TransportSlot::GetFailureCause() {
    Held held(lock);
    if (!inheritedByFork)
        Turn::WaitFor(*this, held);
    return transport ? transport->GetFailureCause() : cow_String();
}

// The child's only thread is the one that forked, and it holds the lock. Threads of the parent
// may have waited on the condition: the child starts it afresh.
void ipm_TransportSlot::ContinueInForkedChild() {
    inheritedByFork = true;
    ready = false;
    inherited = transport;
    if (inherited != nullptr) {
        inherited->ForgetInheritedConnection();
        keepInherited(inherited);
    }
    new (&changed) std::condition_variable;
    lock.unlock();
}
