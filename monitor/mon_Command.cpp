#include "monitor/mon_Command.h"

#include <sstream>

mon_Command mon_Command::Parse(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    mon_Command command;
    // A job's name may hold blanks: the argument is the rest of the line.
    std::getline(words >> std::ws, command.argument);
    command.argument.erase(command.argument.find_last_not_of(" \t\r") + 1);
    if (verb.empty())
        command.kind = nothing;
    else if (verb == "kill" && !command.argument.empty())
        command.kind = kill;
    else if (verb == "list" || verb == "status")
        command.kind = list;
    else if (verb == "select" && !command.argument.empty())
        command.kind = select;
    else if (verb == "plot" && !command.argument.empty())
        command.kind = plot;
    else if (verb == "help" || verb == "?")
        command.kind = help;
    else if (verb == "quit" || verb == "exit")
        command.kind = quit;
    else
        command.kind = unknown;
    return command;
}

std::vector<const char*> mon_Command::Help() {
    return {"commands:",
            "  kill <job>     send Kill to the job and say whether it stopped",
            "  kill all       send Kill to every running job",
            "  list, status   every job with its state, progress and tally",
            "  select <job>   on the board: plot the job's numbers below the table (or use the",
            "                 up and down arrows; left and right choose the field)",
            "  plot <field>   on the board: which of the selected job's numbers to plot",
            "  help           this list",
            "  quit, exit     leave (names the jobs still connected; quit again to leave anyway)"};
}
