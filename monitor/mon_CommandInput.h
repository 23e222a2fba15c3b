#ifndef MONITOR_MON_COMMANDINPUT_H
#define MONITOR_MON_COMMANDINPUT_H

#include "csp/csp_Poller.h"

#include <string>

// Where typed commands come from: standard input read by a thread of its own, or the
// board's command line.
class mon_CommandInput {
public:
    virtual ~mon_CommandInput() = default;
    // Adds a descriptor to wait on, if the input has one the monitor's loop can wait for.
    virtual void Watch(csp_Poller&) {}
    // The next line typed, if one is complete.
    virtual bool Next(std::string& line) = 0;
};

#endif
