#ifndef TOOLS_MON_COMMAND_H
#define TOOLS_MON_COMMAND_H

#include <functional>
#include <string>

// One line typed at the monitor: "kill <job>", "kill all", "list" or "quit".
struct mon_Command {
    enum Kind { nothing, kill, list, quit, unknown };

    // What a listener does for each command.
    struct Actions {
        std::function<void(const std::string& job)> kill;
        std::function<void()> list;
        std::function<void()> quit;
        std::function<void(const std::string& text)> note;
    };

    static mon_Command Parse(const std::string& line);
    static void Run(const std::string& line, const Actions& actions);
    static const char* Usage() { return "commands: kill <job> | kill all | list | quit"; }

    Kind kind = nothing;
    std::string argument; // the job to kill, or "all"
};

#endif
