#include "monitor/mon_Departures.h"

#include <algorithm>

namespace {

// A stranger's flood of short sessions does not grow the list without bound.
const std::size_t maxDepartures = 10000;

} // namespace

constexpr std::chrono::seconds mon_Departures::withTheServer;
constexpr std::chrono::seconds mon_Departures::longestOutage;
constexpr std::chrono::seconds mon_Departures::afterReturn;

void mon_Departures::Left(const std::string& address, int jobId, Clock::time_point now) {
    departed[address] = Departure{jobId, now};
    anyLeft = true;
    lastLeft = now;
    if (departed.size() > maxDepartures)
        forgetOldest();
}

int mon_Departures::Returning(const std::string& address) {
    const auto found = departed.find(address);
    if (found == departed.end())
        return 0;
    const int jobId = found->second.jobId;
    departed.erase(found);
    awaited.erase(jobId);
    return jobId;
}

void mon_Departures::ServerLost(Clock::time_point now) {
    serverAway = true;
    lostAt = now;
    awaited.clear();
    for (const auto& entry : departed)
        if (now - entry.second.at <= withTheServer)
            awaited.insert(entry.second.jobId);
}

void mon_Departures::ServerBack(Clock::time_point now) {
    serverAway = false;
    backAt = now;
}

bool mon_Departures::MayComeBack(Clock::time_point now) const {
    if (anyLeft && now - lastLeft < withTheServer / 2)
        return true;
    if (awaited.empty())
        return false;
    return serverAway ? now - lostAt < longestOutage : now - backAt < afterReturn;
}

void mon_Departures::forgetOldest() {
    const auto oldest =
        std::min_element(departed.begin(), departed.end(),
                         [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
    awaited.erase(oldest->second.jobId);
    departed.erase(oldest);
}
