#ifndef CSP_CSP_SOCKETADDRESS_H
#define CSP_CSP_SOCKETADDRESS_H

#include "base/base_Export.h"
#include "csp/csp_IpAddress.h"

class aio_ostream;
struct sockaddr_in;

// An IPv4 address with a port, held in the platform's 16-byte sockaddr_in layout in a block
// of its own (copies never share it).
class QORKEL_API csp_SocketAddress {
public:
    explicit csp_SocketAddress(const sockaddr_in& address);
    // The any-address with the port.
    explicit csp_SocketAddress(int port);
    csp_SocketAddress(const csp_IpAddress& address, int port);
    csp_SocketAddress(const csp_SocketAddress& other);
    ~csp_SocketAddress();

    csp_SocketAddress& operator=(const sockaddr_in& address);
    csp_SocketAddress& operator=(const csp_SocketAddress& other);

    operator sockaddr_in() const;
    // The length handed to platform calls with the block.
    static int getLength() { return 16; }

    short getFamily() const;
    bool isInetFamily() const { return getFamily() == 2; } // AF_INET
    bool isUnixFamily() const { return getFamily() == 1; }

    // All zero, family AF_INET.
    void clear();

    // Keeps the low 16 bits.
    void setPort(int port);
    int getPort() const;
    csp_IpAddress getIpAddress() const;
    void setIpAddress(const csp_IpAddress& address);

    // A port is set; the address is not looked at.
    bool isDefined() const { return getPort() != 0; }

    // Port and address only; family and padding are not compared.
    bool operator==(const csp_SocketAddress& other) const;
    bool operator!=(const csp_SocketAddress& other) const { return !(*this == other); }
    // By port, then by the address's host-order value as a signed integer.
    bool operator<(const csp_SocketAddress& other) const;

    // "SocketAddress( IpAddress( ANY ), port 5000 )"
    cow_String toString() const;

private:
    sockaddr_in* storage;

    void allocate();
};

QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const csp_SocketAddress& address);

#endif
