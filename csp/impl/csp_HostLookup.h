#ifndef CSP_IMPL_CSP_HOSTLOOKUP_H
#define CSP_IMPL_CSP_HOSTLOOKUP_H

#include "platform/platform_Sockets.h"

#include <string>
#include <vector>

// A name-service lookup run on a thread of its own, so that a caller can stop waiting for a
// name server that never answers: the thread finishes the lookup by itself later and hands
// its result to no one. Lookups that were given up on and still run are few at any time:
// with that many, a new one is given up on at once.
class csp_HostLookup {
public:
    enum Outcome { found, notFound, timedOut };

    struct Result {
        Outcome outcome = notFound;
        std::string name;
        std::vector<std::string> aliases;
        std::vector<in_addr> addresses;
    };

    // The empty name is the local machine.
    static Result byName(const std::string& name, int timeoutMilliseconds);
    static Result byAddress(const in_addr& address, int timeoutMilliseconds);

    // A check asked every few milliseconds while the calling thread waits; when it answers
    // true the wait ends as if the time had run out. Null: wait the whole time. Per thread.
    typedef bool (*GiveUpCheck)();
    static void setGiveUpCheck(GiveUpCheck check);

    // How many lookups are running now, the waited-for and the given-up ones.
    static int running();
    // How many of them were given up on.
    static int abandoned();
};

#endif
