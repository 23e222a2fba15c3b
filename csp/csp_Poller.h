#ifndef CSP_CSP_POLLER_H
#define CSP_CSP_POLLER_H

#include "base/base_Export.h"
#include "csp/impl/csp_SocketError.h"

#include <cstddef>
#include <vector>

// One wait over many descriptors (a listener, the connections it accepted, a client's
// socket, on POSIX a terminal too), bounded in time: a single thread serves them all and
// still gets to its timers. Raises nothing.
class QORKEL_API csp_Poller {
public:
    // The most descriptors one wait takes (Windows' select: 1024; POSIX: any number).
    static std::size_t mostDescriptors();

    void clear();
    // A negative descriptor (a socket that is not open) is left out.
    void add(int descriptor);
    // Waits until a descriptor is readable (or has ended, or failed) or the time has passed;
    // on POSIX a signal ends the wait early. False, with the cause in `error`, when the wait
    // itself failed.
    bool wait(int milliseconds, csp_SocketError& error);
    bool wait(int milliseconds);
    bool isReadable(int descriptor) const;

private:
    std::vector<int> descriptors;
    std::vector<int> readable;
};

#endif
