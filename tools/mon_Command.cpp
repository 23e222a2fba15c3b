#include "mon_Command.h"

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
    else if (verb == "list")
        command.kind = list;
    else if (verb == "quit" || verb == "exit")
        command.kind = quit;
    else
        command.kind = unknown;
    return command;
}

void mon_Command::Run(const std::string& line, const Actions& actions) {
    const mon_Command command = Parse(line);
    switch (command.kind) {
    case kill:
        actions.kill(command.argument);
        break;
    case list:
        actions.list();
        break;
    case quit:
        actions.quit();
        break;
    case unknown:
        actions.note(Usage());
        break;
    case nothing:
        break;
    }
}
