#include "ipm_TestSupport.h"

#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

// The message file records every report while reporting is on, and only where it belongs;
// the options that would put it elsewhere, or would aim delivery nowhere, are refused aloud.
using namespace ipm_test;

namespace {

void ReportInfo(const std::string& text) {
    const char* texts[] = {text.c_str()};
    ipm_sendMessage("Info", "message=%s", nullptr, nullptr, texts);
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class ipm_MessageFileTest : public ::testing::Test {
protected:
    void SetUp() override { DestroyTransmitter(); }
    void TearDown() override { DestroyTransmitter(); }
};

TEST_F(ipm_MessageFileTest, AJobNameThatIsNotAPlainFileNameTurnsReportingOffWithOneWord) {
    const std::string tooLong(201, 'j');
    const std::string longest(200, 'j');
    struct Case {
        std::string job;
        bool accepted;
    };
    const Case cases[] = {
        {"../outside", false}, {"/tmp/absolute", false},
        {"a/b", false},        {"a\\b", false},
        {"..", false},         {".", false},
        {"", false},           {"c:beam", false},
        {"line\nfeed", false}, {tooLong, false},
        {"beam", true},        {"a..b", true},
        {"beam.v2", true},     {longest, true},
    };
    for (const Case& c : cases) {
        TempDir root;
        const std::string indir = root.Path() + "/in";
        std::filesystem::create_directory(indir);
        CapturedWarnings warnings;
        SetCommandLine({"-job", c.job, "-message", "on", "-indir", indir});
        DestroyTransmitter();
        ReportInfo("x");
        ReportInfo("y");
        const std::string said = warnings.Text();
        EXPECT_EQ(ipm_MessageTransmit::Instance().IsEnabled(), c.accepted) << c.job;
        if (c.accepted) {
            EXPECT_TRUE(FileExists(indir + "/" + c.job + ".ipm")) << c.job;
            EXPECT_EQ(said, "") << c.job;
        } else {
            EXPECT_EQ(Occurrences(said, "\n"), 1) << c.job << ": " << said;
            EXPECT_NE(said.find("-job"), std::string::npos) << said;
            EXPECT_NE(said.find("reporting is off"), std::string::npos) << said;
            std::size_t files = 0;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(root.Path()))
                files += entry.is_regular_file() ? 1 : 0;
            EXPECT_EQ(files, 0u) << c.job << ": nothing written anywhere";
        }
        DestroyTransmitter();
    }
}

TEST_F(ipm_MessageFileTest, AnIndirThatCannotTakeTheFileIsToldOnceAndDeliveryGoesOn) {
    TempDir root;
    const std::string notADirectory = root.File("plain");
    { std::ofstream(notADirectory) << "x"; }
    const std::pair<std::string, std::string> cases[] = {{root.File("missing"), "missing"},
                                                         {notADirectory, "plain"}};
    DrivenClock clock;
    for (const auto& [indir, lastName] : cases) {
        CapturedWarnings warnings;
        SetCommandLine({"-job", "beam", "-message", "on", "-indir", indir});
        DestroyTransmitter();
        auto recording = std::make_shared<Recording>();
        ipm_MessageTransmit::Instance().SetClock(clock);
        ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording));
        for (int n = 1; n <= 3; ++n)
            ReportInfo("r" + std::to_string(n));
        const std::string said = warnings.Text();
        EXPECT_EQ(Occurrences(said, "\n"), 1) << said;
        EXPECT_NE(said.find("-indir"), std::string::npos) << said;
        EXPECT_NE(said.find(lastName), std::string::npos) << said;
        EXPECT_FALSE(ipm_MessageTransmit::Instance().IsMessageFileOpen());
        {
            TaskThread task;
            ASSERT_TRUE(Eventually([&] { return recording->Transmitted().size() == 3; })) << indir;
        }
        DestroyTransmitter();
    }
}

#if !defined(_WIN32)
TEST_F(ipm_MessageFileTest, ASymbolicLinkPlantedAtThePathIsRefusedNotFollowed) {
    TempDir dir;
    const std::string target = dir.File("elsewhere");
    { std::ofstream(target) << "precious\n"; }
    std::filesystem::create_symlink(target, dir.File("beam.ipm"));
    CapturedWarnings warnings;
    SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path()});
    auto recording = std::make_shared<Recording>();
    ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording));
    ReportInfo("r1");
    ReportInfo("r2");
    EXPECT_EQ(ReadFile(target), "precious\n");
    const std::string said = warnings.Text();
    EXPECT_EQ(Occurrences(said, "\n"), 1) << said;
    EXPECT_NE(said.find("symbolic link"), std::string::npos) << said;
    EXPECT_EQ(ipm_MessageTransmit::Instance().GetPendingCount(), 2)
        << "the reports are still delivered";
}

TEST_F(ipm_MessageFileTest, AFifoAtThePathIsRefusedWithoutHoldingTheHost) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("beam.ipm").c_str(), 0600), 0);
    CapturedWarnings warnings;
    SetCommandLine({"-job", "beam", "-message", "on", "-indir", dir.Path()});
    TimedReporter host;
    host.ReportRange(1, 2);
    EXPECT_LT(host.LongestMilliseconds(), 500.0);
    EXPECT_NE(warnings.Text().find("not a regular file"), std::string::npos) << warnings.Text();
}

// A file-size limit stands in for a full disk: writes past it fail or stop short.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limited = previous;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit previous;
    void (*previousHandler)(int);
};

TEST_F(ipm_MessageFileTest, AReportTheDiskCannotTakeWholeIsCutOffAgainToldOnceAndCounted) {
    ReportingJob job;
    CapturedWarnings warnings;
    // Long reports, so that the limit leaves room for the warning in its own file.
    const std::string padding(1000, 'p');
    ReportInfo("first" + padding);
    const std::string first = job.MessageFileText();
    ASSERT_EQ(first, InfoPayload("first" + padding));
    {
        // Room for half of the next report only.
        FileSizeLimit full(first.size() + first.size() / 2);
        ReportInfo("secnd" + padding);
        ReportInfo("third" + padding);
    }
    EXPECT_EQ(job.MessageFileText(), first) << "no torn line";
    ReportInfo("after");
    EXPECT_EQ(job.MessageFileText(), first + InfoPayload("after"));
    EXPECT_EQ(job.Transmitter().GetUnloggedCount(), 2);
    const std::string said = warnings.Text();
    EXPECT_EQ(Occurrences(said, "\n"), 1) << said;
    EXPECT_NE(said.find("cannot take a whole report"), std::string::npos) << said;
    EXPECT_EQ(job.Transmitter().GetPendingCount(), 4) << "all four are delivered";
}

// Reports written into a file that has no name any more would reach nobody.
TEST_F(ipm_MessageFileTest, AFileRemovedWhileOpenIsMadeAgainAndWhatItMissedIsToldAndCounted) {
    struct Case {
        const char* removed;
        bool directory;
        int missed;
    };
    const Case cases[] = {{"the file", false, 0}, {"its directory", true, 4}};
    for (const Case& c : cases) {
        ReportingJob job;
        CapturedWarnings warnings;
        for (int n = 1; n <= 3; ++n)
            ReportInfo("r" + std::to_string(n));
        if (c.directory)
            std::filesystem::remove_all(job.dir.Path());
        else
            std::filesystem::remove(job.MessageFile());
        for (int n = 4; n <= 7; ++n)
            ReportInfo("r" + std::to_string(n));
        if (c.directory)
            std::filesystem::create_directory(job.dir.Path());
        for (int n = 8; n <= 9; ++n)
            ReportInfo("r" + std::to_string(n));
        std::string expected;
        for (int n = 4 + c.missed; n <= 9; ++n)
            expected += InfoPayload("r" + std::to_string(n));
        EXPECT_EQ(job.MessageFileText(), expected) << c.removed;
        EXPECT_EQ(job.Transmitter().GetUnloggedCount(), c.missed) << c.removed;
        const std::string said = warnings.Text();
        EXPECT_EQ(Occurrences(said, "\n"), 2) << said;
        EXPECT_EQ(Occurrences(said, job.MessageFilePath() +
                                        " has been removed (or its directory): reports are not "
                                        "recorded until it can be made again there\n"),
                  1)
            << said;
        EXPECT_EQ(Occurrences(said, job.MessageFilePath() + " has been made again; " +
                                        std::to_string(c.missed) +
                                        " reports could not be recorded while it was missing\n"),
                  1)
            << said;
        EXPECT_EQ(job.Transmitter().GetPendingCount(), 9) << "delivery goes on for all of them";
    }
}
#endif

TEST(ipm_Options, ADirectPortThatIsNotOneTo65535IsRefusedOnceAndNeverConnected) {
    const char* ports[] = {"abc", "99999", "65536", "0", "-1", "+80", " 80", "80x", ""};
    for (const char* port : ports) {
        // name=value: a value that starts with '-' would read as the next option.
        SetCommandLine(
            {"-job", "beam", "-listener_name", "127.0.0.1", std::string("direct_port=") + port});
        CapturedWarnings warnings;
        ipm_DirectMechanism mechanism;
        EXPECT_FALSE(mechanism.Initialize()) << port;
        EXPECT_FALSE(mechanism.Initialize()) << port;
        const std::string said = warnings.Text();
        EXPECT_EQ(Occurrences(said, "\n"), 1) << port << ": " << said;
        EXPECT_NE(said.find("-direct_port \"" + std::string(port) + "\""), std::string::npos)
            << said;
    }
    int port = 0;
    EXPECT_TRUE(ipm_TransmissionMechanism::ParsePort("65535", port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(ipm_TransmissionMechanism::ParsePort("1", port));
    EXPECT_EQ(port, 1);
}

TEST(ipm_Options, AMessageServerMayNameItsPortAfterAColon) {
    struct Case {
        const char* option;
        bool valid;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"localhost", true, "localhost", 5222},
        {"localhost:35222", true, "localhost", 35222},
        {"10.0.0.7:1", true, "10.0.0.7", 1},
        {"localhost:", false, "", 0},
        {"localhost:0", false, "", 0},
        {"localhost:70000", false, "", 0},
        {"localhost:52x", false, "", 0},
        {":5222", false, "", 0},
        {"", false, "", 0},
    };
    for (const Case& c : cases) {
        cow_String host = "unchanged";
        int port = -1;
        EXPECT_EQ(ipm_JabberMechanism::ParseServerOption(c.option, host, port), c.valid)
            << c.option;
        if (c.valid) {
            EXPECT_STREQ(host.c_str(), c.host) << c.option;
            EXPECT_EQ(port, c.port) << c.option;
        } else {
            EXPECT_STREQ(host.c_str(), "unchanged") << c.option;
        }
    }

    SetCommandLine({"-job", "beam", "-msgserver", "localhost:abc"});
    CapturedWarnings warnings;
    ipm_JabberMechanism mechanism;
    EXPECT_FALSE(mechanism.Initialize());
    EXPECT_FALSE(mechanism.Initialize());
    EXPECT_EQ(Occurrences(warnings.Text(), "-msgserver \"localhost:abc\""), 1) << warnings.Text();
}

} // namespace
