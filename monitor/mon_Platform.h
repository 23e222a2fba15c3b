#ifndef MONITOR_MON_PLATFORM_H
#define MONITOR_MON_PLATFORM_H

#include <cstddef>
#include <cstdio>

// The few things the monitor does that POSIX and Windows do differently, beside the sockets,
// which the library's socket layer serves.
class mon_Platform {
public:
    static bool IsTerminal(std::FILE* stream);
    // SIGINT and SIGTERM ask the monitor to stop (StopRequested) instead of ending it at
    // once, so that the terminal is restored and the summary printed.
    static void CatchStopSignals();
    static bool StopRequested();
    // To a byte offset of any size (a long has 32 bits on Windows).
    static bool Seek(std::FILE* file, long long offset);
    // Where the library's console diagnostics go: nowhere.
    static std::FILE* OpenNullDevice();
    // A monitor serves one connection per job: the soft limit on open descriptors goes up to
    // the hard one. False when it could not.
    static bool RaiseDescriptorLimit();
    // The limit on open descriptors now in force; SIZE_MAX when there is none.
    static std::size_t DescriptorLimit();
};

#endif
