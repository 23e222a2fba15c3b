#ifndef CSP_CSP_IPADDRESS_H
#define CSP_CSP_IPADDRESS_H

#include "base/base_Export.h"
#include "base/cow_String.h"

#include <cstdint>

class aio_ostream;
struct in_addr;

// One IPv4 address, kept in network byte order; 0 is the any-address.
class QORKEL_API csp_IpAddress {
public:
    // From a value in host byte order.
    explicit csp_IpAddress(unsigned hostOrder = 0);
    explicit csp_IpAddress(const in_addr& networkOrder);
    // A dotted text is converted directly, any other text is looked up as a host name;
    // raises csp_NetworkException invalid_address or invalid_host.
    explicit csp_IpAddress(const cow_String& text);

    in_addr getInAddr() const;
    int getHostOrder() const;
    bool isDefined() const { return address != 0; }

    bool operator==(const csp_IpAddress& other) const;
    bool operator!=(const csp_IpAddress& other) const { return !(*this == other); }
    // Host-order values as signed integers: 128.0.0.0 and above sort before 0.0.0.0.
    bool operator<(const csp_IpAddress& other) const;

    // "IpAddress( 10.0.0.7 )", or "IpAddress( ANY )" for 0.
    cow_String toString() const;
    // "10.0.0.7"; "0.0.0.0" for the any-address.
    cow_String toDottedString() const;

    // The machine's address (the first of the local host record), the any-address when it
    // cannot be found.
    static csp_IpAddress localAddress();
    bool isLocal() const;
    // 127.0.0.0/8: only this machine can be there.
    bool isLoopback() const;

private:
    std::uint32_t address;
};

QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const csp_IpAddress& address);

#endif
