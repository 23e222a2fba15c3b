// The encoder against the plain encoding in ipm_ReferencePayload.h, on random reports made
// from pieces that take every path: plain and marked-up texts, bytes that are not UTF-8,
// names that need repair, numbers at their limits. Payload and phase must match exactly.
#include "ipm_ReferencePayload.h"
#include "ipm_TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace ipm_test;

namespace {

const char* const typePieces[] = {
    "Step", "Started", "",      "1st",   "a:b",     "x y",          "\xC3\xA9t\xC3\xA9",
    "\xFF", "_",       "-dash", "Error", "Warning", "\xE2\x80\xBFx"};
const char* const keyPieces[] = {"phase",   "message", "stepName", "heading", "file",
                                 "",        "9lives",  "a.b-c_d",  "x:y",     "k\xC3\xA9",
                                 "\xC0key", "<k>",     "iteration"};
const char* const letterPieces[] = {"%i", "%r", "%s", "%e", "%b", "%I", "%R",
                                    "%S", "%E", "%B", "%x", "%",  "",   "%ss"};
const char* const textPieces[] = {"Solve",
                                  "Assembling the stiffness matrix",
                                  "",
                                  "A & B",
                                  "x<y",
                                  "a > b",
                                  "<b>bold</b>",
                                  "<p:q/>",
                                  "<!-- note -->",
                                  "\"quoted\" 'text'",
                                  "tab\tline\nreturn\r",
                                  "bell\x07",
                                  "caf\xC3\xA9",
                                  "caf\xE9",
                                  "\xEF\xBF\xBE",
                                  "\xF0\x9F\x98\x80",
                                  "\xED\xA0\x80",
                                  "\x7F",
                                  "&amp;",
                                  "&bogus;",
                                  "]]>"};
const int integerPieces[] = {0, 1, -1, 17, INT_MAX, INT_MIN, 1000000, -999999};
const double realPieces[] = {0.0,
                             -0.0,
                             1.25e-05,
                             0.1,
                             0.625,
                             -2.5,
                             1e21,
                             123456789.0,
                             1.0 / 3.0,
                             3.4028234663852886e+38,
                             3.5e+38,
                             -1e300,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};

template <class T, std::size_t N> const T& pick(std::mt19937& random, const T (&pieces)[N]) {
    return pieces[std::uniform_int_distribution<std::size_t>(0, N - 1)(random)];
}

// One random report: its type, format and values, with a value for every field.
struct RandomReport {
    std::string type;
    std::string format;
    std::vector<int> integers;
    std::vector<double> reals;
    std::vector<std::string> textStore;
    std::vector<const char*> texts;

    explicit RandomReport(std::mt19937& random) {
        type = pick(random, typePieces);
        const int fields = std::uniform_int_distribution<int>(0, 7)(random);
        for (int k = 0; k < fields; ++k) {
            if (k > 0)
                format += random() % 8 == 0 ? "  " : " ";
            format += pick(random, keyPieces);
            if (random() % 6 != 0)
                format += '=';
            format += pick(random, letterPieces);
            integers.push_back(pick(random, integerPieces));
            // Any double, from its bits, now and then.
            double real = pick(random, realPieces);
            if (random() % 4 == 0) {
                const std::uint64_t bits = (std::uint64_t(random()) << 32) | random();
                std::memcpy(&real, &bits, sizeof real);
            }
            reals.push_back(real);
            std::string text = pick(random, textPieces);
            if (random() % 3 == 0)
                text += pick(random, textPieces);
            textStore.push_back(text);
        }
        for (const std::string& text : textStore)
            texts.push_back(text.c_str());
        if (!texts.empty() && random() % 8 == 0)
            texts.back() = nullptr;
    }
};

class PayloadDifferentialTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyTransmitter();
        SetCommandLine({});
    }
    void TearDown() override { DestroyTransmitter(); }
};

TEST_F(PayloadDifferentialTest, EncoderWritesThePlainEncodingByteForByte) {
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    const struct {
        const ipm_PayloadEncoder& variant;
        bool stanzaSafe;
    } variants[] = {{ipm_PayloadEncoder::Direct(), false}, {ipm_PayloadEncoder::Jabber(), true}};
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 3000; ++round) {
        const RandomReport report(random);
        const cow_String job = pick(random, textPieces);
        const bool started = random() % 4 == 0;
        const bool nullArrays = random() % 16 == 0;
        for (const auto& v : variants) {
            const cow_String phaseBefore = transmitter.GetPhase();
            const std::string expected = ipm_reference::Encode(
                v.variant, v.stanzaSafe, transmitter, job, report.type.c_str(),
                report.format.c_str(), nullArrays ? nullptr : report.integers.data(),
                nullArrays ? nullptr : report.reals.data(),
                nullArrays ? nullptr : report.texts.data(), started);
            const cow_String expectedPhase = transmitter.GetPhase();
            transmitter.SetPhase(phaseBefore);
            const cow_String payload =
                v.variant.Encode(transmitter, job, report.type.c_str(), report.format.c_str(),
                                 nullArrays ? nullptr : report.integers.data(),
                                 nullArrays ? nullptr : report.reals.data(),
                                 nullArrays ? nullptr : report.texts.data(), started);
            ASSERT_EQ(std::string(payload.c_str(), std::size_t(payload.length())), expected)
                << "type \"" << report.type << "\", format \"" << report.format << "\"";
            ASSERT_EQ(transmitter.GetPhase(), expectedPhase);
        }
    }
}

// A payload far beyond what an ordinary report needs still comes out whole.
TEST_F(PayloadDifferentialTest, LongTextsAndManyFieldsMatchToo) {
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    const std::string longText(100000, 'x');
    const std::string longMarkup = "<a>" + std::string(5000, '&') + "</a>";
    std::string format;
    std::vector<const char*> texts;
    for (int k = 0; k < 40; ++k) {
        format += "message=%s stepName=%s other=%s ";
        texts.insert(texts.end(), {longText.c_str(), longMarkup.c_str(), longMarkup.c_str()});
    }
    const std::string longType(3000, 'T');
    for (const ipm_PayloadEncoder* variant :
         {&ipm_PayloadEncoder::Direct(), &ipm_PayloadEncoder::Jabber()}) {
        const std::string expected = ipm_reference::Encode(
            *variant, variant == &ipm_PayloadEncoder::Jabber(), transmitter, "job",
            longType.c_str(), format.c_str(), nullptr, nullptr, texts.data(), true);
        const cow_String payload =
            variant->Encode(transmitter, "job", longType.c_str(), format.c_str(), nullptr, nullptr,
                            texts.data(), true);
        EXPECT_EQ(std::string(payload.c_str(), std::size_t(payload.length())), expected);
    }
}

} // namespace
