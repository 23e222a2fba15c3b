// The monitor: listens for jobs that report over the direct transport, or logs in to a
// Jabber server that jobs report through (-msgserver), or reads a job's message file
// (-replay, -follow), and shows every job's state and reports: on a board when it runs in
// a terminal, as a plain log (or JSON with -json) otherwise. Type "help" for the commands.

#include "QORKelCommunications.h"
#include "monitor/mon_Clock.h"
#include "monitor/mon_CommandQueue.h"
#include "monitor/mon_Hooks.h"
#include "monitor/mon_JabberListener.h"
#include "monitor/mon_JsonLog.h"
#include "monitor/mon_MessageFile.h"
#include "monitor/mon_Monitor.h"
#include "monitor/mon_Options.h"
#include "monitor/mon_Platform.h"
#include "monitor/mon_ReportPrinter.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Server.h"
#include "monitor/mon_Text.h"
#include "monitor/mon_ViewFan.h"
#if defined(QORKEL_MONITOR_BOARD)
#include "monitor/mon_Board.h"
#endif
#if defined(QORKEL_MONITOR_HISTORY)
#include "monitor/mon_History.h"
#include "monitor/mon_HistoryReplay.h"
#endif
#if defined(QORKEL_MONITOR_WEB)
#include "monitor/mon_WebServer.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// How long a job has to stop after a Kill before the monitor says it has not.
const auto killAnswerTime = std::chrono::seconds(10);

// Written whole under another name first, so that a script waiting for the file never
// reads half a number.
bool writeWhole(const std::string& path, const std::string& text) {
    const std::string partial = path + ".partial";
    std::FILE* file = std::fopen(partial.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = std::fprintf(file, "%s\n", text.c_str()) > 0;
    if (std::fclose(file) != 0 || !written)
        return false;
    std::remove(path.c_str());
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

const char historyPrefix[] = "history:";

bool replaysHistory(const mon_Options& options) {
    return options.replayFile.compare(0, sizeof historyPrefix - 1, historyPrefix) == 0;
}

#if defined(QORKEL_MONITOR_HISTORY)
using History = mon_History;
#else
// Stands in for the history in a monitor built without SQLite: never opened.
class History {};
#endif

std::unique_ptr<mon_Source> openSource(const mon_Options& options, mon_Roster& roster,
                                       History* history) {
#if defined(QORKEL_MONITOR_HISTORY)
    if (replaysHistory(options)) {
        const std::string wanted = options.replayFile.substr(sizeof historyPrefix - 1);
        mon_History::Run run;
        if (history == nullptr || !history->Usable() || !history->FindRun(wanted, run))
            throw std::runtime_error("no job " + wanted + " in the history" +
                                     (history != nullptr ? " " + history->Path() : std::string()) +
                                     " (ipm_monitor -jobs lists them)");
        return std::make_unique<mon_HistoryReplay>(*history, run, roster);
    }
#else
    (void)history;
#endif
    const std::string file = options.replayFile.empty() ? options.followFile : options.replayFile;
    if (!file.empty()) {
        auto source = std::make_unique<mon_MessageFile>(file, options.replayFile.empty(), roster);
        roster.View().Note("a message file holds no times: --:--:-- is a report whose time is "
                           "unknown; the last one read shows when the file last changed");
        return source;
    }
    if (!options.msgserver.empty()) {
        auto listener = std::make_unique<mon_JabberListener>(options, roster);
        // The port too when it is not the usual one: a job needs it to get there.
        const std::string server = options.msgport == ipm_JabberMechanism::serverPort
                                       ? options.msgserver
                                       : options.msgserver + ":" + std::to_string(options.msgport);
        roster.View().Note("ipm_monitor logged in as " + listener->Address() +
                           " (start a job with -msgserver " + server + " -listener_name " +
                           options.account + " -listener_resource " + options.resource + ")");
        if (!options.readyFile.empty() && !writeWhole(options.readyFile, listener->Address()))
            throw std::runtime_error("cannot write " + options.readyFile);
        return listener;
    }
    auto server = std::make_unique<mon_Server>(options.address, options.port, roster);
    const std::string port = std::to_string(server->Port());
    roster.View().Note("ipm_monitor listening on " + options.address + ":" + port +
                       " (start a job with -direct_port " + port + ")");
    if (!server->OnlyThisMachine())
        roster.View().Note("anyone who can reach " + options.address + ":" + port +
                           " can report as any job: the direct wire has no authentication "
                           "(keep the monitor on 127.0.0.1 or a network you trust, or use "
                           "Jabber with TLS)");
    if (!options.portFile.empty() && !writeWhole(options.portFile, port))
        throw std::runtime_error("cannot write " + options.portFile);
    return server;
}

#if defined(QORKEL_MONITOR_BOARD)
bool wantsBoard(const mon_Options& options) {
    return !options.json && !options.plain && mon_Platform::IsTerminal(stdout) &&
           mon_Platform::IsTerminal(stdin);
}

bool colourWanted() {
    const char* noColour = std::getenv("NO_COLOR");
    return noColour == nullptr || noColour[0] == '\0';
}
#endif

bool listensForJobs(const mon_Options& options) {
    return options.replayFile.empty() && options.followFile.empty();
}

#if defined(QORKEL_MONITOR_HISTORY)
std::string historyPath(const mon_Options& options) {
    return options.history.empty() ? mon_History::DefaultPath() : options.history;
}
#endif

// The history when it is wanted: for a monitor that listens (it records), for -jobs and
// for a replay from it (they read).
std::unique_ptr<History> openHistory(const mon_Options& options, mon_View& notes) {
    const bool wanted = listensForJobs(options) || replaysHistory(options) || options.listJobs;
    if (!wanted || options.history == "none")
        return nullptr;
#if defined(QORKEL_MONITOR_HISTORY)
    const std::string path = historyPath(options);
    if (path.empty()) {
        notes.Note("no history: neither XDG_STATE_HOME nor HOME is set (-history FILE names "
                   "one)");
        return nullptr;
    }
    return std::make_unique<mon_History>(path, options.keepDays, notes);
#else
    (void)notes;
    if (!options.history.empty() || replaysHistory(options) || options.listJobs)
        throw std::runtime_error("this ipm_monitor was built without history (SQLite)");
    return nullptr;
#endif
}

#if defined(QORKEL_MONITOR_HISTORY)
mon_Job::Clock::time_point steadyAt(double wall) {
    return mon_Clock::SteadyAt(wall, mon_Job::Clock::now(), mon_Clock::WallSeconds());
}

// The jobs of the last day, as they ended; a job whose monitor stopped while it ran was
// lost to it.
void recallLastDay(mon_History& history, mon_Roster& roster) {
    const std::vector<mon_History::Run> runs =
        history.Runs(mon_Clock::WallSeconds() - 86400, mon_Roster::maxEndedJobs);
    for (const mon_History::Run& run : runs) {
        mon_Job& job = roster.Recall(run.name, run.origin, steadyAt(run.arrived));
        mon_Job::Remembered remembered;
        remembered.state = run.state == "finished" ? mon_Job::finished
                           : run.state == "killed" ? mon_Job::killed
                                                   : mon_Job::lost;
        remembered.ended = steadyAt(run.ended >= 0 ? run.ended : run.updated);
        remembered.reports = run.reports;
        remembered.errors = run.errors;
        remembered.warnings = run.warnings;
        remembered.notices = run.notices;
        remembered.phase = run.phase;
        remembered.step = run.step;
        remembered.steps = run.steps;
        remembered.percent = run.percent;
        remembered.lastMessage = run.lastMessage;
        remembered.finalReport = run.finalReport;
        job.Restore(remembered);
    }
    if (!runs.empty())
        roster.View().Note(std::to_string(runs.size()) + " jobs of the last day from the " +
                           "history (" + history.Path() + "); ipm_monitor -jobs lists more");
}

std::string localTime(double wall) {
    return mon_Clock::Local(std::time_t(wall), "%Y-%m-%d %H:%M");
}

int listJobs(const mon_Options& options) {
    mon_ReportPrinter notes(stderr);
    std::unique_ptr<History> history = openHistory(options, notes);
    if (!history) {
        std::fprintf(stderr, "ipm_monitor: -jobs lists the history, which -history none "
                             "leaves out\n");
        return 2;
    }
    if (!history->Usable())
        return 1;
    const std::vector<mon_History::Run> runs =
        history->Runs(mon_Clock::WallSeconds() - double(options.since), 100000);
    std::printf("%-6s %-16s %-8s %-16s %-9s %7s %5s %5s  %s\n", "RUN", "JOB", "END", "STARTED",
                "ELAPSED", "REPORTS", "ERR", "WARN", "LAST MESSAGE");
    for (const mon_History::Run& run : runs) {
        const bool ended = run.ended >= 0;
        const std::string end = run.state == "finished" || run.state == "killed" ? run.state
                                : ended                                          ? "lost"
                                                                                 : "lost?";
        const double until = ended ? run.ended : run.updated;
        const std::string elapsed =
            mon_Job::Duration(std::chrono::duration_cast<mon_Job::Clock::duration>(
                std::chrono::duration<double>(std::max(0.0, until - run.arrived))));
        const std::string message = run.finalReport.empty() ? run.lastMessage : run.finalReport;
        std::printf("%-6lld %-16s %-8s %-16s %-9s %7d %5d %5d  %s\n", run.id,
                    mon_Text::Visible(run.label).c_str(), end.c_str(),
                    localTime(run.arrived).c_str(), elapsed.c_str(), run.reports, run.errors,
                    run.warnings, mon_Text::Visible(mon_Text::Shortened(message, 120)).c_str());
    }
    const bool unknownEnd = std::any_of(runs.begin(), runs.end(), [](const mon_History::Run& run) {
        return run.ended < 0 && run.state != "finished" && run.state != "killed";
    });
    if (runs.empty())
        std::printf("(no job in the history %s since %s)\n", history->Path().c_str(),
                    localTime(mon_Clock::WallSeconds() - double(options.since)).c_str());
    else
        std::printf("%sipm_monitor -replay history:RUN shows a run's reports\n",
                    unknownEnd ? "lost?: the monitor stopped while the job ran. " : "");
    return 0;
}
#endif

int serve(const mon_Options& options) {
    mon_ReportPrinter plainLog(stdout);
    mon_JsonLog jsonLog(stdout);
    mon_View& log = options.json ? static_cast<mon_View&>(jsonLog) : plainLog;
    mon_ViewFan fan(log);
    fan.ShowOnly(options.only);
    mon_Roster roster(fan, std::chrono::seconds(options.silentAfter), killAnswerTime);
    std::unique_ptr<History> history = openHistory(options, fan);
    std::unique_ptr<mon_Source> source = openSource(options, roster, history.get());
#if defined(QORKEL_MONITOR_HISTORY)
    if (history && history->Usable() && listensForJobs(options)) {
        recallLastDay(*history, roster);
        history->StartRecording();
        fan.AddObserver(*history);
    }
#endif
#if defined(QORKEL_MONITOR_WEB)
    std::unique_ptr<mon_WebServer> web;
    if (!options.http.empty()) {
        web = std::make_unique<mon_WebServer>(options.httpAddress, options.httpPort,
                                              options.httpToken, source->Describe());
        fan.AddObserver(*web);
        fan.Note("web page at " + web->Address() +
                 (options.httpToken.empty() ? " (read-only)" : " (Kill with the token)"));
        if (!options.httpPortFile.empty() &&
            !writeWhole(options.httpPortFile, std::to_string(web->Port())))
            throw std::runtime_error("cannot write " + options.httpPortFile);
    }
#else
    if (!options.http.empty())
        throw std::runtime_error("this ipm_monitor was built without the web page (cpp-httplib)");
#endif

    // The board reads the keyboard itself; a reading thread would take its keys.
    std::unique_ptr<mon_CommandInput> commands;
#if defined(QORKEL_MONITOR_BOARD)
    std::unique_ptr<mon_Board> board;
    if (wantsBoard(options))
        board = mon_Board::Open(source->Describe(), colourWanted(), !options.quiet);
    if (board) {
        fan.SetShown(*board);
        fan.Note("type help for the commands");
    }
    const bool boardShown = board != nullptr;
#else
    const bool boardShown = false;
#endif
    std::unique_ptr<mon_Hooks> hooks;
    if (!options.onEnd.empty() || !options.onError.empty()) {
        hooks = std::make_unique<mon_Hooks>(options.onEnd, options.onError, boardShown, fan);
        fan.AddObserver(*hooks);
    }
    mon_CommandInput* input = nullptr;
#if defined(QORKEL_MONITOR_BOARD)
    input = board.get();
#endif
    if (input == nullptr) {
        commands = std::make_unique<mon_CommandQueue>(stdin);
        input = commands.get();
    }
    mon_Monitor monitor(options, roster, *source, *input);
#if defined(QORKEL_MONITOR_WEB)
    if (web)
        monitor.AddKillRequests(*web);
#endif
    if (boardShown && !options.replayFile.empty())
        monitor.KeepOpenAfterEnd();
    monitor.Run();
#if defined(QORKEL_MONITOR_HISTORY)
    if (history && history->Usable() && listensForJobs(options))
        history->Finish(roster);
#endif
    fan.Summary(roster);
    fan.SetShown(log);
    fan.ClearObservers();
    log.Note("ipm_monitor done");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    mon_Options options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        std::fprintf(stderr, "ipm_monitor: %s\n%s", error.c_str(), mon_Options::Usage());
        return 2;
    }
    if (options.help) {
        std::fputs(mon_Options::Usage(), stdout);
        return 0;
    }
    if (options.listJobs) {
#if defined(QORKEL_MONITOR_HISTORY)
        return listJobs(options);
#else
        std::fprintf(stderr, "ipm_monitor: this ipm_monitor was built without history (SQLite)\n");
        return 1;
#endif
    }
    mon_Platform::CatchStopSignals();
    if (!mon_Platform::RaiseDescriptorLimit())
        std::fprintf(stderr, "ipm_monitor: cannot raise the limit on open files; it stays at %s\n",
                     std::to_string(mon_Platform::DescriptorLimit()).c_str());
    int modules = 0;
    QORKelCommunications_initialize(modules);
    // The library's console diagnostics would break into the board and the log.
    std::FILE* nowhere = mon_Platform::OpenNullDevice();
    if (nowhere != nullptr)
        aio_cout.SetTarget(nowhere);
    int status;
    try {
        status = serve(options);
    } catch (const csp_NetworkException& failure) {
        if (options.msgserver.empty())
            std::fprintf(stderr, "ipm_monitor: network failure (%s)\n",
                         failure.getMessage().c_str());
        else
            std::fprintf(stderr, "ipm_monitor: cannot reach the Jabber server %s (%s)\n",
                         options.msgserver.c_str(), failure.getMessage().c_str());
        status = 1;
    } catch (const std::runtime_error& failure) {
        std::fprintf(stderr, "ipm_monitor: %s\n", failure.what());
        status = 1;
    }
    QORKelCommunications_finalize(modules);
    if (nowhere != nullptr) {
        aio_cout.SetTarget(stdout);
        std::fclose(nowhere);
    }
    return status;
}
