#ifndef TESTS_IPM_IPM_DRIVENCLOCK_H
#define TESTS_IPM_IPM_DRIVENCLOCK_H

#include "base/thr_GlobalSingleton.h"
#include "ipm/ipm_Clock.h"
#include "ipm/ipm_MessageTransmit.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace ipm_test {

// A clock that skips waiting. It runs with real time, but whenever every thread it waits for
// (its participants) waits on it, it jumps to the earliest moment that anyone waits for: a
// retry a second away costs no real second, and what runs in between still runs at its real
// pace. The thread that makes the clock, the threads started through Thread and the message
// task are its participants (the task not, when told so: a task blocked on the network then
// does not hold the clock). A participant that blocks on something else that takes its time
// (a socket, a thread to join, a transport that never answers) is idle meanwhile, so that the
// clock may skip.
//
// Before it skips, every waiting participant looks again whether what it waits for has come,
// so that none misses a moment: waiting threads are woken whenever a thread starts to wait or
// a waited-for condition is notified. Nor does real time carry the clock past a moment that a
// participant waits for before that participant has run: what it does then comes first.
//
// While it lives it is the active clock (one made meanwhile takes its place until it goes):
// Clock::now, Eventually and SecondsSince read it, and the transmitters that ReportingJob,
// DirectHost and the library's start-up make keep it.
class DrivenClock : public ipm_Clock {
public:
    enum TaskPace { taskAwaited, taskNotAwaited };

    explicit DrivenClock(TaskPace pace = taskAwaited) : taskPace(pace) {
        join();
        outer = active().exchange(this);
        ipm_Clock::SetForNewTransmitters(this);
    }
    ~DrivenClock() override {
        ipm_Clock::SetForNewTransmitters(outer);
        active().store(outer);
        // A transmitter that outlives the test must not keep a clock that is gone.
        if (ipm_MessageTransmit* transmitter =
                thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
            if (&transmitter->GetClock() == this)
                transmitter->SetClock(ipm_Clock::Steady());
        leave();
    }

    static DrivenClock* Active() { return active().load(); }

    TimePoint Now() const override {
        std::lock_guard<std::mutex> guard(mutex);
        return nowLocked();
    }

    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable&, TimePoint until,
                   const Condition& done) override {
        return wait(&lock, until, done, nullptr);
    }

    // Looked at again every millisecond of real time: a socket does not notify the clock.
    bool WaitOutside(Duration longest, const std::function<bool(int)>& ready) override {
        return wait(
            nullptr, Now() + longest, [&] { return ready(0); }, nullptr,
            std::chrono::milliseconds(1));
    }

    void Notify(std::condition_variable& changed) override {
        changed.notify_all();
        std::lock_guard<std::mutex> guard(mutex);
        worldChanged();
    }

    void TaskEntered() override {
        if (taskPace == taskAwaited)
            join();
        std::lock_guard<std::mutex> guard(mutex);
        worldChanged();
    }
    void TaskLeft() override {
        if (taskPace == taskAwaited) {
            leave();
            return;
        }
        std::lock_guard<std::mutex> guard(mutex);
        worldChanged();
        skipIfAllWait();
    }

    void SleepFor(Duration duration) {
        std::mutex unused;
        std::unique_lock<std::mutex> lock(unused);
        wait(
            &lock, Now() + duration, [] { return false; }, nullptr);
    }

    // Eventually on this clock: the caller waits, and the clock may skip, until the condition
    // holds; false after that much real time.
    bool WaitFor(const std::function<bool()>& condition, int realMilliseconds) {
        const std::chrono::steady_clock::time_point giveUp =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(realMilliseconds);
        return wait(nullptr, TimePoint::max(), condition, &giveUp);
    }

    // The calling participant blocks on something outside the clock for the scope's life.
    class Idle {
    public:
        explicit Idle(DrivenClock* clock) : clock(clock) {
            if (clock)
                clock->setIdle(true);
        }
        ~Idle() {
            if (clock)
                clock->setIdle(false);
        }
        Idle(const Idle&) = delete;
        Idle& operator=(const Idle&) = delete;

    private:
        DrivenClock* clock;
    };

    // A thread that the clock waits for, from its start to its end.
    std::thread Thread(std::function<void()> body) {
        std::mutex started;
        std::condition_variable joined;
        bool ready = false;
        std::thread thread([&, body] {
            join();
            {
                // Notified under the lock: the caller's locals are gone once it sees `ready`.
                std::lock_guard<std::mutex> guard(started);
                ready = true;
                joined.notify_all();
            }
            struct Leave {
                DrivenClock& clock;
                ~Leave() { clock.leave(); }
            } leaving{*this};
            body();
        });
        std::unique_lock<std::mutex> lock(started);
        joined.wait(lock, [&] { return ready; });
        return thread;
    }

    void Join(std::thread& thread) {
        const Idle joining(this);
        thread.join();
    }

    bool AwaitsTask() const { return taskPace == taskAwaited; }
    bool IsParticipant() const {
        std::lock_guard<std::mutex> guard(mutex);
        return participants.count(std::this_thread::get_id()) != 0;
    }

private:
    struct Participant {
        int entries = 0;
        bool waiting = false;
        bool idle = false;
        // The moment of the world it last found its condition unmet in.
        unsigned long checked = 0;
    };

    const TaskPace taskPace;
    // The clock that a test's own clock stands in for while it lives (a fixture's), or none.
    DrivenClock* outer = nullptr;
    mutable std::mutex mutex;
    std::condition_variable moved;
    Duration skipped = Duration::zero();
    unsigned long epoch = 1;
    std::map<std::thread::id, Participant> participants;
    std::multiset<TimePoint> deadlines;
    // The moments participants wait for: the clock does not pass one until its waiter has run.
    std::multiset<TimePoint> participantDeadlines;
    mutable TimePoint told = TimePoint::min();

    static std::atomic<DrivenClock*>& active() {
        static std::atomic<DrivenClock*> clock{nullptr};
        return clock;
    }

    // Never earlier than a moment already told: a hold set after it does not turn it back.
    TimePoint nowLocked() const {
        const TimePoint running = std::chrono::steady_clock::now() + skipped;
        const TimePoint held = participantDeadlines.empty()
                                   ? running
                                   : std::min(running, *participantDeadlines.begin());
        told = std::max(told, held);
        return told;
    }

    Participant* me() {
        const auto found = participants.find(std::this_thread::get_id());
        return found == participants.end() ? nullptr : &found->second;
    }

    // Whatever waits must look again before the clock may skip.
    void worldChanged() {
        ++epoch;
        moved.notify_all();
    }

    void skipIfAllWait() {
        for (const auto& entry : participants) {
            const Participant& p = entry.second;
            if (!p.idle && !(p.waiting && p.checked == epoch))
                return;
        }
        if (deadlines.empty())
            return;
        const TimePoint next = *deadlines.begin();
        const TimePoint running = std::chrono::steady_clock::now() + skipped;
        if (next > running)
            skipped += next - running;
        worldChanged();
    }

    void join() {
        std::lock_guard<std::mutex> guard(mutex);
        ++participants[std::this_thread::get_id()].entries;
    }

    void leave() {
        std::lock_guard<std::mutex> guard(mutex);
        const auto found = participants.find(std::this_thread::get_id());
        if (found != participants.end() && --found->second.entries == 0)
            participants.erase(found);
        worldChanged();
        skipIfAllWait();
    }

    void setIdle(bool idle) {
        std::lock_guard<std::mutex> guard(mutex);
        Participant* p = me();
        if (p == nullptr)
            return;
        p->idle = idle;
        if (idle) {
            worldChanged();
            skipIfAllWait();
        }
    }

    // `lock` (when given) is held on entry and on return and let go while waiting; `giveUp`
    // (when given) ends the wait after that much real time. With `giveUp`, or with a
    // `lookAgain` shorter than 10 ms, the condition is looked at again every `lookAgain`. A
    // participant holds the clock at its moment from the start of the wait until it has looked
    // at its condition for the last time.
    bool wait(std::unique_lock<std::mutex>* lock, TimePoint until, const Condition& done,
              const std::chrono::steady_clock::time_point* giveUp,
              std::chrono::steady_clock::duration lookAgain = std::chrono::milliseconds(10)) {
        typedef std::chrono::steady_clock Real;
        const bool bounded = until != TimePoint::max();
        std::unique_lock<std::mutex> held(mutex);
        const bool holdsTheClock = bounded && me() != nullptr;
        const auto deadline = bounded ? deadlines.insert(until) : deadlines.end();
        const auto hold =
            holdsTheClock ? participantDeadlines.insert(until) : participantDeadlines.end();
        held.unlock();
        bool first = true;
        for (;;) {
            const bool met = done();
            held.lock();
            Participant* p = me();
            const bool realTimeOver = giveUp && Real::now() >= *giveUp;
            if (met || nowLocked() >= until || realTimeOver) {
                if (bounded)
                    deadlines.erase(deadline);
                if (holdsTheClock) {
                    participantDeadlines.erase(hold);
                    // Held here, the clock now runs on for everyone.
                    if (Real::now() + skipped >= until)
                        worldChanged();
                }
                return met;
            }
            // The caller ran until now: what it did may be what others wait for.
            if (first)
                worldChanged();
            first = false;
            const unsigned long seen = epoch;
            if (p) {
                p->waiting = true;
                p->checked = seen;
            }
            skipIfAllWait();
            if (lock)
                lock->unlock();
            // Real time runs on between skips: a waiter is due when it reaches its moment. One
            // that real time has reached while another participant holds the clock short of it
            // is due once that one lets the clock go, which changes the world.
            Real::time_point wake = Real::time_point::max();
            if (bounded && until - skipped > Real::now())
                wake = until - skipped;
            if (giveUp)
                wake = std::min(wake, *giveUp);
            if (giveUp || lookAgain < std::chrono::milliseconds(10))
                wake = std::min(wake, Real::now() + lookAgain);
            if (wake == Real::time_point::max())
                moved.wait(held, [&] { return epoch != seen; });
            else
                moved.wait_until(held, wake, [&] { return epoch != seen; });
            // Running again until it waits again: the clock does not skip meanwhile.
            if ((p = me()) != nullptr)
                p->waiting = false;
            held.unlock();
            if (lock)
                lock->lock();
        }
    }
};

} // namespace ipm_test

#endif
