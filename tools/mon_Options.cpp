#include "mon_Options.h"

#include <cstdlib>

namespace {

bool readNumber(const std::string& text, int low, int high, int& number) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high)
        return false;
    number = int(value);
    return true;
}

} // namespace

bool mon_Options::Parse(int argc, const char* const* argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        if (option == "-h" || option == "-help" || option == "--help") {
            help = true;
        } else if (option == "-exit_when_idle") {
            exitWhenIdle = true;
        } else if (!hasValue && (option == "-port" || option == "-address" ||
                                 option == "-port_file" || option == "-kill_after")) {
            error = option + " needs a value";
            return false;
        } else if (option == "-port") {
            if (!readNumber(value, 0, 65535, port)) {
                error = "-port takes a number from 0 to 65535";
                return false;
            }
            ++i;
        } else if (option == "-kill_after") {
            if (!readNumber(value, 1, 1000000000, killAfter)) {
                error = "-kill_after takes a positive number of reports";
                return false;
            }
            ++i;
        } else if (option == "-address") {
            address = value;
            ++i;
        } else if (option == "-port_file") {
            portFile = value;
            ++i;
        } else {
            error = "unknown option " + option;
            return false;
        }
    }
    return true;
}

const char* mon_Options::Usage() {
    return "usage: ipm_monitor [-port N] [-address A] [-port_file F] [-kill_after N] "
           "[-exit_when_idle]\n"
           "  -port N          port to listen on; 0 (the default) picks a free one\n"
           "  -address A       address to listen on (default 127.0.0.1)\n"
           "  -port_file F     write the port listened on to F\n"
           "  -kill_after N    send Kill to each job after its Nth report\n"
           "  -exit_when_idle  exit once every job that connected has gone\n"
           "commands on standard input:\n"
           "  kill <job> | kill all | list | help | quit\n";
}
