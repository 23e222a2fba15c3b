#include "base/utl_OptionSpelling.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* const known[] = {"job",         "message",       "indir",
                             "direct_port", "listener_name", "listener_resource",
                             "msgserver",   "steps",         "delay_ms"};
const int knownCount = sizeof known / sizeof known[0];

} // namespace

TEST(OptionSpelling, TheNearestKnownNameWithinTheToleranceIsNamedAndNothingFarther) {
    struct Case {
        const char* given;
        const char* nearest; // null: none near enough
        int distance;        // from the nearest, or from the first known name
    };
    const Case cases[] = {
        {"-direct-port", "direct_port", 0}, // dashes and case alone
        {"--job", "job", 0},
        {"-msgServer", "msgserver", 0},
        {"-jb", "job", 1},      // a character dropped
        {"-jobb", "job", 1},    // inserted
        {"-jab", "job", 1},     // replaced
        {"-stesp", "steps", 1}, // two neighbours swapped count once
        {"-listner_nam", "listener_name", 2},
        {"-listener-nam", "listener_name", 1}, // nearer to _name than to _resource
        {"-delay", nullptr, 5},                // three edits from delay_ms: too far
        {"-x", nullptr, 3},                    // one character would be near anything
        {"-", nullptr, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        const char* nearest = utl_OptionSpelling::Nearest(
            c.given, known, knownCount, utl_OptionSpelling::ToleranceFor(c.given));
        const char* measured = c.nearest ? c.nearest : known[0];
        EXPECT_EQ(utl_OptionSpelling::Distance(c.given, measured), c.distance);
        EXPECT_EQ(utl_OptionSpelling::Distance(measured, c.given), c.distance);
        if (c.nearest == nullptr)
            EXPECT_EQ(nearest, nullptr) << nearest;
        else
            EXPECT_STREQ(nearest, c.nearest);
    }
    EXPECT_EQ(utl_OptionSpelling::Nearest("-jab", known, knownCount, 0), nullptr)
        << "a tolerance of 0 takes the common form alone";
    EXPECT_STREQ(utl_OptionSpelling::Nearest("-JOB", known, knownCount, 0), "job");
}
