#include "monitor/mon_TestSupport.h"

#include "monitor/mon_Server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>

using namespace mon_test;

namespace {

// A job's end of a direct connection, as raw as a hostile one would be.
class RawJob {
public:
    explicit RawJob(int port) : socket(csp_TcpSocket::doNotBind) {
        socket.connectTo(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), port));
    }
    // False once the monitor has closed the connection.
    bool Send(const std::string& bytes) {
        try {
            return socket.write(bytes.data(), int(bytes.size())) > 0;
        } catch (const csp_NetworkException&) {
            return false;
        }
    }

private:
    csp_TcpSocket socket;
};

// Serves rounds until the view has been told `wanted` events starting with `prefix`.
bool serveUntil(mon_Server& server, RecordingView& view, const std::string& prefix,
                std::size_t wanted, mon_Roster::Clock::time_point now, int rounds = 200) {
    csp_Poller poller;
    for (int round = 0; round < rounds; ++round) {
        poller.clear();
        server.Watch(poller);
        poller.wait(20);
        server.Serve(poller, now);
        if (view.Only(prefix).size() >= wanted)
            return true;
    }
    return false;
}

class MonitorServer : public ::testing::Test {
protected:
    void SetUp() override { csp_initialize(modules); }
    void TearDown() override { csp_finalize(modules); }
    int modules = 0;
};

TEST_F(MonitorServer, AConnectionThatNamesNoJobIsDroppedAfterAWhile) {
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(60), std::chrono::seconds(5));
    mon_Server server("127.0.0.1", 0, roster);
    RawJob silent(server.Port());
    RawJob named(server.Port());
    named.Send("beam<Started><phase type=\"symconst\"></phase></Started>\n");
    const auto now = mon_Roster::Clock::now();
    ASSERT_TRUE(serveUntil(server, view, "report beam Started", 1, now));
    EXPECT_TRUE(view.Only("note ").empty());
    ASSERT_TRUE(serveUntil(server, view, "note ", 1, now + std::chrono::seconds(31)));
    const std::string note = view.Only("note ").front();
    EXPECT_NE(note.find("dropped: no job name within 30 s"), std::string::npos) << note;
    EXPECT_EQ(roster.Connected().size(), 1u);
}

TEST_F(MonitorServer, AJobOverABoundIsDroppedAndLostWithTheReason) {
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(60), std::chrono::seconds(5));
    mon_Server server("127.0.0.1", 0, roster);
    RawJob job(server.Port());
    job.Send("beam<Error><message type=\"string\">");
    // A round of serving after each piece: a small socket buffer must not stall the sender.
    const std::string chunk(16 * 1024, 'a');
    const auto now = mon_Roster::Clock::now();
    for (int i = 0; i < 70 && job.Send(chunk); ++i)
        serveUntil(server, view, "left beam", 1, now, 1);
    ASSERT_TRUE(serveUntil(server, view, "left beam", 1, now));
    EXPECT_EQ(view.Only("note "),
              (std::vector<std::string>{"note beam dropped: it sent a report larger than 1 MB"}));
    EXPECT_EQ(view.Only("state "),
              (std::vector<std::string>{
                  "state beam lost: the monitor dropped the connection without a final report"}));
}

// Idle connections, however many, cannot lock out a job that reports: full, the monitor
// lets go of the connection that has been quiet longest, whether or not it named a job.
TEST_F(MonitorServer, WhenFullTheConnectionQuietLongestMakesWayForANewOne) {
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(600), std::chrono::seconds(5));
    mon_Server server("127.0.0.1", 0, roster, 3);
    const auto start = mon_Roster::Clock::now();
    const auto at = [start](int seconds) { return start + std::chrono::seconds(seconds); };
    std::vector<std::unique_ptr<RawJob>> jobs;
    const auto connect = [&](const std::string& name, int seconds) {
        jobs.push_back(std::make_unique<RawJob>(server.Port()));
        jobs.back()->Send(name + "<");
        return serveUntil(server, view, "arrived " + name + " ", 1, at(seconds));
    };
    ASSERT_TRUE(connect("a", 0));
    ASSERT_TRUE(connect("b", 0));
    ASSERT_TRUE(connect("c", 5));
    jobs[0]->Send("Step><phase type=\"symconst\"></phase></Step>\n");
    ASSERT_TRUE(serveUntil(server, view, "report a Step", 1, at(10)));
    // Accepted and quiet: no name yet, and the quietest when the next one comes.
    RawJob unnamed(server.Port());
    ASSERT_TRUE(serveUntil(server, view, "note b dropped", 1, at(12)));
    ASSERT_TRUE(connect("d", 20));
    ASSERT_TRUE(connect("e", 30));
    ASSERT_TRUE(connect("f", 40));
    // What each was told, the unnamed connection's port left out.
    std::vector<std::string> notes = view.Only("note ");
    for (std::string& note : notes)
        note = std::regex_replace(note, std::regex("from 127\\.0\\.0\\.1:[0-9]+"), "from X");
    const std::string why = " connections (the most this monitor holds), it made way for a new one";
    EXPECT_EQ(notes,
              (std::vector<std::string>{
                  "note b dropped: quiet for 0:12, the longest of 3" + why,
                  "note c dropped: quiet for 0:15, the longest of 3" + why,
                  "note a dropped: quiet for 0:20, the longest of 3" + why,
                  "note connection from X dropped: quiet for 0:28, the longest of 3" + why}));
    EXPECT_EQ(view.Only("state "),
              (std::vector<std::string>{
                  "state b lost: the monitor dropped the connection without a final report",
                  "state c lost: the monitor dropped the connection without a final report",
                  "state a lost: the monitor dropped the connection without a final report"}));
    std::vector<std::string> connected;
    for (const mon_Job* job : roster.Connected())
        connected.push_back(job->Label());
    EXPECT_EQ(connected, (std::vector<std::string>{"d", "e", "f"}));
}

// The monitor warns when it listens where other machines reach it.
TEST_F(MonitorServer, OnlyLoopbackAddressesKeepOtherMachinesOut) {
    const struct {
        const char* address;
        bool loopback;
    } cases[] = {{"127.0.0.1", true},     {"127.255.0.9", true}, {"0.0.0.0", false},
                 {"10.0.0.7", false},     {"128.0.0.1", false},  {"126.255.255.255", false},
                 {"192.168.1.127", false}};
    for (const auto& c : cases)
        EXPECT_EQ(mon_Server::IsLoopback(csp_IpAddress(cow_String(c.address))), c.loopback)
            << c.address;
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(60), std::chrono::seconds(5));
    EXPECT_TRUE(mon_Server("127.0.0.1", 0, roster).OnlyThisMachine());
}

TEST_F(MonitorServer, APortInUseIsRefusedInPlainWords) {
    RecordingView view;
    mon_Roster roster(view, std::chrono::seconds(60), std::chrono::seconds(5));
    mon_Server first("127.0.0.1", 0, roster);
    try {
        mon_Server second("127.0.0.1", first.Port(), roster);
        FAIL() << "two listeners on one port";
    } catch (const std::runtime_error& refused) {
        EXPECT_EQ(std::string(refused.what()),
                  "cannot listen on 127.0.0.1:" + std::to_string(first.Port()) +
                      ": address already in use");
    }
}

} // namespace
