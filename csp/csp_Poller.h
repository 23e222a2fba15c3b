#ifndef MONITOR_MON_POLLER_H
#define MONITOR_MON_POLLER_H

#include <cstddef>
#include <vector>

// One wait over every descriptor the monitor reads (the listening socket, each job's
// connection, the Jabber server, the keyboard), bounded in time: the monitor's single
// thread serves them all and still gets to its timers and commands.
class mon_Poller {
public:
    // The most descriptors one wait takes (Windows' select: FD_SETSIZE; poll: any number).
    static const std::size_t mostDescriptors;

    void Clear();
    void Add(int descriptor);
    // Waits until a descriptor is readable (or closed, or failed) or the time has passed.
    // False when the wait itself failed.
    bool Wait(int milliseconds);
    bool IsReadable(int descriptor) const;

private:
    std::vector<int> descriptors;
    std::vector<int> readable;
};

#endif
