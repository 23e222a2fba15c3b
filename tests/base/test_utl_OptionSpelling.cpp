#include "base/utl_OptionSpelling.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* const known[] = {"job",         "message",       "indir",
                             "direct_port", "listener_name", "listener_resource",
                             "msgserver",   "steps",         "delay_ms"};
const int knownCount = sizeof known / sizeof known[0];

} // namespace

TEST(OptionSpelling, DashesCaseAndOneEditApartAreNearTheOptionMeant) {
    struct Case {
        const char* given;
        const char* known;
        int distance;
    };
    const Case cases[] = {
        {"--job", "job", 0},
        {"-Direct-Port", "direct_port", 0},
        {"-msgServer", "msgserver", 0},
        {"-jb", "job", 1},      // dropped
        {"-jobb", "job", 1},    // inserted
        {"-jab", "job", 1},     // replaced
        {"-stpes", "steps", 1}, // neighbours swapped
        {"-listner_nam", "listener_name", 2},
        {"", "job", 3},
        {"-job", "", 3},
        {"-indir", "message", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.given) + " / " + c.known);
        EXPECT_EQ(utl_OptionSpelling::Distance(c.given, c.known), c.distance);
        EXPECT_EQ(utl_OptionSpelling::Distance(c.known, c.given), c.distance);
    }
}

TEST(OptionSpelling, TheNearestKnownNameWithinTheToleranceIsNamedAndNothingFarther) {
    struct Case {
        const char* given;
        const char* nearest; // null: none near enough
    };
    const Case cases[] = {
        {"-direct-port", "direct_port"},
        {"--job", "job"},
        {"-msgServer", "msgserver"},
        {"-stesp", "steps"},
        {"-listener_resorce", "listener_resource"},
        {"-listener-nam", "listener_name"}, // nearer to _name than to _resource
        {"-delay", nullptr},                // three edits from delay_ms
        {"-xyz", nullptr},
        {"-x", nullptr}, // a name of one character would be near anything
        {"-", nullptr},
        {"-jb", "job"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        const char* nearest = utl_OptionSpelling::Nearest(
            c.given, known, knownCount, utl_OptionSpelling::ToleranceFor(c.given));
        if (c.nearest == nullptr)
            EXPECT_EQ(nearest, nullptr) << nearest;
        else
            EXPECT_STREQ(nearest, c.nearest);
    }
    EXPECT_EQ(utl_OptionSpelling::Nearest("-jab", known, knownCount, 0), nullptr)
        << "a tolerance of 0 takes the common form alone";
    EXPECT_STREQ(utl_OptionSpelling::Nearest("-JOB", known, knownCount, 0), "job");
}
