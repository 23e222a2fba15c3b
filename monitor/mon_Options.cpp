#include "monitor/mon_Options.h"

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

// "2d", "12h", "30m", "45s"; a bare number counts days.
bool readAge(const std::string& text, long long& seconds) {
    if (text.empty() || text.size() > 12)
        return false;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || value < 0)
        return false;
    const std::string unit = end;
    const long long scale = unit.empty() || unit == "d" ? 86400
                            : unit == "h"               ? 3600
                            : unit == "m"               ? 60
                            : unit == "s"               ? 1
                                                        : 0;
    if (scale == 0 || value > 36500LL * 86400 / scale)
        return false;
    seconds = value * scale;
    return true;
}

} // namespace

namespace {

const char* const optionsWithValues[] = {
    "-port",       "-address",   "-port_file", "-kill_after", "-silent_after", "-only",
    "-replay",     "-follow",    "-msgserver", "-account",    "-password",     "-resource",
    "-ready_file", "-on_end",    "-on_error",  "-http",       "-http_token",   "-http_port_file",
    "-history",    "-keep_days", "-since"};
const char* const switches[] = {"-exit_when_idle", "-json", "-plain", "-help", "-quiet", "-jobs"};

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
        } else if (option == "-quiet") {
            quiet = true;
        } else if (option == "-jobs") {
            listJobs = true;
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
    if (!httpToken.empty() && http.empty()) {
        error = "-http_token needs -http";
        return false;
    }
    return true;
}

// "8080", "0" (a free port), "0.0.0.0:8080", "[::1]:8080".
void mon_Options::setHttp(const std::string& value, std::string& error) {
    std::string host = httpAddress;
    std::string port = value;
    const std::string::size_type colon = value.rfind(':');
    if (colon != std::string::npos) {
        host = value.substr(0, colon);
        port = value.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    if (host.empty() || !readNumber(port, 0, 65535, httpPort)) {
        error = "-http takes [ADDRESS:]PORT, e.g. 8080 or 0.0.0.0:8080 (0: a free port)";
        return;
    }
    http = value;
    httpAddress = host;
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
    else if (option == "-on_end" || option == "-on_error") {
        if (value.find_first_not_of(" \t") == std::string::npos)
            error = option + " takes a command";
        else
            (option == "-on_end" ? onEnd : onError) = value;
    } else if (option == "-http")
        setHttp(value, error);
    else if (option == "-http_token") {
        if (value.size() < 8)
            error = "-http_token takes a token of at least 8 characters";
        else
            httpToken = value;
    } else if (option == "-http_port_file")
        httpPortFile = value;
    else if (option == "-history")
        history = value;
    else if (option == "-keep_days" && !readNumber(value, 1, 36500, keepDays))
        error = "-keep_days takes a number of days from 1 to 36500";
    else if (option == "-since" && !readAge(value, since))
        error = "-since takes an age: 2d, 12h, 30m, 45s (a bare number counts days)";
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
           "  -exit_when_idle  exit once every job that connected has gone (jobs lost as\n"
           "                   their Jabber server went away are waited for a while)\n"
           "  -on_end CMD      run CMD when a job ends, -on_error CMD at a job's first error;\n"
           "                   CMD is a program and its arguments, run without a shell, with\n"
           "                   IPM_EVENT, IPM_JOB, IPM_STATE, IPM_MESSAGE... in its environment\n"
           "  -quiet           no terminal bell on the board when a job ends or fails\n"
           "  -http [A:]PORT   serve a web page of the jobs on PORT (0: a free one) of address A\n"
           "                   (default 127.0.0.1); read-only unless -http_token is given\n"
           "  -http_token T    allow Kill from the page to those who give the token T\n"
           "  -http_port_file F  write the web page's port to F\n"
           "  -history FILE    keep jobs and reports in FILE (default\n"
           "                   $XDG_STATE_HOME/ipm_monitor/history.sqlite; none: no history)\n"
           "  -keep_days N     keep the history of N days (default 30)\n"
           "past jobs, from the history:\n"
           "  -jobs [-since AGE]  list the jobs of the history (since 7d unless AGE: 2d, 12h)\n"
           "  -replay history:JOB  show a job of the history (its name, or the number -jobs "
           "shows)\n"
           "commands (typed on the board's command line, or on standard input):\n"
           "  kill <job> | kill all | list | status | select <job> | plot <field> | help | quit\n";
}
