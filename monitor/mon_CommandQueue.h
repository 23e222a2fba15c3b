#ifndef MONITOR_MON_COMMANDQUEUE_H
#define MONITOR_MON_COMMANDQUEUE_H

#include "monitor/mon_CommandInput.h"

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

// Lines typed on an input stream, collected by a thread of their own so that the serving
// loop never blocks on the terminal. The reading thread is detached: it may sit in a read
// until the process ends, and keeps the shared state alive for as long as it needs it.
class mon_CommandQueue : public mon_CommandInput {
public:
    explicit mon_CommandQueue(std::FILE* in);

    // The oldest line not yet taken; false when none is waiting.
    bool Next(std::string& line) override;
    // The input has ended and every line has been taken.
    bool Ended();

private:
    struct Shared {
        std::mutex mutex;
        std::deque<std::string> lines;
        bool ended = false;
    };
    std::shared_ptr<Shared> shared;

    static void readLines(std::FILE* in, std::shared_ptr<Shared> shared);
};

#endif
