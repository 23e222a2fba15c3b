#include "job/job_Options.h"

#include "base/utl_OptionSpelling.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Known {
    const char* name;
    // Smallest and largest number; both 0 for a text.
    long low;
    long high;
};

const Known known[] = {
    {"job", 0, 0},
    {"message", 0, 0},
    {"indir", 0, 0},
    {"listener_name", 0, 0},
    {"listener_resource", 0, 0},
    {"msgserver", 0, 0},
    {"direct_port", 1, 65535},
    {"steps", 1, 1000000},
    {"delay_ms", 1, 3600000},
};

const Known* find(const char* name) {
    for (const Known& option : known)
        if (std::strcmp(option.name, name) == 0)
            return &option;
    return nullptr;
}

std::string unknownOption(const char* argument) {
    std::string error = std::string("unknown option ") + argument;
    const char* names[sizeof known / sizeof known[0]];
    for (std::size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
        names[i] = known[i].name;
    if (const char* meant =
            utl_OptionSpelling::Nearest(argument, names, int(sizeof names / sizeof names[0]),
                                        utl_OptionSpelling::ToleranceFor(argument)))
        error += std::string(" (did you mean -") + meant + "?)";
    return error;
}

bool isNumber(const char* text, long low, long high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= low && value <= high;
}

} // namespace

job_Options::Verdict job_Options::Check(int argc, const char* const* argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "-help") == 0 || std::strcmp(argument, "--help") == 0 ||
            std::strcmp(argument, "-h") == 0)
            return help;
        const Known* option = argument[0] == '-' ? find(argument + 1) : nullptr;
        if (option == nullptr) {
            error = argument[0] == '-' ? unknownOption(argument)
                                       : std::string("unexpected argument ") + argument;
            return refuse;
        }
        if (i + 1 >= argc) {
            error = std::string(argument) + " needs a value";
            return refuse;
        }
        const char* value = argv[++i];
        if (option->high != 0 && !isNumber(value, option->low, option->high)) {
            error = std::string(argument) + " takes a number from " + std::to_string(option->low) +
                    " to " + std::to_string(option->high) + ", not \"" + value + "\"";
            return refuse;
        }
    }
    return run;
}

const char* job_Options::Usage() {
    return "usage: ipm_job -direct_port N [-listener_name H] [options]   reports to a monitor "
           "listening at H:N\n"
           "       ipm_job -msgserver S [-listener_name A] [-listener_resource R] [options]\n"
           "                                    reports through the Jabber server S to A@S/R\n"
           "  -direct_port N        the monitor's port (ipm_monitor prints it)\n"
           "  -listener_name H      the monitor's host (default 127.0.0.1), or over Jabber "
           "its account (default monitor)\n"
           "  -listener_resource R  over Jabber, the monitor's resource (default console)\n"
           "  -msgserver S          report through the Jabber server S instead (S:port for "
           "another port than 5222)\n"
           "  -job NAME             the job's name (default demo)\n"
           "  -message on|NONE      NONE switches reporting off (default on)\n"
           "  -indir DIR            where the message file NAME.ipm goes (default: here)\n"
           "  -steps N              steps to simulate (default 12)\n"
           "  -delay_ms M           milliseconds per step (default 300)\n"
           "Environment: MAX_ERROR_MESSAGES, MAX_WARNING_MESSAGES cap the errors and warnings "
           "sent;\n"
           "  MAX_PENDING_MESSAGES bounds the reports waiting for delivery, IPM_SHUTDOWN_SECONDS "
           "how long\n"
           "  the job's end waits for them.\n";
}
