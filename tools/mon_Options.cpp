#include "mon_Options.h"

#include "base/utl_OptionSpelling.h"

#include <cctype>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace {

bool readNumber(const std::string& text, int low, int high, int& number) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high)
        return false;
    number = int(value);
    return true;
}

std::set<std::string> listOf(const std::string& text) {
    std::set<std::string> items;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        const std::string::size_type comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty())
            items.insert(item);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return items;
}

// Report types are written as the job wrote them ("Error"); -only takes them in any case.
std::string capitalised(std::string type) {
    for (char& c : type)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!type.empty())
        type[0] = char(std::toupper(static_cast<unsigned char>(type[0])));
    return type;
}

} // namespace

namespace {

const char* const optionsWithValues[] = {
    "-port",   "-address",   "-port_file", "-kill_after", "-silent_after", "-only",      "-replay",
    "-follow", "-msgserver", "-account",   "-password",   "-resource",     "-ready_file"};
const char* const switches[] = {"-exit_when_idle", "-json", "-plain", "-help"};

std::string unknownOption(const std::string& option) {
    std::vector<const char*> known(std::begin(optionsWithValues), std::end(optionsWithValues));
    known.insert(known.end(), std::begin(switches), std::end(switches));
    std::string error = "unknown option " + option;
    if (const char* meant =
            utl_OptionSpelling::Nearest(option.c_str(), known.data(), int(known.size()),
                                        utl_OptionSpelling::ToleranceFor(option.c_str())))
        error += std::string(" (did you mean ") + meant + "?)";
    return error;
}

} // namespace

bool mon_Options::takesValue(const std::string& option) const {
    for (const char* known : optionsWithValues)
        if (option == known)
            return true;
    return false;
}

bool mon_Options::Parse(int argc, const char* const* argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "-help" || option == "--help") {
            help = true;
        } else if (option == "-exit_when_idle") {
            exitWhenIdle = true;
        } else if (option == "-json") {
            json = true;
        } else if (option == "-plain") {
            plain = true;
        } else if (!takesValue(option)) {
            error = unknownOption(option);
            return false;
        } else if (i + 1 >= argc) {
            error = option + " needs a value";
            return false;
        } else if (!setValue(option, argv[++i], error)) {
            return false;
        }
    }
    if (!replayFile.empty() + !followFile.empty() + !msgserver.empty() > 1) {
        error = "-replay, -follow and -msgserver exclude each other";
        return false;
    }
    return true;
}

// The library's own reading of -msgserver, so that the monitor and its jobs agree on it.
void mon_Options::setServer(const std::string& value, std::string& error) {
    cow_String host;
    if (!ipm_JabberMechanism::ParseServerOption(value.c_str(), host, msgport))
        error = "-msgserver takes a server name, optionally followed by :port (1 to 65535)";
    else
        msgserver = host.c_str();
}

bool mon_Options::setValue(const std::string& option, const std::string& value,
                           std::string& error) {
    if (option == "-port" && !readNumber(value, 0, 65535, port))
        error = "-port takes a number from 0 to 65535";
    else if (option == "-kill_after" && !readNumber(value, 1, 1000000000, killAfter))
        error = "-kill_after takes a positive number of reports";
    else if (option == "-silent_after" && !readNumber(value, 1, 86400 * 365, silentAfter))
        error = "-silent_after takes a positive number of seconds";
    else if (option == "-only" && listOf(value).empty())
        error = "-only takes report types separated by commas, e.g. error,warning";
    else if (option == "-address")
        address = value;
    else if (option == "-port_file")
        portFile = value;
    else if (option == "-replay")
        replayFile = value;
    else if (option == "-follow")
        followFile = value;
    else if (option == "-msgserver")
        setServer(value, error);
    else if (option == "-account")
        account = value;
    else if (option == "-password")
        password = value;
    else if (option == "-resource")
        resource = value;
    else if (option == "-ready_file")
        readyFile = value;
    if (!error.empty())
        return false;
    if (option == "-only")
        for (const std::string& type : listOf(value))
            only.insert(capitalised(type));
    return true;
}

const char* mon_Options::Usage() {
    return "usage: ipm_monitor [-port N] [-address A] [-port_file F] [common options]\n"
           "       ipm_monitor -msgserver S [-account A] [-password P] [-resource R] "
           "[-ready_file F] [common options]\n"
           "       ipm_monitor -replay FILE.ipm | -follow FILE.ipm [common options]\n"
           "  -port N          port to listen on; 0 (the default) picks a free one\n"
           "  -address A       address to listen on (default 127.0.0.1); jobs are not\n"
           "                   authenticated: whoever reaches it can report as any job\n"
           "  -port_file F     write the port listened on to F\n"
           "over Jabber instead of listening for direct connections:\n"
           "  -msgserver S     log in to the Jabber server S (its virtual host's name; S:port\n"
           "                   for another port than 5222)\n"
           "  -account A       as account A (default monitor; registered if new where the\n"
           "                   server lets clients register)\n"
           "  -password P      with password P (or IPM_MONITOR_PASSWORD; for a server on this\n"
           "                   machine the default is the account name)\n"
           "  -resource R      as resource R (default console); jobs send to A@S/R\n"
           "  -ready_file F    write the address to F once logged in\n"
           "  (TLS and the server's certificate as for jobs: "
           "IPM_JABBER_TLS=required|optional|off,\n"
           "  IPM_JABBER_CA=FILE, IPM_JABBER_PIN=sha256:HEX)\n"
           "from a job's message file instead of the network:\n"
           "  -replay F        show the reports in F as if they arrived, then a summary\n"
           "  -follow F        the same, and go on showing what is appended to F\n"
           "common options:\n"
           "  -silent_after S  show a job silent after S seconds without a report "
           "(default 120)\n"
           "  -only T,T        show only reports of these types (all are still counted)\n"
           "  -json            one JSON object per report and per change of a job's state\n"
           "  -plain           the plain log even on a terminal (no board)\n"
           "  -kill_after N    send Kill to each job after its Nth report\n"
           "  -exit_when_idle  exit once every job that connected has gone\n"
           "commands (typed on the board's command line, or on standard input):\n"
           "  kill <job> | kill all | list | status | help | quit | exit\n";
}
