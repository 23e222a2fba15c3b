#include "base/QORBasUtlFilePath.h"
#include "base/atr_translate.h"
#include "base/base_Modules.h"
#include "base/eli_KillSignal.h"
#include "base/nex_TextException.h"
#include "base/omi_AlertListener.h"
#include "base/utl_CommandLine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

TEST(CommandLine, ReadsBothOptionFormsAndEmptyValues) {
    const char* argv[] = {"job.exe", "-job",    "beam",  "message=on", "-verbose",
                          "-indir",  "/tmp/in", "plain", "-last"};
    utl_CommandLine line(9, argv);
    EXPECT_STREQ("beam", line.ConstGetValue("job").c_str());
    EXPECT_STREQ("on", line.ConstGetValue("message").c_str());
    EXPECT_STREQ("/tmp/in", line.ConstGetValue("indir").c_str());
    EXPECT_TRUE(line.IsMember("verbose"));
    EXPECT_STREQ("", line.ConstGetValue("verbose").c_str());
    EXPECT_TRUE(line.IsMember("last"));
    EXPECT_FALSE(line.IsMember("plain"));
    EXPECT_FALSE(line.IsMember("absent"));
    EXPECT_STREQ("", line.ConstGetValue("absent").c_str());
    std::string names;
    for (const cow_String& name : line.GetNames())
        names += std::string(name.c_str()) + " ";
    EXPECT_EQ(names, "job message verbose indir last ") << "in the order given";
}

// Given in any order, including repeats: the last of a repeated option wins, whichever form.
TEST(CommandLine, TheLastOfARepeatedOptionWinsInALongLine) {
    std::vector<std::string> arguments{"job.exe"};
    for (int i = 0; i < 3000; ++i) {
        arguments.push_back("-o" + std::to_string((i * 7) % 1000));
        arguments.push_back(std::to_string(i));
    }
    arguments.push_back("o5=last");
    arguments.push_back("-flag");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    utl_CommandLine line(int(argv.size()), argv.data());
    // o0 was given at i = 0, 1000 and 2000; o7 at 1, 1001 and 2001.
    EXPECT_STREQ("2000", line.ConstGetValue("o0").c_str());
    EXPECT_STREQ("2001", line.ConstGetValue("o7").c_str());
    EXPECT_STREQ("last", line.ConstGetValue("o5").c_str());
    EXPECT_STREQ("", line.ConstGetValue("flag").c_str());
    EXPECT_TRUE(line.IsMember("o999"));
    EXPECT_FALSE(line.IsMember("o1000"));
}

TEST(CommandLine, ByDefaultReadsTheProcessOwnArguments) {
    // The test runner is started without options of this form, so nothing is set,
    // but reading its own command line must work and not crash.
    utl_CommandLine own;
    EXPECT_FALSE(own.IsMember("job-that-no-test-runner-has"));
    utl_CommandLine& shared = thr_GlobalSingleton<utl_CommandLine>::Instance();
    EXPECT_EQ(&shared, thr_GlobalSingletonBase<utl_CommandLine>::Instance());
    const char* argv[] = {"host", "-job", "x"};
    shared.Set(3, argv);
    EXPECT_STREQ("x",
                 thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue("job").c_str());
    shared.Set(1, argv);
    EXPECT_FALSE(shared.IsMember("job"));
}

TEST(Translate, SubstitutesTheFirstPlaceholderOnly) {
    atr_translate text("cannot find host %s (%d)");
    atr_SubstituteFormat(text, 1, cow_String("alpha"));
    EXPECT_STREQ("cannot find host alpha (%d)", text.Result().c_str());
    atr_SubstituteFormat(text, 1, 10061);
    EXPECT_STREQ("cannot find host alpha (10061)", text.Result().c_str());
    atr_SubstituteFormat(text, 1, 5);
    EXPECT_STREQ("cannot find host alpha (10061)", text.Result().c_str());
    atr_translate percent("100%% of %1");
    atr_SubstituteFormat(percent, 1, cow_String("it"));
    EXPECT_STREQ("100%% of it", percent.Result().c_str());
}

namespace {
class TestException : public nex_TextException {
public:
    using nex_TextException::nex_TextException;
    [[noreturn]] void Propagate() const override { throw *this; }
    nex_Exception* Copy() const override { return new TestException(*this); }
    const char* DynTypeId() const override { return "TestException"; }
};
} // namespace

TEST(Exceptions, ThrowRaisesTheDynamicTypeWithItsOrigin) {
    TestException raised(cow_String("socket is not open"));
    nex_Exception& base = raised;
    try {
        base.Throw("csp/impl/csp_Socket", 42);
        FAIL() << "Throw returned";
    } catch (const TestException& caught) {
        EXPECT_STREQ("socket is not open", caught.Text().c_str());
        EXPECT_STREQ("csp/impl/csp_Socket", caught.SourceFile());
        EXPECT_EQ(42, caught.SourceLine());
        EXPECT_STREQ("socket is not open", caught.what());
        EXPECT_NE(std::string::npos,
                  std::string(caught.DeveloperReport().c_str()).find("csp/impl/csp_Socket:42"));
    }
}

namespace {
int handlerCalls = 0;
void countKill() {
    ++handlerCalls;
}

// The kill flag, the handler and the count are process-wide: each test starts with none set.
class KillHook : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        eli_setkillhandler(nullptr);
        eli_resetkillsig();
        handlerCalls = 0;
    }
};
} // namespace

TEST_F(KillHook, RecordsTheRequestAndCallsTheHostHandler) {
    EXPECT_FALSE(eli_getkillsig());
    eli_setkillsig();
    EXPECT_TRUE(eli_getkillsig());
    eli_resetkillsig();
    eli_setkillhandler(countKill);
    eli_setkillsig();
    eli_setkillhandler(nullptr);
    eli_setkillsig();
    EXPECT_EQ(1, handlerCalls);
    EXPECT_TRUE(eli_getkillsig());
}

TEST(FilePath, PlacesTheFileInTheDirectoryAsAnAbsolutePath) {
    namespace fs = std::filesystem;
    cow_String inDirectory = QORBasUtlFilePath("beam.ipm", "/tmp/jobs/../in").AbsolutePathName();
    // On Windows a rooted path without a drive is not yet absolute.
    EXPECT_EQ(fs::absolute("/tmp/in/beam.ipm").lexically_normal().string(), inDirectory.c_str());
    cow_String bare = QORBasUtlFilePath("beam.ipm", cow_String()).AbsolutePathName();
    EXPECT_EQ((fs::current_path() / "beam.ipm").string(), bare.c_str());
}

TEST(AlertListener, HoldsAHandleTheHostMayReplace) {
    omi_AlertListener& listener = omi_Singleton<omi_AlertListener>::Instance();
    int processHandle = listener.GetHandle();
    EXPECT_GT(processHandle, 0);
    listener.SetHandle(77);
    EXPECT_EQ(77, omi_Singleton<omi_AlertListener>::Instance().GetHandle());
    listener.SetHandle(processHandle);
}

TEST(BaseModules, CountersMoveTheHostCounterOnlyAtTheEdges) {
    int count = 0;
    atr_initialize(count);
    atr_initialize(count);
    EXPECT_EQ(1, count);
    EXPECT_EQ(2, bas_moduleUseCount("atr"));
    atr_finalize(count);
    EXPECT_EQ(1, count);
    atr_finalize(count);
    EXPECT_EQ(0, count);
    atr_finalize(count); // unbalanced: ignored rather than driving the counter negative
    EXPECT_EQ(0, count);
    EXPECT_EQ(-1, bas_moduleUseCount("nope"));
}
