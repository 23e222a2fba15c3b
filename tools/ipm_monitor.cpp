// The monitor: listens for jobs that report over the direct transport, or logs in to a
// Jabber server that jobs report through (-msgserver), or reads a job's message file
// (-replay, -follow), and shows every job's state and reports: on a board when it runs in
// a terminal, as a plain log (or JSON with -json) otherwise. Type "help" for the commands.

#include "QORKelCommunications.h"
#include "mon_CommandQueue.h"
#include "mon_JabberListener.h"
#include "mon_JsonLog.h"
#include "mon_MessageFile.h"
#include "mon_Monitor.h"
#include "mon_Options.h"
#include "mon_Platform.h"
#include "mon_ReportPrinter.h"
#include "mon_Roster.h"
#include "mon_Server.h"
#if defined(QORKEL_MONITOR_BOARD)
#include "mon_Board.h"
#endif

#include <cstdio>
#include <cstdlib>
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

std::unique_ptr<mon_Source> openSource(const mon_Options& options, mon_Roster& roster) {
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

int serve(const mon_Options& options) {
    mon_ReportPrinter plainLog(stdout);
    mon_JsonLog jsonLog(stdout);
    mon_View& log = options.json ? static_cast<mon_View&>(jsonLog) : plainLog;
    mon_Roster roster(log, std::chrono::seconds(options.silentAfter), killAnswerTime);
    roster.ShowOnly(options.only);
    std::unique_ptr<mon_Source> source = openSource(options, roster);

    // The board reads the keyboard itself; a reading thread would take its keys.
    std::unique_ptr<mon_CommandInput> commands;
#if defined(QORKEL_MONITOR_BOARD)
    std::unique_ptr<mon_Board> board;
    if (wantsBoard(options))
        board = mon_Board::Open(source->Describe(), colourWanted());
    if (board) {
        roster.SetView(*board);
        roster.View().Note("type help for the commands");
    }
#endif
    mon_CommandInput* input = nullptr;
#if defined(QORKEL_MONITOR_BOARD)
    input = board.get();
#endif
    if (input == nullptr) {
        commands = std::make_unique<mon_CommandQueue>(stdin);
        input = commands.get();
    }
    mon_Monitor monitor(options, roster, *source, *input);
    monitor.Run();
    roster.View().Summary(roster);
    roster.SetView(log);
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
