#if defined(QORKEL_MONITOR_WEB)

#include "monitor/mon_TestSupport.h"

#include "monitor/mon_WebServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <future>
#include <thread>

using namespace mon_test;

namespace {

using Json = nlohmann::json;

// The monitor's side: a roster whose view is the page, refreshed as the loop would while
// a request waits for what the loop publishes.
struct Monitor {
    mon_WebServer web{"127.0.0.1", 0, "right-token", "listening on test"};
    mon_Roster roster{web, std::chrono::seconds(3600), std::chrono::seconds(5)};

    template <typename Request> auto WhileRefreshing(Request request) {
        std::future<decltype(request())> answer = std::async(std::launch::async, request);
        while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            roster.View().Refresh(roster);
        return answer.get();
    }
    httplib::Client Client() {
        httplib::Client client("127.0.0.1", web.Port());
        client.set_read_timeout(5);
        return client;
    }
};

// What the page reads: the table with every job's progress as numbers and texts as sent,
// and a job's latest reports and numbers for its plots.
TEST(MonitorWebServer, ThePageReadsTheTableAndAJobsReportsAndSeries) {
    Monitor monitor;
    const std::string hostile = "be\"am</script>\n<b>";
    const int id =
        monitor.roster.Arrive(hostile, "127.0.0.1:1", "connected", mon_Job::Clock::now());
    monitor.roster.Report(id, MakeReport("Started", {{"steps", "4"}}), mon_View::Time::Now(),
                          mon_Job::Clock::now());
    for (int step = 1; step <= 3; ++step) {
        mon_Report report("Step");
        report.AddField({"step", "integer", std::to_string(step)});
        report.AddField({"residual", "float", step == 2 ? "0.01" : "0.5"});
        report.AddField({"note", "string", "x\x1fy"});
        monitor.roster.Report(id, report, mon_View::Time::Now(), mon_Job::Clock::now());
    }

    const auto table = monitor.WhileRefreshing([&monitor] {
        httplib::Client client = monitor.Client();
        return client.Get("/api/jobs");
    });
    ASSERT_TRUE(table);
    EXPECT_EQ(table->status, 200);
    const Json jobs = Json::parse(table->body);
    ASSERT_EQ(jobs["jobs"].size(), 1u);
    const Json& row = jobs["jobs"][0];
    EXPECT_EQ(row["job"], hostile);
    EXPECT_EQ(row["state"], "running");
    EXPECT_EQ(row["step"], 3);
    EXPECT_EQ(row["steps"], 4);
    EXPECT_EQ(row["percent"], 75.0);
    EXPECT_EQ(row["progress"], "3/4 75%");
    EXPECT_EQ(jobs["killAllowed"], true);

    const auto detail = monitor.WhileRefreshing([&monitor, id] {
        httplib::Client client = monitor.Client();
        return client.Get(("/api/job?id=" + std::to_string(id)).c_str());
    });
    ASSERT_TRUE(detail);
    const Json job = Json::parse(detail->body);
    ASSERT_EQ(job["reports"].size(), 4u);
    EXPECT_EQ(job["reports"][3]["type"], "Step");
    EXPECT_EQ(job["reports"][3]["fields"]["residual"], 0.5);
    EXPECT_EQ(job["reports"][3]["fields"]["note"], "x\x1fy");
    ASSERT_EQ(job["series"].size(), 1u);
    EXPECT_EQ(job["series"][0]["name"], "residual");
    EXPECT_EQ(job["series"][0]["log"], true);
    EXPECT_EQ(job["series"][0]["points"], Json::parse("[[1,0.5],[2,0.01],[3,0.5]]"));
    // The page itself is served with a policy that runs no script of another origin.
    httplib::Client client = monitor.Client();
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<table id=\"jobs\">"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
}

TEST(MonitorWebServer, KillNeedsTheTokenAndAJobThatRunsAndAnswersOnlyToLoopback) {
    Monitor monitor;
    const int running = monitor.roster.Arrive("beam", "x", "connected", mon_Job::Clock::now());
    const int ended = monitor.roster.Arrive("gone", "x", "connected", mon_Job::Clock::now());
    monitor.roster.Leave(ended, "closed", mon_Job::Clock::now());
    monitor.WhileRefreshing([&monitor] { return monitor.Client().Get("/api/jobs"); });
    struct Case {
        const char* what;
        std::string token;
        int job;
        int status;
    } cases[] = {
        {"no token", "", running, 403},
        {"a wrong token", "wrong-token", running, 403},
        {"a token that is one character short", "right-toke", running, 403},
        {"a job that has ended", "right-token", ended, 404},
        {"a job that does not exist", "right-token", 999, 404},
        {"the token and a running job", "right-token", running, 202},
    };
    for (const Case& c : cases) {
        httplib::Client client = monitor.Client();
        const auto answer = client.Post(
            "/api/kill", httplib::Params{{"job", std::to_string(c.job)}, {"token", c.token}});
        ASSERT_TRUE(answer) << c.what;
        EXPECT_EQ(answer->status, c.status) << c.what;
    }
    int job = 0;
    ASSERT_TRUE(monitor.web.NextKill(job));
    EXPECT_EQ(job, running);
    EXPECT_FALSE(monitor.web.NextKill(job));

    // A name that resolves to loopback for a web site of another origin: refused.
    httplib::Client client = monitor.Client();
    const auto rebound = client.Get("/api/jobs", httplib::Headers{{"Host", "evil.example:80"}});
    ASSERT_TRUE(rebound);
    EXPECT_EQ(rebound->status, 421);

    // Without a token the page is read-only.
    mon_WebServer readOnly("127.0.0.1", 0, "", "title");
    httplib::Client other("127.0.0.1", readOnly.Port());
    const auto refused = other.Post("/api/kill", httplib::Params{{"job", "1"}, {"token", ""}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    EXPECT_NE(refused->body.find("read-only"), std::string::npos);
}

} // namespace

#endif
