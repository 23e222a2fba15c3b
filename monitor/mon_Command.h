#ifndef MONITOR_MON_COMMAND_H
#define MONITOR_MON_COMMAND_H

#include <string>
#include <vector>

// One line typed at the monitor: "kill <job>", "kill all", "list" (or "status"),
// "select <job>", "plot <field>", "help", "quit" (or "exit").
struct mon_Command {
    enum Kind { nothing, kill, list, select, plot, help, quit, unknown };

    static mon_Command Parse(const std::string& line);
    // What `help` shows, a line each.
    static std::vector<const char*> Help();

    Kind kind = nothing;
    std::string argument; // the job to kill or select, "all", or the field to plot
};

#endif
