// The monitor: listens for jobs that report over the direct transport, or logs in to a
// Jabber server that jobs report through (-msgserver), and shows their reports as they
// come, one line each. Type "kill <job>" to stop a job.

#include "QORKelCommunications.h"
#include "mon_CommandQueue.h"
#include "mon_JabberListener.h"
#include "mon_Options.h"
#include "mon_ReportPrinter.h"
#include "mon_Server.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

// Written whole under another name first, so that a script waiting for the file never
// reads half a number.
bool writePortFile(const std::string& path, const std::string& text) {
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

int serve(const mon_Options& options) {
    mon_ReportPrinter printer(stdout);
    mon_Server server(options, printer);
    printer.Note("ipm_monitor listening on " + options.address + ":" +
                 std::to_string(server.Port()) + " (start a job with -direct_port " +
                 std::to_string(server.Port()) + ")");
    if (!options.portFile.empty() &&
        !writePortFile(options.portFile, std::to_string(server.Port()))) {
        std::fprintf(stderr, "ipm_monitor: cannot write %s\n", options.portFile.c_str());
        return 1;
    }
    mon_CommandQueue commands(stdin);
    server.Run(commands);
    printer.Note("ipm_monitor done");
    return 0;
}

int serveJabber(const mon_Options& options) {
    mon_ReportPrinter printer(stdout);
    mon_JabberListener listener(options, printer);
    printer.Note("ipm_monitor logged in as " + listener.Address() +
                 " (start a job with -msgserver " + options.msgserver + " -listener_name " +
                 options.account + " -listener_resource " + options.resource + ")");
    if (!options.readyFile.empty() && !writePortFile(options.readyFile, listener.Address())) {
        std::fprintf(stderr, "ipm_monitor: cannot write %s\n", options.readyFile.c_str());
        return 1;
    }
    mon_CommandQueue commands(stdin);
    listener.Run(commands);
    printer.Note("ipm_monitor done");
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
    int modules = 0;
    QORKelCommunications_initialize(modules);
    int status;
    try {
        status = options.msgserver.empty() ? serve(options) : serveJabber(options);
    } catch (const csp_NetworkException& failure) {
        if (!options.msgserver.empty()) {
            std::fprintf(stderr, "ipm_monitor: cannot reach the Jabber server %s (%s)\n",
                         options.msgserver.c_str(), failure.getMessage().c_str());
            status = 1;
        } else {
            std::fprintf(stderr, "ipm_monitor: cannot listen on %s:%d (%s)\n",
                         options.address.c_str(), options.port, failure.getMessage().c_str());
            status = 1;
        }
    } catch (const std::runtime_error& failure) {
        std::fprintf(stderr, "ipm_monitor: %s\n", failure.what());
        status = 1;
    }
    QORKelCommunications_finalize(modules);
    return status;
}
