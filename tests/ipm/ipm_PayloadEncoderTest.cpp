#include "ipm_TestSupport.h"

#include "base/omi_AlertListener.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_PayloadEncoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace ipm_test;

namespace {

class PayloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        DestroyTransmitter();
        SetCommandLine({});
    }
    void TearDown() override { DestroyTransmitter(); }

    std::string Encode(const ipm_PayloadEncoder& variant, const char* type, const char* format,
                       const int* integers, const double* reals, const char* const* texts,
                       bool started = false, const char* job = "beam") {
        const cow_String payload =
            variant.Encode(Transmitter(), job, type, format, integers, reals, texts, started);
        return std::string(payload.c_str(), std::size_t(payload.length()));
    }
    ipm_MessageTransmit& Transmitter() { return ipm_MessageTransmit::Instance(); }
    std::string StoredPhase() { return Transmitter().GetPhase().c_str(); }

    const std::string tail = "<jobName type=\"string\">beam</jobName>";

    // The payload of a report "R" with one field and no phase set.
    std::string OneField(const std::string& key, const std::string& kind,
                         const std::string& content) {
        return "<R><" + key + " type=\"" + kind + "\">" + content + "</" + key +
               "><phase type=\"symconst\"></phase>" + tail + "</R>\n";
    }
};

TEST_F(PayloadTest, WorkedExampleEscapesMessageAndStepNameAndCarriesPhaseAndJob) {
    Transmitter().SetPhase("Analysis");
    const char* texts[] = {"A & B", "x<y"};
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "Error", "message=%s stepName=%s", nullptr,
                     nullptr, texts),
              "<Error><message type=\"string\">A &amp; B</message>"
              "<stepName type=\"string\">x&lt;y</stepName>"
              "<phase type=\"symconst\">Analysis</phase>"
              "<jobName type=\"string\">beam</jobName></Error>\n");
}

TEST_F(PayloadTest, EmptyOrNullFormatGivesOnlyTheFixedElements) {
    const std::string expected = "<Step><phase type=\"symconst\"></phase>" + tail + "</Step>\n";
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "Step", "", nullptr, nullptr, nullptr),
              expected);
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), "Step", nullptr, nullptr, nullptr, nullptr),
              expected);
}

TEST_F(PayloadTest, StartedReportCarriesClientHostAndHandle) {
    omi_Singleton<omi_AlertListener>::Instance().SetHandle(4711);
    const std::string host = utl_getHostName().c_str();
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "Started", "", nullptr, nullptr, nullptr, true),
              "<Started><phase type=\"symconst\"></phase>" + tail + "<clientHost type=\"string\">" +
                  host + "</clientHost><handle type=\"integer\">4711</handle></Started>\n");
}

TEST_F(PayloadTest, EachKindTakesItsValuesInOrderFromItsOwnArray) {
    const int integers[] = {7, -3};
    const double reals[] = {1.5, -0.25};
    const char* texts[] = {"hello", "true", "RUNNING", "x&amp;y"};
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), "Status",
                     "a=%i b=%r c=%s d=%B e=%E f=%I g=%R note=%S", integers, reals, texts),
              "<Status><a type=\"integer\">7</a><b type=\"float\">1.5</b>"
              "<c type=\"string\">hello</c><d type=\"boolean\">true</d>"
              "<e type=\"symconst\">RUNNING</e><f type=\"integer\">-3</f>"
              "<g type=\"float\">-0.25</g><note type=\"string\">x&amp;y</note>"
              "<phase type=\"symconst\"></phase>" +
                  tail + "</Status>\n");
}

TEST_F(PayloadTest, UnknownFieldsProduceNothingAndConsumeNoValue) {
    const int integers[] = {7};
    const char* texts[] = {"kept"};
    const std::string expected = "<R><n type=\"integer\">7</n><t type=\"string\">kept</t>"
                                 "<phase type=\"symconst\"></phase>" +
                                 tail + "</R>\n";
    const char* formats[] = {
        "a=%x n=%i t=%s",     // unknown letter
        "n=%i plain t=%s",    // no type at all
        "n=%i  t=%s",         // empty field between two blanks
        "n=%i b=%ss t=%s",    // more than one letter
        "n=%i c=% t=%s",      // nothing after %
        "phase=%q n=%i t=%s", // an unknown phase field leaves the trailing phase
    };
    for (const char* format : formats)
        EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "R", format, integers, nullptr, texts),
                  expected)
            << format;
}

TEST_F(PayloadTest, MissingValuesReadAsEmpty) {
    const char* texts[] = {nullptr};
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "R", "m=%s i=%i r=%r", nullptr, nullptr, texts),
              "<R><m type=\"string\"></m><i type=\"integer\">0</i><r type=\"float\">0</r>"
              "<phase type=\"symconst\"></phase>" +
                  tail + "</R>\n");
}

struct EscapeCase {
    const char* key;
    const char* value;
    const char* direct;
    const char* jabber;
};

TEST_F(PayloadTest, StringFieldsAreEscapedOnlyUnderTheVariantsKeys) {
    const EscapeCase cases[] = {
        {"heading", "<<a>>", "&lt;&lt;a&gt;&gt;", "&lt;&lt;a&gt;&gt;"},
        {"stepName", "a&b", "a&amp;b", "a&amp;b"},
        {"message", "<i>x</i>", "&lt;i&gt;x&lt;/i&gt;", "<i>x</i>"},
        {"file", "a>b&amp;c", "a&gt;b&amp;amp;c", "a>b&amp;c"},
        {"note", "<b/>&amp;", "<b/>&amp;", "<b/>&amp;"},
        {"Message", "<br/>", "<br/>", "<br/>"},      // keys compare case-sensitively
        {"heading", "&lt;", "&amp;lt;", "&amp;lt;"}, // ampersands first, once
    };
    for (const EscapeCase& c : cases) {
        const std::string format = std::string(c.key) + "=%s";
        const char* texts[] = {c.value};
        for (int v = 0; v < 2; ++v) {
            const ipm_PayloadEncoder& variant =
                v == 0 ? ipm_PayloadEncoder::Direct() : ipm_PayloadEncoder::Jabber();
            EXPECT_EQ(Encode(variant, "R", format.c_str(), nullptr, nullptr, texts),
                      OneField(c.key, "string", v == 0 ? c.direct : c.jabber))
                << c.key << " " << c.value << (v == 0 ? " direct" : " jabber");
        }
    }
}

TEST_F(PayloadTest, OtherValuesAreKeptWhenWellFormedAndWrittenAsTextOtherwise) {
    Transmitter().SetPhase("<p&>");
    const char* texts[] = {"<b>", "<e&>", "<i>ok</i>"};
    EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "R", "heading=%b message=%e note=%s", nullptr,
                     nullptr, texts, false, "j<&>"),
              "<R><heading type=\"boolean\">&lt;b&gt;</heading>"
              "<message type=\"symconst\">&lt;e&amp;&gt;</message>"
              "<note type=\"string\"><i>ok</i></note>"
              "<phase type=\"symconst\">&lt;p&amp;&gt;</phase>"
              "<jobName type=\"string\">j&lt;&amp;&gt;</jobName></R>\n");
}

struct RealCase {
    double value;
    const char* direct;
    const char* jabber;
};

TEST_F(PayloadTest, DirectVariantClampsRealsTheFloatRangeCannotHoldKeepingTheirSign) {
    const double inf = std::numeric_limits<double>::infinity();
    const RealCase cases[] = {
        {std::nan(""), "3.4028234663852886e+38", "nan"},
        {inf, "3.4028234663852886e+38", "inf"},
        {-inf, "-3.4028234663852886e+38", "-inf"},
        {-1e39, "-3.4028234663852886e+38", "-1e+39"},
        {-1e300, "-3.4028234663852886e+38", "-1e+300"},
        {-3.5e38, "-3.4028234663852886e+38", "-3.5e+38"},
        {1e39, "3.4028234663852886e+38", "1e+39"},
        {1e300, "3.4028234663852886e+38", "1e+300"},
        {3.4028234663852886e+38, "3.4028234663852886e+38", "3.4028234663852886e+38"},
        {-3.4028234663852886e+38, "-3.4028234663852886e+38", "-3.4028234663852886e+38"},
        {0.1, "0.1", "0.1"},
        {-2.5e-300, "-2.5e-300", "-2.5e-300"},
    };
    for (const RealCase& c : cases) {
        const double reals[] = {c.value};
        EXPECT_EQ(Encode(ipm_PayloadEncoder::Direct(), "R", "v=%r", nullptr, reals, nullptr),
                  OneField("v", "float", c.direct))
            << c.value;
        EXPECT_EQ(Encode(ipm_PayloadEncoder::Jabber(), "R", "v=%r", nullptr, reals, nullptr),
                  OneField("v", "float", c.jabber))
            << c.value;
    }
}

TEST_F(PayloadTest, PhaseFieldUpdatesThePhaseThatLaterReportsCarry) {
    const char* texts[] = {"Setup", "Mesh"};
    const std::string first =
        Encode(ipm_PayloadEncoder::Direct(), "Step", "phase=%e step=%e", nullptr, nullptr, texts);
    EXPECT_EQ(first, "<Step><phase type=\"symconst\">Setup</phase><step type=\"symconst\">Mesh"
                     "</step>" +
                         tail + "</Step>\n");
    EXPECT_EQ(StoredPhase(), "Mesh") << "every symconst from the phase field on wins";

    EXPECT_NE(Encode(ipm_PayloadEncoder::Direct(), "Info", "", nullptr, nullptr, nullptr)
                  .find("<phase type=\"symconst\">Mesh</phase>"),
              std::string::npos);

    const char* before[] = {"Early", "Solve"};
    Encode(ipm_PayloadEncoder::Jabber(), "Step", "step=%e phase=%e", nullptr, nullptr, before);
    EXPECT_EQ(StoredPhase(), "Solve") << "a symconst before the phase field does not count";

    const char* asString[] = {"Ignored"};
    const std::string stringPhase =
        Encode(ipm_PayloadEncoder::Direct(), "Step", "phase=%s", nullptr, nullptr, asString);
    EXPECT_EQ(stringPhase, "<Step><phase type=\"string\">Ignored</phase>" + tail + "</Step>\n")
        << "a phase field of another type suppresses the trailing phase";
    EXPECT_EQ(StoredPhase(), "Solve") << "but does not update it";
}

TEST_F(PayloadTest, TransportsEncodeWithTheirOwnJobName) {
    auto recording = std::make_shared<Recording>();
    RecordingMechanism direct(recording, ipm_PayloadEncoder::Direct());
    RecordingMechanism jabber(recording, ipm_PayloadEncoder::Jabber());
    direct.SetJobName("d");
    jabber.SetJobName("j");
    const char* texts[] = {"<b/>"};
    EXPECT_EQ(std::string(direct.Encode("R", "message=%s", nullptr, nullptr, texts, false).c_str()),
              "<R><message type=\"string\">&lt;b/&gt;</message><phase type=\"symconst\"></phase>"
              "<jobName type=\"string\">d</jobName></R>\n");
    EXPECT_EQ(std::string(jabber.Encode("R", "message=%s", nullptr, nullptr, texts, false).c_str()),
              "<R><message type=\"string\"><b/></message><phase type=\"symconst\"></phase>"
              "<jobName type=\"string\">j</jobName></R>\n");
}

} // namespace
