#include "monitor/mon_Clock.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string formatted(const std::tm& moment, const char* format) {
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &moment);
    return std::string(text, length);
}

} // namespace

double mon_Clock::WallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

mon_Clock::Steady::time_point mon_Clock::SteadyAt(double wall, Steady::time_point now,
                                                  double wallNow) {
    return now - std::chrono::duration_cast<Steady::duration>(
                     std::chrono::duration<double>(std::max(0.0, wallNow - wall)));
}

double mon_Clock::WallAt(Steady::time_point when, Steady::time_point now, double wallNow) {
    return wallNow - std::chrono::duration<double>(now - when).count();
}

std::string mon_Clock::Local(std::time_t when, const char* format) {
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    return formatted(local, format);
}

std::string mon_Clock::Utc(std::time_t when, const char* format) {
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &when);
#else
    gmtime_r(&when, &utc);
#endif
    return formatted(utc, format);
}

std::string mon_Clock::Seconds(Steady::duration elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 1000.0);
    return text;
}
