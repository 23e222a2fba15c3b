#ifndef MONITOR_MON_CLOCK_H
#define MONITOR_MON_CLOCK_H

#include <chrono>
#include <ctime>
#include <string>

// The monitor's two clocks: the steady one its timers run on, and the wall clock of the
// reports' times, the history and the screen. Moments of one are turned into the other as
// seen from a pair of readings taken together.
class mon_Clock {
public:
    using Steady = std::chrono::steady_clock;

    // Seconds since 1970 by the wall clock.
    static double WallSeconds();
    // Where the steady clock stood at the wall time `wall`; never later than `now`.
    static Steady::time_point SteadyAt(double wall, Steady::time_point now, double wallNow);
    // The wall time at the steady moment `when`.
    static double WallAt(Steady::time_point when, Steady::time_point now, double wallNow);

    // The moment through strftime's format, in local time or in UTC.
    static std::string Local(std::time_t when, const char* format);
    static std::string Utc(std::time_t when, const char* format);
    // A span of the steady clock as the notes show it: "12.3 s".
    static std::string Seconds(Steady::duration elapsed);
};

#endif
