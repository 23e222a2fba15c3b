#include "ipm_TestSupport.h"

#include "base/omi_AlertListener.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_EnvironmentSetting.h"
#include "ipm/ipm_sendMessage.h"

#include <gtest/gtest.h>

#include <functional>

using namespace ipm_test;

namespace {

std::vector<std::string> Buffered(ipm_MessageTransmit& transmitter) {
    const cow_List<cow_String> buffer = transmitter.GetMessageBuffer();
    std::vector<std::string> reports;
    for (int i = 0; i < buffer.Count(); ++i)
        reports.emplace_back(buffer.ConstGet(i).c_str());
    return reports;
}

void Report(const char* type, const char* text) {
    const char* texts[] = {text};
    ASSERT_EQ(ipm_sendMessage(type, "message=%s", nullptr, nullptr, texts), 0);
}

std::string Payload(const char* type, const std::string& message) {
    return std::string("<") + type + "><message type=\"string\">" + message +
           "</message><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></" +
           type + ">\n";
}

const std::string errorNotice =
    Payload("Error", "Error message limit reached. No further error messages will be reported.\n"
                     "Please see the dat file for more errors.");
const std::string warningNotice =
    Payload("Warning", "Warning message limit reached. No further warning messages will be "
                       "reported.\nPlease see the dat file for more warnings.");

struct CapCase {
    const char* value;
    int errors;
    int warnings;
    int pending;
};

// What a user may type: only plain decimal numbers in range count; a number with anything
// around it is not what it seems ("1e6" is not 1, "5s" not 5), so it keeps the default.
TEST(ipm_MessageTransmitSettings, CapsAndTheBacklogBoundCountOnlyPlainDecimalNumbersInRange) {
    const CapCase cases[] = {
        {nullptr, 50, 200, 1000},
        {"", 50, 200, 1000},
        {"7", 7, 7, 7},
        {"007", 7, 7, 7},
        {"1e6", 50, 200, 1000},
        {"12abc", 50, 200, 1000},
        {" 3", 50, 200, 1000},
        {"3 ", 50, 200, 1000},
        {"+3", 50, 200, 1000},
        {"0", 50, 200, 1000},
        {"-5", 50, 200, 1000},
        {"abc", 50, 200, 1000},
        {"0x10", 50, 200, 1000},
        {"99999999999", 50, 200, 1000},
        {"10000000", 10000000, 10000000, 10000000},
        {"1000000000", 1000000000, 1000000000, 1000},
        {"1000000001", 50, 200, 1000},
    };
    SetCommandLine({});
    for (const CapCase& c : cases) {
        ScopedEnv errors("MAX_ERROR_MESSAGES", c.value);
        ScopedEnv warnings("MAX_WARNING_MESSAGES", c.value);
        ScopedEnv pending("MAX_PENDING_MESSAGES", c.value);
        DestroyTransmitter();
        ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
        const char* shown = c.value ? c.value : "unset";
        EXPECT_EQ(transmitter.GetMaxErrorMessages(), c.errors) << shown;
        EXPECT_EQ(transmitter.GetMaxWarningMessages(), c.warnings) << shown;
        EXPECT_EQ(transmitter.GetMaxPendingMessages(), c.pending) << shown;
    }
    DestroyTransmitter();
}

// IPM_SHUTDOWN_SECONDS is read the same way; a variable of the test's own stands in for it,
// so that what is said once per process is said here.
TEST(ipm_MessageTransmitSettings, AValueThatIsRefusedIsToldOnceWithTheDefaultInItsPlace) {
    const char* const name = "IPM_TEST_SHUTDOWN_SECONDS";
    CapturedWarnings warnings;
    const std::pair<const char*, int> cases[] = {{"5s", 30},  {"-1", 30},       {"86401", 30},
                                                 {"0", 0},    {"86400", 86400}, {"", 30},
                                                 {"5.0", 30}, {"45", 45}};
    for (const auto& c : cases) {
        ScopedEnv value(name, c.first);
        EXPECT_EQ(ipm_EnvironmentSetting::Read(name, 0, 86400, 30), c.second) << c.first;
    }
    EXPECT_EQ(warnings.Text(), "QORKelCommunications: IPM_TEST_SHUTDOWN_SECONDS=\"5s\" is not a "
                               "whole number from 0 to 86400: the default 30 is used\n");
}

struct SwitchCase {
    std::vector<std::string> options;
    bool enabled;
    const char* jobName;
};

TEST(ipm_MessageTransmitSettings, ReportingIsOnOnlyWithAJobAndAMessageOtherThanNONE) {
    const SwitchCase cases[] = {
        {{"-job", "beam", "-message", "on"}, true, "beam"},
        {{"job=beam", "message=none"}, true, "beam"},
        {{"-job", "beam", "-message", "NONE"}, false, "beam"},
        {{"-job", "beam"}, false, "beam"},
        {{"-message", "on"}, false, "Unknown"},
        {{}, false, "Unknown"},
    };
    for (const SwitchCase& c : cases) {
        SetCommandLine(c.options);
        DestroyTransmitter();
        EXPECT_EQ(ipm_MessageTransmit::Instance().IsEnabled(), c.enabled) << c.options.size();
        EXPECT_STREQ(ipm_MessageTransmit::Instance().GetJobName().c_str(), c.jobName);
    }
    DestroyTransmitter();
}

class ipm_Reporting : public ::testing::Test {
protected:
    void TearDown() override { DestroyTransmitter(); }
};

TEST_F(ipm_Reporting, ErrorsPastTheCapReachOnlyTheMessageFileAfterOneNotice) {
    ScopedEnv unsetErrors("MAX_ERROR_MESSAGES", nullptr);
    ReportingJob job;
    std::string expectedFile;
    std::vector<std::string> expectedBuffer;
    for (int i = 1; i <= 52; ++i) {
        const std::string text = "e" + std::to_string(i);
        Report("Error", text.c_str());
        expectedFile += Payload("Error", text);
        if (i <= 50)
            expectedBuffer.push_back(Payload("Error", text));
        if (i == 50) {
            expectedFile += errorNotice;
            expectedBuffer.push_back(errorNotice);
        }
    }
    EXPECT_EQ(job.MessageFileText(), expectedFile);
    EXPECT_EQ(Buffered(job.Transmitter()), expectedBuffer);
    EXPECT_EQ(job.Transmitter().GetErrorCount(), 53) << "the notice is counted too";
}

TEST_F(ipm_Reporting, WarningCapFromTheEnvironmentStopsTransmissionAfterTheFirst) {
    ScopedEnv warnings("MAX_WARNING_MESSAGES", "1");
    ReportingJob job;
    Report("Warning", "w1");
    Report("Warning", "w2");
    Report("Error", "e1");
    EXPECT_EQ(Buffered(job.Transmitter()),
              (std::vector<std::string>{Payload("Warning", "w1"), warningNotice,
                                        Payload("Error", "e1")}));
    EXPECT_EQ(job.MessageFileText(), Payload("Warning", "w1") + warningNotice +
                                         Payload("Warning", "w2") + Payload("Error", "e1"));
}

TEST_F(ipm_Reporting, BothNoticesDueInOneCallComeErrorFirst) {
    ScopedEnv errors("MAX_ERROR_MESSAGES", "1");
    ScopedEnv warnings("MAX_WARNING_MESSAGES", "2");
    ReportingJob job;
    // Two forced warnings reach the cap without a notice of their own.
    job.Transmitter().BufferMessage("w\n", "Warning", true);
    job.Transmitter().BufferMessage("w\n", "Warning", true);
    Report("Error", "e1");
    EXPECT_EQ(job.MessageFileText(),
              "w\nw\n" + Payload("Error", "e1") + errorNotice + warningNotice);
    Report("Info", "later");
    EXPECT_EQ(job.MessageFileText(), "w\nw\n" + Payload("Error", "e1") + errorNotice +
                                         warningNotice + Payload("Info", "later"))
        << "each notice is produced once per process";
}

TEST_F(ipm_Reporting, ANoticeThatCouldNotBeCountedIsStillProducedOnlyOnce) {
    ScopedEnv warnings("MAX_WARNING_MESSAGES", "1");
    ReportingJob job;
    job.Transmitter().BufferMessage("w\n", "Warning", true);
    // With transmission off the notice is not counted, so the count stays at its cap.
    job.Transmitter().Disable();
    Report("Info", "a");
    Report("Info", "b");
    EXPECT_EQ(job.Transmitter().GetWarningCount(), 1);
    EXPECT_EQ(job.MessageFileText(),
              "w\n" + Payload("Info", "a") + warningNotice + Payload("Info", "b"));
}

TEST_F(ipm_Reporting, AForcedReportPastTheCapIsBufferedAndCounted) {
    ScopedEnv errors("MAX_ERROR_MESSAGES", "1");
    ReportingJob job;
    Report("Error", "e1");
    job.Transmitter().BufferMessage("unforced\n", "Error", false);
    job.Transmitter().BufferMessage("forced\n", "Error", true);
    const cow_List<cow_String> buffer = job.Transmitter().GetMessageBuffer();
    ASSERT_EQ(buffer.Count(), 3);
    EXPECT_STREQ(buffer.ConstGet(2).c_str(), "forced\n");
    EXPECT_EQ(job.Transmitter().GetErrorCount(), 4);
}

TEST_F(ipm_Reporting, OnlyExactErrorAndWarningTypesAreCapped) {
    ScopedEnv errors("MAX_ERROR_MESSAGES", "1");
    ScopedEnv warnings("MAX_WARNING_MESSAGES", "1");
    ReportingJob job;
    // The type as given, and as the payload names it (a blank cannot stand in a name).
    const char* types[][2] = {{"Errors", "Errors"},   {"error", "error"},
                              {"ERROR", "ERROR"},     {"Warnings", "Warnings"},
                              {"warning", "warning"}, {" Error", "_Error"}};
    std::vector<std::string> expected;
    for (int round = 0; round < 3; ++round)
        for (const auto& type : types) {
            Report(type[0], "x");
            expected.push_back(Payload(type[1], "x"));
        }
    EXPECT_EQ(Buffered(job.Transmitter()), expected);
    EXPECT_EQ(job.Transmitter().GetErrorCount(), 0);
    EXPECT_EQ(job.Transmitter().GetWarningCount(), 0);
}

TEST_F(ipm_Reporting, AnyTypeMentioningStartedIsTheStartReport) {
    ReportingJob job;
    ASSERT_TRUE(job.Transmitter().InitializeMechanism()); // the direct calls need it up
    omi_Singleton<omi_AlertListener>::Instance().SetHandle(99);
    const std::string started = "<Started><phase type=\"symconst\"></phase><jobName "
                                "type=\"string\">beam</jobName><clientHost type=\"string\">" +
                                std::string(utl_getHostName().c_str()) +
                                "</clientHost><handle type=\"integer\">99</handle></Started>\n";
    const char* startedTypes[] = {"Started", "JobStarted", "Started now", "aStartedb"};
    for (const char* type : startedTypes) {
        ipm_sendMessage(type, "", nullptr, nullptr, nullptr);
        ipm_sendMessageDirect(type, "", nullptr, nullptr, nullptr);
    }
    const char* otherTypes[] = {"started", "Start", "STARTED"};
    for (const char* type : otherTypes)
        ipm_sendMessage(type, "", nullptr, nullptr, nullptr);

    const std::vector<std::string> buffered = Buffered(job.Transmitter());
    ASSERT_EQ(buffered.size(), 7u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(buffered[i], started) << startedTypes[i];
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(buffered[4 + i], std::string("<") + otherTypes[i] +
                                       "><phase type=\"symconst\"></phase><jobName "
                                       "type=\"string\">beam</jobName></" +
                                       otherTypes[i] + ">\n");
    EXPECT_EQ(job.recording->Transmitted(), std::vector<std::string>(4, started))
        << "the direct call normalises the same way";
}

TEST_F(ipm_Reporting, MessageFileHoldsEveryBufferedReportFlushedAndAppendedAcrossRuns) {
    TempDir dir;
    const std::string file = dir.File("beam.ipm");
    auto recording = std::make_shared<Recording>();
    auto startRun = [&] {
        DestroyTransmitter();
        SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path()});
        ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording));
    };
    startRun();
    Report("Info", "100% done %s %n");
    // Read while the transmitter still has the file open: a crash now must not lose it.
    EXPECT_EQ(ReadFile(file), Payload("Info", "100% done %s %n"));
    ipm_MessageTransmit::Instance().Disable();
    Report("Info", "after disable");
    EXPECT_EQ(ReadFile(file),
              Payload("Info", "100% done %s %n") + Payload("Info", "after disable"));
    EXPECT_EQ(Buffered(ipm_MessageTransmit::Instance()).size(), 1u)
        << "reports after transmission was disabled are only logged";
    ipm_sendMessageDirect("Direct", "", nullptr, nullptr, nullptr);

    startRun();
    Report("Info", "second run");
    EXPECT_EQ(ReadFile(file), Payload("Info", "100% done %s %n") +
                                  Payload("Info", "after disable") + Payload("Info", "second run"))
        << "direct reports are never logged; an existing file is appended to";
}

TEST_F(ipm_Reporting, ReportingOffLeavesNoTraceAndNeverTouchesTheTransport) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"-message", "on"}, {"-job", "beam", "-message", "NONE"}, {"-job", "beam"}};
    for (const std::vector<std::string>& options : commandLines) {
        TempDir dir;
        std::vector<std::string> withDir = options;
        withDir.insert(withDir.end(), {"-indir", dir.Path()});
        DestroyTransmitter();
        SetCommandLine(withDir);
        auto recording = std::make_shared<Recording>();
        ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording));
        Report("Error", "lost");
        ipm_sendMessageDirect("Error", "message=%s", nullptr, nullptr, nullptr);
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << withDir.size();
        EXPECT_EQ(recording->InitializeCalls(), 0);
        EXPECT_TRUE(Buffered(ipm_MessageTransmit::Instance()).empty());
        EXPECT_TRUE(recording->Transmitted().empty())
            << "with reporting off the transport is never set up, so it takes nothing";
    }
}

TEST_F(ipm_Reporting, ReportsMadeBeforeATransportIsInstalledAreRecordedAndDeliveredLater) {
    TempDir dir;
    SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path()});
    DestroyTransmitter();
    Report("Info", "no transport yet");
    EXPECT_TRUE(ipm_MessageTransmit::Instance().IsEnabled());
    EXPECT_EQ(ReadFile(dir.File("beam.ipm")), Payload("Info", "no transport yet"));
    auto recording = std::make_shared<Recording>();
    ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording));
    Report("Info", "after");
    {
        TaskThread task;
        ASSERT_TRUE(Eventually([&] { return recording->Transmitted().size() == 2u; }));
    }
    EXPECT_EQ(
        recording->Transmitted(),
        (std::vector<std::string>{Payload("Info", "no transport yet"), Payload("Info", "after")}));
}

// The host's calls never set the transport up: that is the message task's work, so a
// listener that keeps a connect or a log-in waiting never holds the host.
TEST_F(ipm_Reporting, ReportingLeavesTheTransportAloneAndRecordsWhateverItDoes) {
    struct Case {
        const char* name;
        std::function<void(Recording&)> behave;
    };
    const Case cases[] = {
        {"answers false", [](Recording& r) { r.initializeResult = false; }},
        {"raises", [](Recording& r) { r.initializeFailuresToThrow = 5; }},
        {"never answers", [](Recording& r) { r.initializeHangs = true; }},
    };
    for (const Case& c : cases) {
        ReportingJob job;
        c.behave(*job.recording);
        TimedReporter host;
        host.ReportRange(1, 3);
        EXPECT_EQ(job.recording->InitializeCalls(), 0) << c.name;
        EXPECT_TRUE(job.Transmitter().IsEnabled()) << c.name;
        EXPECT_EQ(job.MessageFileText(),
                  Payload("Info", "r1") + Payload("Info", "r2") + Payload("Info", "r3"))
            << c.name;
        EXPECT_EQ(Buffered(job.Transmitter()).size(), 3u) << c.name;
        if (c.name == std::string("raises")) {
            EXPECT_THROW(job.Transmitter().InitializeMechanism(), std::runtime_error);
        } else if (c.name == std::string("answers false")) {
            EXPECT_FALSE(job.Transmitter().InitializeMechanism());
            EXPECT_TRUE(job.Transmitter().IsEnabled()) << "reporting stays on";
        }
        EXPECT_FALSE(job.Transmitter().IsMechanismReady()) << c.name;
    }
}

TEST_F(ipm_Reporting, AFailingDirectTransmissionDoesNotEscapeToTheHostAndMarksTheTransportDown) {
    ReportingJob job;
    ASSERT_TRUE(job.Transmitter().InitializeMechanism());
    job.recording->failTransmitNumber = 1;
    EXPECT_EQ(ipm_sendMessageDirect("Info", "", nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(job.recording->Transmitted().empty());
    EXPECT_TRUE(job.Transmitter().IsEnabled());
    EXPECT_FALSE(job.Transmitter().IsMechanismReady()) << "for the message task to set up again";
    EXPECT_EQ(ipm_sendMessageDirect("Info", "", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(job.recording->transmitCalls, 1) << "a transport that is down takes nothing";
}

TEST_F(ipm_Reporting, NullArgumentsAreHandledWithoutACrash) {
    ReportingJob job;
    EXPECT_EQ(ipm_sendMessage(nullptr, "message=%s", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ipm_sendMessageDirect(nullptr, "message=%s", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(job.recording->initializeCalls, 0) << "a null type reports nothing";
    EXPECT_TRUE(job.recording->Transmitted().empty());

    const char* texts[] = {nullptr};
    EXPECT_EQ(ipm_sendMessage("Info", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts), 0);
    EXPECT_EQ(ipm_sendMessage("Info", "n=%i", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Buffered(job.Transmitter()),
              (std::vector<std::string>{
                  "<Info><phase type=\"symconst\"></phase><jobName "
                  "type=\"string\">beam</jobName></Info>\n",
                  Payload("Info", ""),
                  "<Info><n type=\"integer\">0</n><phase type=\"symconst\"></phase><jobName "
                  "type=\"string\">beam</jobName></Info>\n"}));
}

TEST_F(ipm_Reporting, ReplacingTheTransportInterruptsAndDestroysTheOldOne) {
    ReportingJob job;
    ASSERT_TRUE(job.Transmitter().InitializeMechanism());
    auto second = std::make_shared<Recording>();
    auto* replacement = new RecordingMechanism(second);
    job.Transmitter().SetMechanism(replacement);
    EXPECT_EQ(job.recording->Interrupts(), 1);
    EXPECT_TRUE(job.recording->Destroyed());
    EXPECT_FALSE(job.Transmitter().IsMechanismReady()) << "the new one is set up before use";
    EXPECT_STREQ(replacement->GetJobName().c_str(), "beam");
    job.Transmitter().SetMechanism(replacement); // the same one again is kept
    EXPECT_FALSE(second->Destroyed());
    EXPECT_EQ(second->Interrupts(), 0);
    ASSERT_TRUE(job.Transmitter().InitializeMechanism());
    job.Transmitter().TransmitMessage("x");
    EXPECT_EQ(second->Transmitted(), std::vector<std::string>{"x"});
    DestroyTransmitter();
    EXPECT_TRUE(second->Destroyed());
}

TEST_F(ipm_Reporting, ATransportIsNotPolledBeforeItHasBeenInitialised) {
    ReportingJob job;
    job.Transmitter().PollMechanism();
    EXPECT_EQ(job.recording->Polls(), 0);
    Report("Info", "does not set it up");
    job.Transmitter().PollMechanism();
    EXPECT_EQ(job.recording->Polls(), 0);
    ASSERT_TRUE(job.Transmitter().InitializeMechanism());
    job.Transmitter().PollMechanism();
    EXPECT_EQ(job.recording->Polls(), 1);
    job.Transmitter().CloseMechanism();
    EXPECT_EQ(job.recording->closes, 1);
}

} // namespace
