#include "ipm_TestSupport.h"

#include "base/omi_AlertListener.h"
#include "base/thr_LockGuard.h"
#include "base/utl_HostName.h"
#include "ipm/ipm_sendMessage.h"

#include <gtest/gtest.h>

using namespace ipm_test;

namespace {

std::vector<std::string> Buffered(ipm_MessageTransmit& transmitter) {
    thr_LockGuard<thr_Mutex> lock(transmitter.GetBufferLock());
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
};

TEST(ipm_MessageTransmitSettings, CapsComeFromTheEnvironmentAndFallBackToTheDefaults) {
    const CapCase cases[] = {
        {nullptr, 50, 200}, {"0", 50, 200}, {"-5", 50, 200},   {"abc", 50, 200},
        {"", 50, 200},      {"7", 7, 7},    {"12abc", 12, 12}, {" 3", 3, 3},
    };
    SetCommandLine({});
    for (const CapCase& c : cases) {
        ScopedEnv errors("MAX_ERROR_MESSAGES", c.value);
        ScopedEnv warnings("MAX_WARNING_MESSAGES", c.value);
        DestroyTransmitter();
        ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
        EXPECT_EQ(transmitter.GetMaxErrorMessages(), c.errors) << (c.value ? c.value : "unset");
        EXPECT_EQ(transmitter.GetMaxWarningMessages(), c.warnings) << (c.value ? c.value : "unset");
    }
    DestroyTransmitter();
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
    {
        // Two forced warnings reach the cap without a notice of their own.
        thr_LockGuard<thr_Mutex> lock(job.Transmitter().GetBufferLock());
        job.Transmitter().BufferMessage("w\n", "Warning", true);
        job.Transmitter().BufferMessage("w\n", "Warning", true);
    }
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
    {
        thr_LockGuard<thr_Mutex> lock(job.Transmitter().GetBufferLock());
        job.Transmitter().BufferMessage("w\n", "Warning", true);
    }
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
    thr_LockGuard<thr_Mutex> lock(job.Transmitter().GetBufferLock());
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
        EXPECT_EQ(recording->initializeCalls, 0);
        EXPECT_TRUE(Buffered(ipm_MessageTransmit::Instance()).empty());
        EXPECT_EQ(recording->Transmitted(), std::vector<std::string>{""})
            << "the direct call hands empty text to an installed transport";
    }
}

TEST_F(ipm_Reporting, AFirstReportWithoutATransportSwitchesReportingOffForGood) {
    TempDir dir;
    SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path()});
    DestroyTransmitter();
    Report("Info", "no transport yet");
    EXPECT_FALSE(ipm_MessageTransmit::Instance().IsEnabled());
    auto recording = std::make_shared<Recording>();
    ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording));
    Report("Info", "too late");
    EXPECT_EQ(recording->initializeCalls, 0);
    EXPECT_FALSE(FileExists(dir.File("beam.ipm")));
}

TEST_F(ipm_Reporting, ATransportThatIsNotReadySwitchesReportingOff) {
    ReportingJob job;
    job.recording->initializeResult = false;
    Report("Info", "first");
    Report("Info", "second");
    EXPECT_EQ(job.recording->initializeCalls, 1);
    EXPECT_FALSE(job.Transmitter().IsEnabled());
    EXPECT_TRUE(job.Transmitter().IsFinished()) << "shut-down has nothing to wait for";
    EXPECT_TRUE(Buffered(job.Transmitter()).empty());
    EXPECT_EQ(job.MessageFileText(), "");
}

TEST_F(ipm_Reporting, ATransportThatRaisesWhileInitialisingIsTriedAgainByTheNextReport) {
    ReportingJob job;
    job.recording->initializeFailuresToThrow = 1;
    Report("Info", "not sent"); // must not throw through the C boundary
    EXPECT_TRUE(job.Transmitter().IsEnabled());
    EXPECT_FALSE(job.Transmitter().IsMechanismReady());
    Report("Info", "kept");
    EXPECT_EQ(job.recording->initializeCalls, 2);
    EXPECT_TRUE(job.Transmitter().IsMechanismReady());
    EXPECT_FALSE(job.Transmitter().IsFinished());
    EXPECT_EQ(Buffered(job.Transmitter()), std::vector<std::string>{Payload("Info", "kept")});
    EXPECT_EQ(job.MessageFileText(), Payload("Info", "not sent") + Payload("Info", "kept"))
        << "the report whose transport raised is still in the message file";
}

TEST_F(ipm_Reporting, AFailingDirectTransmissionDoesNotEscapeToTheHost) {
    ReportingJob job;
    job.recording->failTransmitNumber = 1;
    EXPECT_EQ(ipm_sendMessageDirect("Info", "", nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(job.recording->Transmitted().empty());
    EXPECT_TRUE(job.Transmitter().IsEnabled());
    EXPECT_FALSE(job.Transmitter().IsDisabled());
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

TEST_F(ipm_Reporting, ReplacingTheTransportDestroysTheOldOne) {
    ReportingJob job;
    Report("Info", "to the first");
    auto second = std::make_shared<Recording>();
    auto* replacement = new RecordingMechanism(second);
    job.Transmitter().SetMechanism(replacement);
    EXPECT_TRUE(job.recording->destroyed);
    EXPECT_STREQ(replacement->GetJobName().c_str(), "beam");
    job.Transmitter().SetMechanism(replacement); // the same one again is kept
    EXPECT_FALSE(second->destroyed);
    Report("Info", "to the second");
    EXPECT_EQ(second->initializeCalls, 1) << "the new transport is initialised before use";
    job.Transmitter().TransmitMessage("x");
    EXPECT_EQ(second->Transmitted(), std::vector<std::string>{"x"});
    DestroyTransmitter();
    EXPECT_TRUE(second->destroyed);
}

TEST_F(ipm_Reporting, ATransportIsNotPolledBeforeItHasBeenInitialised) {
    ReportingJob job;
    job.Transmitter().PollMechanism();
    EXPECT_EQ(job.recording->Polls(), 0);
    Report("Info", "initialises");
    job.Transmitter().PollMechanism();
    EXPECT_EQ(job.recording->Polls(), 1);
    job.Transmitter().CloseMechanism();
    EXPECT_EQ(job.recording->closes, 1);
}

} // namespace
