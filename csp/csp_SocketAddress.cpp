#include "csp/csp_SocketAddress.h"

#include "base/aio_ostream.h"
#include "base/mem_Memory.h"
#include "platform/platform_Sockets.h"

#include <cstring>
#include <new>

static_assert(sizeof(sockaddr_in) == 16, "the platform's sockaddr_in must be the 16-byte block");

csp_SocketAddress::csp_SocketAddress(const sockaddr_in& address) : storage(nullptr) {
    allocate();
    std::memcpy(storage, &address, sizeof *storage);
}

csp_SocketAddress::csp_SocketAddress(int port) : storage(nullptr) {
    clear();
    setPort(port);
}

csp_SocketAddress::csp_SocketAddress(const csp_IpAddress& address, int port) : storage(nullptr) {
    clear();
    setIpAddress(address);
    setPort(port);
}

csp_SocketAddress::csp_SocketAddress(const csp_SocketAddress& other) : storage(nullptr) {
    allocate();
    std::memcpy(storage, other.storage, sizeof *storage);
}

csp_SocketAddress::~csp_SocketAddress() {
    mem_Free(storage);
}

csp_SocketAddress& csp_SocketAddress::operator=(const sockaddr_in& address) {
    if (storage != &address)
        std::memcpy(storage, &address, sizeof *storage);
    return *this;
}

csp_SocketAddress& csp_SocketAddress::operator=(const csp_SocketAddress& other) {
    if (this != &other)
        std::memcpy(storage, other.storage, sizeof *storage);
    return *this;
}

csp_SocketAddress::operator sockaddr_in() const {
    return *storage;
}

short csp_SocketAddress::getFamily() const {
    return static_cast<short>(storage->sin_family);
}

void csp_SocketAddress::clear() {
    if (storage == nullptr)
        allocate();
    std::memset(storage, 0, sizeof *storage);
    storage->sin_family = AF_INET;
}

void csp_SocketAddress::setPort(int port) {
    storage->sin_port = htons(static_cast<unsigned short>(port & 0xffff));
}

int csp_SocketAddress::getPort() const {
    return ntohs(storage->sin_port);
}

csp_IpAddress csp_SocketAddress::getIpAddress() const {
    return csp_IpAddress(storage->sin_addr);
}

void csp_SocketAddress::setIpAddress(const csp_IpAddress& address) {
    storage->sin_addr = address.getInAddr();
}

bool csp_SocketAddress::operator==(const csp_SocketAddress& other) const {
    return getPort() == other.getPort() && getIpAddress() == other.getIpAddress();
}

bool csp_SocketAddress::operator<(const csp_SocketAddress& other) const {
    if (getPort() != other.getPort())
        return getPort() < other.getPort();
    return getIpAddress() < other.getIpAddress();
}

cow_String csp_SocketAddress::toString() const {
    cow_String text("SocketAddress( ");
    text.append(getIpAddress().toString());
    text.append(", port ");
    text.append(cow_String(getPort()));
    text.append(" )");
    return text;
}

void csp_SocketAddress::allocate() {
    storage = static_cast<sockaddr_in*>(mem_Malloc(sizeof(sockaddr_in)));
    if (storage == nullptr)
        throw std::bad_alloc();
}

aio_ostream& operator<<(aio_ostream& stream, const csp_SocketAddress& address) {
    return stream << address.toString();
}
