#include "csp/impl/csp_HostLookup.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

typedef std::chrono::steady_clock Clock;

// A resolver gives up by itself within a minute or so; this many lookups given up on and
// still waiting for it means the name service is down, and more threads would not bring it
// back.
const int mostAbandonedLookups = 8;
const int giveUpCheckMilliseconds = 20;

std::atomic<int> runningLookups{0};
std::atomic<int> abandonedLookups{0};
thread_local csp_HostLookup::GiveUpCheck giveUpCheck = nullptr;

// One lookup, handed from the worker that runs it to the thread that waits for it; whichever
// lets go last frees it.
struct Handover {
    std::function<const hostent*()> lookup;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    csp_HostLookup::Result result;
};

// Workers are kept for a while after a lookup, so that a host that looks up often does not
// start a thread each time; an idle one leaves after a few seconds, so that none outlive
// the library's use by long. Never destroyed: a worker may still wait on it at exit.
struct Pool {
    std::mutex mutex;
    std::condition_variable work;
    std::deque<std::shared_ptr<Handover>> queue;
    int idle = 0;
};

const std::chrono::seconds workerIdleLife(5);

Pool& pool() {
    static Pool* const instance = new Pool;
    return *instance;
}

// The platform's record lives in storage of the thread that looked up: copy it there.
csp_HostLookup::Result copyOf(const hostent* entry) {
    csp_HostLookup::Result result;
    if (entry == nullptr)
        return result;
    result.outcome = csp_HostLookup::found;
    if (entry->h_name != nullptr)
        result.name = entry->h_name;
    for (char** alias = entry->h_aliases; alias != nullptr && *alias != nullptr; ++alias)
        result.aliases.emplace_back(*alias);
    if (entry->h_addrtype != AF_INET || entry->h_length != static_cast<int>(sizeof(in_addr)))
        return result;
    for (char** address = entry->h_addr_list; address != nullptr && *address != nullptr;
         ++address) {
        in_addr value;
        std::memcpy(&value, *address, sizeof value);
        result.addresses.push_back(value);
    }
    return result;
}

void run(Handover& handover) {
    csp_HostLookup::Result result = copyOf(handover.lookup());
    bool wasAbandoned;
    {
        std::lock_guard<std::mutex> lock(handover.mutex);
        handover.result = std::move(result);
        handover.done = true;
        wasAbandoned = handover.abandoned;
    }
    handover.finished.notify_all();
    if (wasAbandoned)
        abandonedLookups.fetch_sub(1);
    runningLookups.fetch_sub(1);
}

void work() {
    Pool& p = pool();
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        if (!p.work.wait_for(lock, workerIdleLife, [&] { return !p.queue.empty(); })) {
            --p.idle;
            return;
        }
        const std::shared_ptr<Handover> next = p.queue.front();
        p.queue.pop_front();
        --p.idle;
        lock.unlock();
        run(*next);
        lock.lock();
        ++p.idle;
    }
}

// False when no thread could be started for it.
bool submit(const std::shared_ptr<Handover>& handover) {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.queue.push_back(handover);
    if (p.idle >= static_cast<int>(p.queue.size())) {
        p.work.notify_one();
        return true;
    }
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        p.queue.pop_back();
        return false;
    }
    ++p.idle;
    return true;
}

bool givingUp() {
    return giveUpCheck != nullptr && giveUpCheck();
}

csp_HostLookup::Result waitFor(Handover& handover, int timeoutMilliseconds) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    std::unique_lock<std::mutex> lock(handover.mutex);
    while (!handover.done) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline || givingUp())
            break;
        const Clock::time_point nextCheck =
            now + std::chrono::milliseconds(giveUpCheckMilliseconds);
        handover.finished.wait_until(lock, nextCheck < deadline ? nextCheck : deadline);
    }
    if (!handover.done) {
        handover.abandoned = true;
        abandonedLookups.fetch_add(1);
        csp_HostLookup::Result gaveUp;
        gaveUp.outcome = csp_HostLookup::timedOut;
        return gaveUp;
    }
    return std::move(handover.result);
}

csp_HostLookup::Result lookUp(std::function<const hostent*()> lookup, int timeoutMilliseconds) {
    if (abandonedLookups.load() >= mostAbandonedLookups || givingUp()) {
        csp_HostLookup::Result refused;
        refused.outcome = csp_HostLookup::timedOut;
        return refused;
    }
    const std::shared_ptr<Handover> handover = std::make_shared<Handover>();
    handover->lookup = std::move(lookup);
    runningLookups.fetch_add(1);
    if (!submit(handover)) {
        // No thread to be had: look up here, unbounded, rather than not at all.
        runningLookups.fetch_sub(1);
        return copyOf(handover->lookup());
    }
    return waitFor(*handover, timeoutMilliseconds);
}

} // namespace

csp_HostLookup::Result csp_HostLookup::byName(const std::string& name, int timeoutMilliseconds) {
    return lookUp([name] { return wsa::gethostbyname(name.c_str()); }, timeoutMilliseconds);
}

csp_HostLookup::Result csp_HostLookup::byAddress(const in_addr& address, int timeoutMilliseconds) {
    return lookUp(
        [address] {
            return wsa::gethostbyaddr(reinterpret_cast<const char*>(&address), sizeof address,
                                      AF_INET);
        },
        timeoutMilliseconds);
}

void csp_HostLookup::setGiveUpCheck(GiveUpCheck check) {
    giveUpCheck = check;
}

int csp_HostLookup::running() {
    return runningLookups.load();
}

int csp_HostLookup::abandoned() {
    return abandonedLookups.load();
}
