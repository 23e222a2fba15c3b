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
        } else if (!hasValue &&
                   (option == "-port" || option == "-address" || option == "-port_file" ||
                    option == "-kill_after" || isJabberOption(option))) {
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
        } else if (option == "-msgserver") {
            cow_String host;
            if (!ipm_JabberMechanism::ParseServerOption(value.c_str(), host, msgport)) {
                error = "-msgserver takes a server name, optionally followed by :port (1 to 65535)";
                return false;
            }
            msgserver = host.c_str();
            ++i;
        } else if (isJabberOption(option)) {
            setJabberOption(option, value);
            ++i;
        } else {
            error = "unknown option " + option;
            return false;
        }
    }
    if (password.empty())
        password = account;
    return true;
}

bool mon_Options::isJabberOption(const std::string& option) {
    return option == "-msgserver" || option == "-account" || option == "-password" ||
           option == "-resource" || option == "-ready_file";
}

void mon_Options::setJabberOption(const std::string& option, const std::string& value) {
    if (option == "-account")
        account = value;
    else if (option == "-password")
        password = value;
    else if (option == "-resource")
        resource = value;
    else
        readyFile = value;
}

const char* mon_Options::Usage() {
    return "usage: ipm_monitor [-port N] [-address A] [-port_file F] [-kill_after N] "
           "[-exit_when_idle]\n"
           "       ipm_monitor -msgserver S [-account A] [-password P] [-resource R] "
           "[-ready_file F] [-kill_after N] [-exit_when_idle]\n"
           "  -port N          port to listen on; 0 (the default) picks a free one\n"
           "  -address A       address to listen on (default 127.0.0.1)\n"
           "  -port_file F     write the port listened on to F\n"
           "  -kill_after N    send Kill to each job after its Nth report\n"
           "  -exit_when_idle  exit once every job that connected has gone\n"
           "over Jabber instead of listening for direct connections:\n"
           "  -msgserver S     log in to the Jabber server S (its virtual host's name; S:port\n"
           "                   for another port than 5222)\n"
           "  -account A       as account A (default monitor; registered if new)\n"
           "  -password P      with password P (default the account name)\n"
           "  -resource R      as resource R (default console); jobs send to A@S/R\n"
           "  -ready_file F    write the address to F once logged in\n"
           "commands on standard input:\n"
           "  kill <job> | kill all | list | help | quit\n";
}
