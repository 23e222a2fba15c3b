#include "monitor/mon_Departures.h"

#include <gtest/gtest.h>

namespace {

using Clock = mon_Departures::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string beam = "job@localhost/beam";
const std::string rod = "job@localhost/rod";

// Jobs that look gone are waited for only when they went with the server: a moment after any
// session end, while the server is away, and for a while once it is back, unless they have
// come back by then.
TEST(MonitorDepartures, OnlyJobsLostWithTheServerAreWaitedForAndOnlyUntilTheyReturn) {
    const Clock::time_point t = Clock::now();
    mon_Departures departures;
    EXPECT_FALSE(departures.MayComeBack(t));

    departures.Left(rod, 1, t);
    EXPECT_TRUE(departures.MayComeBack(t + milliseconds(900))) << "the server's end may follow";
    EXPECT_FALSE(departures.MayComeBack(t + seconds(1)));

    departures.Left(beam, 2, t + seconds(10));
    departures.ServerLost(t + seconds(11));
    EXPECT_TRUE(departures.MayComeBack(t + seconds(70))) << "the server is away";
    EXPECT_FALSE(departures.MayComeBack(t + seconds(71))) << "away too long";
    departures.ServerBack(t + seconds(40));
    EXPECT_TRUE(departures.MayComeBack(t + seconds(69)));
    EXPECT_FALSE(departures.MayComeBack(t + seconds(70))) << "back for 30 s and no job";

    EXPECT_EQ(departures.Returning(beam), 2);
    EXPECT_EQ(departures.Returning(beam), 0) << "once";
    EXPECT_FALSE(departures.MayComeBack(t + seconds(41))) << "the job it waited for is back";
    EXPECT_EQ(departures.Returning(rod), 1) << "lost long before the server went, still known";
    EXPECT_EQ(departures.Returning("job@localhost/other"), 0);
}

// A new loss of the server waits for what went with it this time, not for earlier losses.
TEST(MonitorDepartures, EachLossOfTheServerWaitsForItsOwnJobs) {
    const Clock::time_point t = Clock::now();
    mon_Departures departures;
    departures.Left(beam, 2, t);
    departures.ServerLost(t + seconds(1));
    departures.ServerBack(t + seconds(5));
    departures.ServerLost(t + seconds(40));
    EXPECT_FALSE(departures.MayComeBack(t + seconds(41)));
    departures.Left(rod, 3, t + seconds(59));
    departures.ServerLost(t + seconds(60));
    departures.ServerBack(t + seconds(62));
    EXPECT_TRUE(departures.MayComeBack(t + seconds(91)));
    EXPECT_EQ(departures.Returning(rod), 3);
    EXPECT_FALSE(departures.MayComeBack(t + seconds(63)));
}

} // namespace
