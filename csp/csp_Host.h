#ifndef CSP_CSP_HOST_H
#define CSP_CSP_HOST_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "cow/cow_List.h"
#include "csp/csp_IpAddress.h"

class aio_ostream;
struct hostent;

// The list of a host's addresses is instantiated once, inside the library.
// A Windows host makes its own: MinGW imports the inline members of an imported instantiation,
// which the DLL does not export.
#if !defined(_WIN32) || defined(QORKEL_BUILDING) || defined(QORKEL_STATIC)
extern template class QORKEL_API cow_List<csp_IpAddress>;
#endif

// The result of a name-service lookup: official name, aliases and IPv4 addresses.
class QORKEL_API csp_Host {
public:
    csp_Host();
    explicit csp_Host(const hostent& entry);
    // Look-ups; a name or address that does not resolve raises invalid_host. A name service
    // that does not answer within lookupTimeoutMilliseconds raises system_call_timout.
    explicit csp_Host(const cow_String& name);
    explicit csp_Host(const csp_IpAddress& address);

    static constexpr int lookupTimeoutMilliseconds = 10000;
    // Lets the calling thread stop waiting for a lookup early: while it waits, check is asked
    // every few milliseconds, and an answer of true ends the wait as a time-out does. Null
    // (the default) waits the whole time. It applies to the calling thread only.
    typedef bool (*GiveUpCheck)();
    static void setLookupGiveUpCheck(GiveUpCheck check);

    bool isDefined() const { return !name.IsEmpty(); }
    cow_String getName() const { return name; }
    const cow_List<cow_String>& getAliases() const { return aliases; }
    const cow_List<csp_IpAddress>& getAddresses() const { return addresses; }

    // By name, byte by byte as unsigned characters.
    bool operator==(const csp_Host& other) const;
    bool operator!=(const csp_Host& other) const { return !(*this == other); }
    bool operator<(const csp_Host& other) const;

    // "Host( alpha, IpAddress( 10.0.0.7 ) )" or "Host( network host is not defined )"
    cow_String toString() const;

    // The machine the job runs on, built on first use; raises invalid_host when it cannot
    // be found, and tries again on the next use.
    static csp_Host localHost();
    // Forgets the local host record; the socket module's last finalisation calls it.
    static void releaseLocalHost();
    // Whether the local host record is built.
    static bool hasLocalHost();

private:
    cow_String name;
    cow_List<cow_String> aliases;
    cow_List<csp_IpAddress> addresses;

    void fill(const hostent& entry);
};

QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const csp_Host& host);

#endif
