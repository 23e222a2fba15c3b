#ifndef TOOLS_MON_COMMAND_H
#define TOOLS_MON_COMMAND_H

#include <string>

// One line typed at the monitor: "kill <job>", "kill all", "list" or "quit".
struct mon_Command {
    enum Kind { nothing, kill, list, quit, unknown };

    static mon_Command Parse(const std::string& line);
    static const char* Usage() { return "commands: kill <job> | kill all | list | quit"; }

    Kind kind = nothing;
    std::string argument; // the job to kill, or "all"
};

#endif
