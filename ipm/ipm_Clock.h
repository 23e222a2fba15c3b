#ifndef IPM_IPM_CLOCK_H
#define IPM_IPM_CLOCK_H

#include "base/base_Export.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// The time delivery keeps: the message task's pace and retries, and a stop's deadline. The
// library keeps it on the system's steady clock; a test may hand the transmitter a clock it
// drives, so that the task's waits cost no real time.
class QORKEL_API ipm_Clock {
public:
    typedef std::chrono::steady_clock::time_point TimePoint;
    typedef std::chrono::steady_clock::duration Duration;
    typedef std::function<bool()> Condition;

    ipm_Clock() = default;
    ipm_Clock(const ipm_Clock&) = delete;
    ipm_Clock& operator=(const ipm_Clock&) = delete;
    virtual ~ipm_Clock();

    virtual TimePoint Now() const = 0;
    // With `lock` held on entry and on return: waits until `done` answers true or the clock
    // reaches `until`, and answers done(). Whoever changes what `done` reads does so under
    // `lock` and then calls Notify(changed).
    virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                           TimePoint until, const Condition& done) = 0;
    virtual void Notify(std::condition_variable& changed) = 0;
    // Waits at most `longest` for something outside the clock, a socket say: `ready(bound)`
    // waits at most `bound` real milliseconds for it and answers whether it came. The steady
    // clock asks once, with the whole wait; a clock that skips time may ask in short slices
    // and end the wait when it skips past it.
    virtual bool WaitOutside(Duration longest, const std::function<bool(int milliseconds)>& ready);
    // Bracket the message task's Run, on its thread. The steady clock does nothing with them.
    virtual void TaskEntered();
    virtual void TaskLeft();

    // The system's steady clock, for everything that is not handed another.
    static ipm_Clock& Steady();
    // The clock a transmitter keeps from its making: the steady clock, unless a test has put
    // its own in place (until it puts nullptr back) for the transmitters that the library's
    // start-up calls make.
    static ipm_Clock& ForNewTransmitters();
    static void SetForNewTransmitters(ipm_Clock* clock);
};

#endif
