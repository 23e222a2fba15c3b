#include "ipm_TestSupport.h"

#include "ipm/ipm_DeliveryStatus.h"

#include <gtest/gtest.h>

// The lines that tell the job's user that delivery is down or back, against a clock the test
// drives.
using namespace ipm_test;

namespace {

enum Event { down, up };

struct Step {
    Event event;
    const char* cause;
    int second;
    std::string said; // empty: nothing
};

class ipm_DeliveryStatusTest : public ::testing::Test {
protected:
    void TearDown() override { DestroyTransmitter(); }

    // Runs the steps, each against what it must say.
    static void Expect(ipm_DeliveryStatus& status, const std::vector<Step>& steps,
                       CapturedWarnings& said) {
        const Clock::time_point start = Clock::now();
        std::string before = said.Text();
        for (const Step& step : steps) {
            SCOPED_TRACE("second " + std::to_string(step.second));
            const Clock::time_point now = start + std::chrono::seconds(step.second);
            if (step.event == down)
                status.Down(step.cause, now);
            else
                status.Up(now);
            const std::string text = said.Text();
            EXPECT_EQ(text.substr(before.size()),
                      step.said.empty() ? "" : "QORKelCommunications: " + step.said + "\n");
            before = text;
        }
    }
};

TEST_F(ipm_DeliveryStatusTest, EachOutageIsToldOnceWithItsEndAndAFlappingTransportOnceAMinute) {
    struct Setting {
        const char* quiet; // IPM_QUIET; null: unset
        bool told;
    };
    const Setting settings[] = {{nullptr, true}, {"0", true}, {"", true}, {"1", false}};
    for (const Setting& setting : settings) {
        SCOPED_TRACE(setting.quiet ? std::string("IPM_QUIET=") + setting.quiet : "IPM_QUIET unset");
        ScopedEnv quiet("IPM_QUIET", setting.quiet);
        ReportingJob job;
        CapturedWarnings said;
        ipm_DeliveryStatus status(job.Transmitter());
        ASSERT_TRUE(job.Transmitter().OpenMessageFile());
        const std::string recorded = ": they are recorded in the message file " +
                                     job.MessageFilePath() + ", and delivery is retried";
        std::vector<Step> steps = {
            {down, "connection refused", 0,
             "reports cannot reach the monitor (connection refused)" + recorded},
            {down, "connection refused", 1, ""},
            {down, "", 3, ""},
            {up, "", 12, "reports reach the monitor now, after 12 s"},
            {up, "", 13, ""},
            // Down and up again within a minute of the last down line: quiet...
            {down, "the connection was closed", 20, ""},
            {up, "", 21, ""},
            {down, "", 30, ""},
            // ...until the minute is over while it is still down.
            {down, "", 61, "reports no longer reach the monitor" + recorded},
            {up, "", 63, "reports reach the monitor again, after 33 s"},
            {down, "the connection failed", 130,
             "reports no longer reach the monitor (the connection failed)" + recorded},
            {up, "", 131, "reports reach the monitor again, after 1 s"},
        };
        if (!setting.told)
            for (Step& step : steps)
                step.said.clear();
        Expect(status, steps, said);
    }
}

TEST_F(ipm_DeliveryStatusTest, WithoutAMessageFileTheLineSaysThatReportsWaitAndABadQuietIsTold) {
    ScopedEnv quiet("IPM_QUIET", "yes");
    ReportingJob job;
    SetCommandLine({"-job", "beam", "-message", "on", "-indir", job.dir.File("missing")});
    CapturedWarnings said;
    ipm_DeliveryStatus status(job.Transmitter());
    EXPECT_EQ(said.Text(), "QORKelCommunications: IPM_QUIET \"yes\" is neither 0 nor 1: the lines "
                           "about delivery going down and up are shown\n");
    status.Down("cannot connect");
    const std::string text = said.Text();
    EXPECT_NE(text.find("QORKelCommunications: reports cannot reach the monitor (cannot connect): "
                        "they wait for delivery (there is no message file to record them), and "
                        "delivery is retried\n"),
              std::string::npos)
        << text;
}

// The task's own lines are in the direct transport's late-monitor test and the examples test.
TEST_F(ipm_DeliveryStatusTest, ATransportThatShutDownGivesUpOnIsNotToldDown) {
    ReportingJob job;
    job.recording->initializeHangs = true;
    CapturedWarnings said;
    TaskThread task;
    ASSERT_TRUE(Eventually([&] { return job.recording->InitializeCalls() == 1; }));
    task.Abandon();
    EXPECT_EQ(said.Text(), "");
}

} // namespace
