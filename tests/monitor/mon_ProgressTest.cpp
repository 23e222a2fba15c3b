#include "monitor/mon_Progress.h"
#include "monitor/mon_Series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using Clock = mon_Progress::Clock;

mon_Report stepReport(const std::string& step, double residual = -1) {
    mon_Report report("Step");
    report.AddField(mon_Report::Field{"step", "integer", step});
    if (residual >= 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", residual);
        report.AddField(mon_Report::Field{"residual", "float", text});
    }
    return report;
}

mon_Report report(const std::string& type, const std::string& key, const std::string& value) {
    mon_Report made(type);
    made.AddField(mon_Report::Field{key, "integer", value});
    return made;
}

Clock::time_point at(double seconds) {
    return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(1000 + seconds));
}

TEST(MonitorProgress, PaceAndEtaFollowTheRecentStepsAndTheAnnouncedTotal) {
    mon_Progress progress;
    progress.Apply(report("Started", "steps", "100"), at(0));
    for (int step = 1; step <= 20; ++step)
        progress.Apply(stepReport(std::to_string(step)), at(step * 0.5));
    EXPECT_NEAR(progress.StepsPerMinute(), 120, 0.5);
    EXPECT_NEAR(progress.EtaSeconds(), 40, 0.5);
    EXPECT_EQ(progress.Text(), "20/100 20%");
    EXPECT_EQ(progress.Bar(12), "[##........]");
    EXPECT_EQ(progress.RateText(), "120/min");
    EXPECT_EQ(progress.EtaText(), "0:40");

    // The job slows to a step every 10 s: within the window the ETA says so.
    for (int step = 21; step <= 40; ++step)
        progress.Apply(stepReport(std::to_string(step)), at(10 + (step - 20) * 10.0));
    EXPECT_NEAR(progress.StepsPerMinute(), 6, 0.5);
    EXPECT_NEAR(progress.EtaSeconds(), 600, 30);
    EXPECT_EQ(progress.RateText(), "6.0/min");

    // Done: no time left, a full bar.
    progress.Apply(stepReport("100/100"), at(1000));
    EXPECT_EQ(progress.EtaSeconds(), 0);
    EXPECT_EQ(progress.Bar(7), "[#####]");
}

TEST(MonitorProgress, UnknownPaceStaysUnknownAndPercentAloneGivesAnEta) {
    struct Case {
        const char* what;
        std::vector<std::pair<mon_Report, double>> reports;
        double perMinute;
        double eta;
    } cases[] = {
        {"nothing", {}, -1, -1},
        {"one step", {{stepReport("3"), 0}}, -1, -1},
        // A file read at once: every report at the same moment.
        {"no time between", {{stepReport("3"), 5}, {stepReport("9"), 5}}, -1, -1},
        {"no total", {{stepReport("3"), 0}, {stepReport("9"), 6}}, 60, -1},
        {"percent only",
         {{report("Progress", "percent", "10"), 0}, {report("Progress", "percent", "20"), 10}},
         -1,
         80},
    };
    for (const Case& c : cases) {
        mon_Progress progress;
        for (const auto& timed : c.reports)
            progress.Apply(timed.first, at(timed.second));
        EXPECT_NEAR(progress.StepsPerMinute(), c.perMinute, 0.01) << c.what;
        EXPECT_NEAR(progress.EtaSeconds(), c.eta, 0.01) << c.what;
        if (c.eta < 0) {
            EXPECT_EQ(progress.EtaText(), "") << c.what;
        }
    }
}

TEST(MonitorSeries, StepNumbersAreKeptPerFieldWithinBoundsOverTheWholeRun) {
    mon_Series series;
    const int steps = 5000;
    for (int step = 1; step <= steps; ++step)
        series.Apply(stepReport(std::to_string(step), std::pow(10.0, -(step % 7))), step);
    const mon_Series::Field* residual = series.Find("residual");
    ASSERT_NE(residual, nullptr);
    EXPECT_LE(residual->points.size(), mon_Series::maxPoints);
    EXPECT_GE(residual->points.size(), mon_Series::maxPoints / 2);
    EXPECT_EQ(residual->points.front().step, 1);
    EXPECT_GT(residual->points.back().step, steps - 2 * steps / mon_Series::maxPoints);
    for (std::size_t i = 1; i < residual->points.size(); ++i)
        ASSERT_GT(residual->points[i].step, residual->points[i - 1].step);
    // Each kept point is the value of its own step.
    for (const mon_Series::Point& point : residual->points)
        ASSERT_FLOAT_EQ(point.value, float(std::pow(10.0, -(int(point.step) % 7))));
    // The step is the axis, not a series.
    EXPECT_EQ(series.Find("step"), nullptr);
    EXPECT_TRUE(mon_Series::IsResidualLike("residual"));
    EXPECT_TRUE(mon_Series::IsResidualLike("errorNorm"));
    EXPECT_FALSE(mon_Series::IsResidualLike("time"));
}

TEST(MonitorSeries, OnlyNumbersOfStepReportsCountAndFieldsAreBounded) {
    mon_Series series;
    mon_Report other("Progress");
    other.AddField(mon_Report::Field{"load", "float", "1"});
    series.Apply(other, 1);
    mon_Report step("Step");
    step.AddField(mon_Report::Field{"stepName", "string", "7"});
    step.AddField(mon_Report::Field{"converged", "boolean", "1"});
    step.AddField(mon_Report::Field{"bad", "float", "nan"});
    step.AddField(mon_Report::Field{"huge", "float", "1e300"});
    step.AddField(mon_Report::Field{"handle", "integer", "77"});
    for (int i = 0; i < 20; ++i)
        step.AddField(mon_Report::Field{"f" + std::to_string(i), "float", std::to_string(i)});
    series.Apply(step, -1);
    series.Apply(step, -1);
    ASSERT_EQ(series.Fields().size(), mon_Series::maxFields);
    EXPECT_EQ(series.Fields().front().name, "f0");
    // Without a step number, a Step report's rank among them is its place.
    EXPECT_EQ(series.Fields().front().points.size(), 2u);
    EXPECT_EQ(series.Fields().front().points.back().step, 2);
    EXPECT_EQ(series.Find("load"), nullptr);
}

} // namespace
