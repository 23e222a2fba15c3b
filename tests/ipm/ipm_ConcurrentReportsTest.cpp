#include "ipm_TestSupport.h"

#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_sendMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

using namespace ipm_test;

namespace {

const int threadCount = 8;

const std::string errorNoticeText =
    "Error message limit reached. No further error messages will be reported.";
const std::string warningNoticeText =
    "Warning message limit reached. No further warning messages will be reported.";

// thread t, report n: alternately "Error" and "Info", each with its own phase.
void ReportFrom(int thread, int n) {
    const int integers[] = {thread, n};
    const std::string phase = "P" + std::to_string(thread);
    const char* texts[] = {"a<b & c", phase.c_str()};
    ipm_sendMessage(n % 2 ? "Error" : "Info", "thread=%i seq=%i message=%s phase=%e", integers,
                    nullptr, texts);
}

void ReportFromThreads(int reportsPerThread) {
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([t, reportsPerThread] {
            for (int n = 0; n < reportsPerThread; ++n)
                ReportFrom(t, n);
        });
    for (std::thread& thread : threads)
        thread.join();
}

// The payloads of a message file; a limit notice's text holds a line feed of its own.
std::vector<std::string> Reports(const std::string& fileText) {
    std::vector<std::string> reports;
    std::string pending;
    for (const std::string& line : Lines(fileText)) {
        pending += line;
        const bool noticeContinues = line.find("limit reached") != std::string::npos;
        if (noticeContinues) {
            pending += "\n";
            continue;
        }
        reports.push_back(pending);
        pending.clear();
    }
    if (!pending.empty())
        reports.push_back(pending);
    return reports;
}

int Count(const std::vector<std::string>& lines, const std::string& text) {
    return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

class ipm_ConcurrentReports : public ::testing::Test {
protected:
    void TearDown() override { DestroyTransmitter(); }
};

TEST_F(ipm_ConcurrentReports, EveryReportIsLoggedOnceWholeAndInOrderAndTheBufferedOnesDelivered) {
    DrivenClock clock;
    ScopedEnv errors("MAX_ERROR_MESSAGES", "20");
    const int reportsPerThread = 12;
    ReportingJob job;
    ipm_MessageTask task;
    std::thread delivery = clock.Thread([&] { task.Run(0); });
    ReportFromThreads(reportsPerThread);
    job.Transmitter().RequestStop();
    clock.Join(delivery);

    const std::vector<std::string> lines = Reports(job.MessageFileText());
    ASSERT_EQ(int(lines.size()), threadCount * reportsPerThread + 1);
    const std::regex report("<(Error|Info)><thread type=\"integer\">([0-7])</thread>"
                            "<seq type=\"integer\">([0-9]+)</seq>"
                            "<message type=\"string\">a&lt;b &amp; c</message>"
                            "<phase type=\"symconst\">P\\2</phase>"
                            "<jobName type=\"string\">beam</jobName></\\1>");
    std::map<int, int> nextSeq;
    std::vector<std::string> expectedDelivery;
    int errorsSeen = 0;
    for (const std::string& line : lines) {
        if (line.find(errorNoticeText) != std::string::npos) {
            expectedDelivery.push_back(line + "\n");
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, report)) << line;
        const int thread = std::stoi(match[2]);
        const int seq = std::stoi(match[3]);
        EXPECT_EQ(seq, nextSeq[thread]++) << "thread " << thread << " out of order";
        const bool isError = match[1] == "Error";
        if (!isError || ++errorsSeen <= 20)
            expectedDelivery.push_back(line + "\n");
    }
    for (int t = 0; t < threadCount; ++t)
        EXPECT_EQ(nextSeq[t], reportsPerThread) << "thread " << t;
    EXPECT_EQ(Count(lines, errorNoticeText), 1);
    EXPECT_EQ(job.recording->Transmitted(), expectedDelivery);
    EXPECT_EQ(job.recording->Overlaps(), 0);
}

TEST_F(ipm_ConcurrentReports, EachLimitNoticeAppearsOnceWhenThreadsReachTheCapTogether) {
    ScopedEnv errors("MAX_ERROR_MESSAGES", "5");
    ScopedEnv warnings("MAX_WARNING_MESSAGES", "5");
    for (int round = 0; round < 5; ++round) {
        ReportingJob job;
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t)
            threads.emplace_back([t] {
                const char* types[] = {"Error", "Warning", "Info"};
                for (int n = 0; n < 30; ++n)
                    ipm_sendMessage(types[(n + t) % 3], "", nullptr, nullptr, nullptr);
            });
        for (std::thread& thread : threads)
            thread.join();
        const std::vector<std::string> lines = Reports(job.MessageFileText());
        EXPECT_EQ(int(lines.size()), threadCount * 30 + 2);
        EXPECT_EQ(Count(lines, errorNoticeText), 1) << "round " << round;
        EXPECT_EQ(Count(lines, warningNoticeText), 1) << "round " << round;
    }
}

TEST_F(ipm_ConcurrentReports, PhaseUpdatesFromSeveralThreadsLeaveOneOfTheirValues) {
    ReportingJob job;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            const std::string phase = "Phase" + std::to_string(t);
            const char* texts[] = {phase.c_str()};
            for (int n = 0; n < 200; ++n) {
                ipm_sendMessageDirect("Step", "phase=%e", nullptr, nullptr, texts);
                ipm_sendMessageDirect("Info", "", nullptr, nullptr, nullptr);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::set<std::string> phases = {"Phase0", "Phase1", "Phase2", "Phase3"};
    EXPECT_EQ(phases.count(job.Transmitter().GetPhase().c_str()), 1u);
    for (const std::string& payload : job.recording->Transmitted()) {
        if (payload.rfind("<Info>", 0) == 0) {
            EXPECT_NE(payload.find("<phase type=\"symconst\">Phase"), std::string::npos) << payload;
        }
    }
}

} // namespace
