#include "ipm_DirectHost.h"

#include "base/base_Modules.h"
#include "ipm/ipm_ReportingScope.h"
#include "ipm/ipm_startReporting.h"

#include <gtest/gtest.h>

#include <algorithm>

// The C start-up calls as a host uses them: options in, one answer out, a delivery thread of
// the library's own, real sockets on loopback for the monitor.
using namespace ipm_test;

namespace {

int Start(const std::vector<std::string>& options) {
    std::vector<const char*> argv{"job_under_test"};
    for (const std::string& option : options)
        argv.push_back(option.c_str());
    return ipm_startReporting(int(argv.size()), argv.data());
}

std::vector<std::string> ReportingInto(const TempDir& dir, std::vector<std::string> more = {}) {
    std::vector<std::string> options{"-job", "beam", "-message", "on", "-indir", dir.Path()};
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

std::vector<std::string> DirectTo(const TempDir& dir, const csp_TcpSocket& listener) {
    return ReportingInto(dir, {"-listener_name", "127.0.0.1", "-direct_port",
                               std::to_string(listener.name().getPort())});
}

int LineCount(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::string::size_type at = text.find(part); at != std::string::npos;
         at = text.find(part, at + 1))
        ++count;
    return count;
}

// A connection waits at the listener within the time.
bool ConnectionWaiting(const csp_TcpSocket& listener, long microseconds) {
    return wsa::waitUntilReadable(listener.getDescriptor(), microseconds) == 1;
}

std::atomic<int> handlerCalls{0};

extern "C" void countKill() {
    ++handlerCalls;
}

// A careless host: its kill handler, which runs on the library's delivery thread, stops and
// starts reporting itself.
extern "C" void stopOnKill() {
    ++handlerCalls;
    ipm_stopReporting();
    ipm_startReporting(0, nullptr);
}

class ipm_StartReporting : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        librariesUp = bas_moduleUseCount("atr");
    }
    void TearDown() override { Reset(); }

    // The library as it was before the test: no transmitter, no user of the modules added.
    bool NothingLeftUp() const {
        return thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance() == nullptr &&
               bas_moduleUseCount("atr") == librariesUp;
    }

    static void Reset() {
        ipm_stopReporting();
        DestroyTransmitter();
        eli_setkillhandler(nullptr);
        eli_resetkillsig();
        handlerCalls = 0;
    }

    // Made first and gone last: the transmitters that start-up makes keep it, so that the
    // delivery task's spacing and retries cost no real time.
    DrivenClock clock;
    TempDir dir;
    int librariesUp = 0;
};

TEST_F(ipm_StartReporting, EachOptionThatLeavesSomethingOffIsNamedOnOneLine) {
    struct Case {
        std::vector<std::string> options;
        int answer;
        const char* said; // empty: nothing said
        bool recorded;
    };
    const std::string missing = dir.File("missing");
    const Case cases[] = {
        {{}, IPM_REPORTING_OFF, "no -job option", false},
        {{"-job", "beam", "-indir", dir.Path()}, IPM_REPORTING_OFF, "no -message option", false},
        {{"-job", "beam", "-message", "NONE", "-indir", dir.Path()},
         IPM_REPORTING_OFF,
         "-message NONE: reporting is off",
         false},
        {{"-job", "../beam", "-message", "on", "-indir", dir.Path()},
         IPM_REPORTING_OFF,
         "-job \"../beam\" is not a plain file name",
         false},
        {{"-job", "beam", "-message", "on", "-indir", missing},
         IPM_REPORTING_OFF,
         "check -indir): the reports are neither recorded nor delivered",
         false},
        {ReportingInto(dir, {"-direct_port", "abc"}), IPM_DELIVERY_OFF, "-direct_port \"abc\"",
         true},
        {ReportingInto(dir, {"-direct_port", "65536"}), IPM_DELIVERY_OFF, "-direct_port \"65536\"",
         true},
        {ReportingInto(dir, {"msgserver="}), IPM_DELIVERY_OFF, "-msgserver \"\"", true},
        {ReportingInto(dir, {"-msgserver", "localhost:0"}), IPM_DELIVERY_OFF,
         "-msgserver \"localhost:0\"", true},
        {ReportingInto(dir), IPM_REPORTING_ON, "", true},
        {ReportingInto(dir, {"-message", "none"}), IPM_REPORTING_ON, "", true},
    };
    for (const Case& c : cases) {
        std::string context;
        for (const std::string& option : c.options)
            context += option + " ";
        SCOPED_TRACE(context);
        std::remove(dir.File("beam.ipm").c_str());
        CapturedWarnings said;
        EXPECT_EQ(Start(c.options), c.answer);
        Report("Info", "r1");
        ipm_stopReporting();
        const std::string text = said.Text();
        if (*c.said == '\0') {
            EXPECT_EQ(text, "");
        } else {
            EXPECT_EQ(LineCount(text), 1) << text;
            EXPECT_NE(text.find(c.said), std::string::npos) << text;
        }
        EXPECT_EQ(ReadFile(dir.File("beam.ipm")), c.recorded ? InfoPayload("r1") : "");
        EXPECT_TRUE(NothingLeftUp());
    }
}

TEST_F(ipm_StartReporting, AnOptionThatLooksLikeOneOfTheLibrarysMisspeltIsToldOnce) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> told; // each on a line of its own; nothing else misspelt
    };
    const std::string meant = "\": did you mean ";
    const Case cases[] = {
        {ReportingInto(dir, {"-direct-port", "5001"}),
         {"\"-direct-port" + meant + "-direct_port?"}},
        {{"--job", "beam", "-message", "on"}, {"\"--job" + meant + "-job?"}},
        {ReportingInto(dir, {"-msgServer", "localhost", "-JOB", "x"}),
         {"\"-msgServer" + meant + "-msgserver?", "\"-JOB" + meant + "-job?"}},
        {{"-job", "beam", "-mesage", "on", "-listner_nam", "h"},
         {"\"-mesage" + meant + "-message?", "\"-listner_nam" + meant + "-listener_name?"}},
        {ReportingInto(dir, {"-direct-port", "1", "-direct-port", "2"}),
         {"\"-direct-port" + meant + "-direct_port?"}},
        // The host's own options: one edit from a library option that is given, or far from all.
        {ReportingInto(dir, {"-jobs", "3", "-messages", "-steps", "3", "-verbose"}), {}},
        {ReportingInto(dir, {"-jab", "3", "-indirect", "x", "-j", "1"}), {}},
    };
    for (const Case& c : cases) {
        std::string context;
        for (const std::string& option : c.options)
            context += option + " ";
        SCOPED_TRACE(context);
        CapturedWarnings said;
        Start(c.options);
        ipm_stopReporting();
        const std::string text = said.Text();
        for (const std::string& line : c.told)
            EXPECT_NE(text.find("the library ignores the option " + line + "\n"), std::string::npos)
                << text;
        EXPECT_EQ(int(c.told.size()), CountOf(text, "the library ignores")) << text;
    }

    // Read again by a late start, the same command line is not told twice.
    const std::vector<std::string> early{"-direct-port", "1"};
    CapturedWarnings said;
    SetCommandLine(early);
    Report("Info", "before the start");
    EXPECT_EQ(Start(ReportingInto(dir, early)), IPM_REPORTING_ON);
    ipm_stopReporting();
    EXPECT_EQ(CountOf(said.Text(), "the library ignores"), 1) << said.Text();
}

TEST_F(ipm_StartReporting, ReportsReachTheMonitorInOrderAndTheMessageFileHoldsThemAll) {
    csp_TcpSocket listener = csp_test::loopbackListener();
    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON);
    for (int n = 1; n <= 5; ++n)
        Report("Info", "r" + std::to_string(n));
    csp_TcpSocket monitor = listener.acceptConnection();
    const std::string received = ReadUntil(monitor, InfoPayload("r5"));
    ipm_stopReporting();
    EXPECT_EQ(received, WireOf(ReadFile(dir.File("beam.ipm"))));
    EXPECT_EQ(Lines(ReadFile(dir.File("beam.ipm"))).size(), 5u);
    EXPECT_EQ(ReadUpTo(monitor, 1), "") << "stopping ends the connection";
    EXPECT_TRUE(NothingLeftUp());
}

TEST_F(ipm_StartReporting, StopDeliversWhatWaitsBeforeItReturns) {
    csp_TcpSocket listener = csp_test::loopbackListener();
    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON);
    for (int n = 1; n <= 20; ++n)
        Report("Info", "r" + std::to_string(n));
    csp_TcpSocket monitor = listener.acceptConnection();
    ipm_stopReporting();
    const std::string received = ReadUpTo(monitor, 1 << 20);
    EXPECT_EQ(received, WireOf(ReadFile(dir.File("beam.ipm"))));
}

TEST_F(ipm_StartReporting, AMessageFileThatCannotBeWrittenLeavesDeliveryOn) {
    csp_TcpSocket listener = csp_test::loopbackListener();
    std::vector<std::string> options = DirectTo(dir, listener);
    options[5] = dir.File("missing");
    CapturedWarnings said;
    ASSERT_EQ(Start(options), IPM_RECORDING_OFF);
    Report("Info", "r1");
    csp_TcpSocket monitor = listener.acceptConnection();
    EXPECT_EQ(ReadUntil(monitor, InfoPayload("r1")), "beam" + InfoPayload("r1"));
    ipm_stopReporting();
    EXPECT_NE(said.Text().find("the reports are delivered but not recorded"), std::string::npos)
        << said.Text();
    EXPECT_EQ(LineCount(said.Text()), 1);
}

TEST_F(ipm_StartReporting, StartingTwiceChangesNothingAndStoppingTwiceOrFirstIsHarmless) {
    ipm_stopReporting();
    EXPECT_TRUE(NothingLeftUp());
    csp_TcpSocket listener = csp_test::loopbackListener();
    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON);
    {
        CapturedWarnings said;
        EXPECT_EQ(Start({"-job", "other", "-message", "NONE"}), IPM_REPORTING_ON);
        EXPECT_EQ(ipm_startReporting(0, nullptr), IPM_REPORTING_ON);
        EXPECT_EQ(said.Text(), "");
    }
    EXPECT_EQ(bas_moduleUseCount("atr"), librariesUp + 1);
    EXPECT_EQ(std::string(ipm_MessageTransmit::Instance().GetJobName().c_str()), "beam");
    Report("Info", "r1");
    csp_TcpSocket monitor = listener.acceptConnection();
    EXPECT_EQ(ReadUntil(monitor, InfoPayload("r1")), "beam" + InfoPayload("r1"));
    EXPECT_FALSE(ConnectionWaiting(listener, 300000)) << "one delivery thread, one connection";
    ipm_stopReporting();
    ipm_stopReporting();
    EXPECT_TRUE(NothingLeftUp());

    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON) << "a later start begins anew";
    Report("Info", "r2");
    monitor = listener.acceptConnection();
    EXPECT_EQ(ReadUntil(monitor, InfoPayload("r2")), "beam" + InfoPayload("r2"));
}

TEST_F(ipm_StartReporting, OptionsGivenAtStartApplyToReportingThatAnEarlierReportLeftOff) {
    SetCommandLine({});
    Report("Info", "early");
    ASSERT_NE(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance(), nullptr);
    ASSERT_EQ(Start(ReportingInto(dir)), IPM_REPORTING_ON);
    Report("Info", "late");
    ipm_stopReporting();
    EXPECT_EQ(ReadFile(dir.File("beam.ipm")), InfoPayload("late"));
}

TEST_F(ipm_StartReporting, WithoutArgumentsTheOptionsTheLibraryHasApply) {
    SetCommandLine(ReportingInto(dir));
    ASSERT_EQ(ipm_startReporting(0, nullptr), IPM_REPORTING_ON);
    Report("Info", "r1");
    ipm_stopReporting();
    EXPECT_EQ(ReadFile(dir.File("beam.ipm")), InfoPayload("r1"));
}

TEST_F(ipm_StartReporting, TheMonitorsKillReachesAPollingHostAndAHandler) {
    eli_setkillhandler(countKill);
    csp_TcpSocket listener = csp_test::loopbackListener();
    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON);
    Report("Info", "r1");
    csp_TcpSocket monitor = listener.acceptConnection();
    ReadUntil(monitor, InfoPayload("r1"));
    EXPECT_EQ(ipm_killRequested(), 0);
    csp_test::writeText(monitor, "Kill");
    EXPECT_TRUE(Eventually([] { return ipm_killRequested() == 1; }));
    EXPECT_EQ(handlerCalls.load(), 1);
    ipm_stopReporting();
    EXPECT_EQ(ipm_killRequested(), 1) << "still asked to stop after reporting stopped";
}

TEST_F(ipm_StartReporting, AKillHandlerThatStopsOrStartsReportingNeitherHangsNorEndsDelivery) {
    eli_setkillhandler(stopOnKill);
    csp_TcpSocket listener = csp_test::loopbackListener();
    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON);
    Report("Info", "r1");
    csp_TcpSocket monitor = listener.acceptConnection();
    ReadUntil(monitor, InfoPayload("r1"));
    csp_test::writeText(monitor, "Kill");
    ASSERT_TRUE(Eventually([] { return handlerCalls.load() == 1; }));
    Report("Info", "r2");
    EXPECT_EQ(ReadUntil(monitor, InfoPayload("r2")), InfoPayload("r2"));
    ipm_stopReporting();
    EXPECT_TRUE(NothingLeftUp());
}

TEST_F(ipm_StartReporting, StopKeepsItsDeadlineWithAMonitorThatNeverReads) {
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "1");
    csp_TcpSocket listener(csp_TcpSocket::doNotBind);
    listener.setReceiveBufferSize(2048);
    listener.bind(csp_test::loopback(0));
    listener.listen(4);
    // The delivery thread waits on the network; the stop's deadline is the clock's to skip to.
    DrivenClock clock(DrivenClock::taskNotAwaited);
    SetCommandLine(DirectTo(dir, listener));
    ipm_MessageTransmit::Instance().SetClock(clock);
    ASSERT_EQ(Start(DirectTo(dir, listener)), IPM_REPORTING_ON);
    csp_TcpSocket monitor = listener.acceptConnection();
    const std::string large(8000, 'x');
    for (int n = 1; n <= 60; ++n)
        Report("Info", "r" + std::to_string(n) + " " + large);
    const Clock::time_point stopping = Clock::now();
    ipm_stopReporting();
    EXPECT_LT(SecondsSince(stopping), 15.0) << "1 s to deliver, then the write is given up on";
    EXPECT_EQ(Lines(ReadFile(dir.File("beam.ipm"))).size(), 60u);
    EXPECT_TRUE(NothingLeftUp());
}

TEST_F(ipm_StartReporting, AServerOptionChoosesJabberOverADirectPort) {
    ScopedEnv deadline("IPM_SHUTDOWN_SECONDS", "0");
    csp_TcpSocket server = csp_test::loopbackListener();
    CapturedWarnings said;
    ASSERT_EQ(Start(ReportingInto(dir, {"-msgserver",
                                        "127.0.0.1:" + std::to_string(server.name().getPort()),
                                        "-direct_port", "1"})),
              IPM_REPORTING_ON);
    EXPECT_NE(said.Text().find("-direct_port is ignored"), std::string::npos) << said.Text();
    csp_TcpSocket connection = server.acceptConnection();
    EXPECT_NE(ReadUntil(connection, "<stream:stream").find("<stream:stream"), std::string::npos);
    ipm_stopReporting();
    EXPECT_TRUE(NothingLeftUp());
}

TEST_F(ipm_StartReporting, TheScopeHoldsReportingUntilItIsLeft) {
    const std::vector<std::string> options = ReportingInto(dir);
    std::vector<const char*> argv{"job_under_test"};
    for (const std::string& option : options)
        argv.push_back(option.c_str());
    {
        const ipm_ReportingScope reporting(int(argv.size()), argv.data());
        EXPECT_TRUE(reporting.IsOn());
        EXPECT_EQ(reporting.Answer(), IPM_REPORTING_ON);
        EXPECT_FALSE(ipm_ReportingScope::KillRequested());
        Report("Info", "r1");
        EXPECT_EQ(bas_moduleUseCount("atr"), librariesUp + 1);
    }
    EXPECT_TRUE(NothingLeftUp());
    EXPECT_EQ(ReadFile(dir.File("beam.ipm")), InfoPayload("r1"));
}

} // namespace
