#include "csp/csp_IpAddress.h"

#include "base/aio_ostream.h"
#include "base/atr_translate.h"
#include "csp/csp_Host.h"
#include "csp/impl/csp_NetworkEx.h"
#include "platform/platform_Sockets.h"

#include <atomic>
#include <cstring>

namespace {

// Never reset once found; atomic because any thread may ask for it.
std::atomic<std::uint32_t> cachedLocalAddress{0};

bool isDottedForm(const cow_String& text) {
    int dots = 0;
    for (int i = 0; i < text.length(); ++i) {
        const char character = text[i];
        if (character == '.')
            ++dots;
        else if (character < '0' || character > '9')
            return false;
    }
    return dots == 3;
}

cow_String translatedDetail(const cow_String& text) {
    atr_translate detail("%s");
    atr_SubstituteFormat(detail, 1, text);
    return detail.Result();
}

} // namespace

csp_IpAddress::csp_IpAddress(unsigned hostOrder) : address(htonl(hostOrder)) {}

csp_IpAddress::csp_IpAddress(const in_addr& networkOrder) {
    std::memcpy(&address, &networkOrder, sizeof address);
}

csp_IpAddress::csp_IpAddress(const cow_String& text) : address(0) {
    if (isDottedForm(text)) {
        const auto converted = inet_addr(text.c_str());
        // The rejection value is all ones, so 255.255.255.255 is refused too.
        if (converted == INADDR_NONE)
            csp_NetworkException::throwError(csp_NetworkException::invalid_address,
                                             translatedDetail(text));
        address = static_cast<std::uint32_t>(converted);
        return;
    }
    const csp_Host host(text);
    if (host.isDefined() && host.getAddresses().Count() > 0)
        address = host.getAddresses().ConstGet(0).address;
}

in_addr csp_IpAddress::getInAddr() const {
    in_addr value;
    std::memcpy(&value, &address, sizeof address);
    return value;
}

int csp_IpAddress::getHostOrder() const {
    return static_cast<int>(ntohl(address));
}

bool csp_IpAddress::operator==(const csp_IpAddress& other) const {
    return getHostOrder() == other.getHostOrder();
}

bool csp_IpAddress::operator<(const csp_IpAddress& other) const {
    return getHostOrder() < other.getHostOrder();
}

cow_String csp_IpAddress::toString() const {
    cow_String text("IpAddress( ");
    if (getHostOrder() == 0)
        text.append("ANY");
    else
        text.append(wsa::inet_ntoa(getInAddr()));
    text.append(" )");
    return text;
}

csp_IpAddress csp_IpAddress::localAddress() {
    csp_IpAddress found;
    found.address = cachedLocalAddress.load();
    if (found.isDefined())
        return found;
    try {
        const csp_Host local(csp_Host::localHost());
        if (local.getAddresses().Count() > 0)
            found = local.getAddresses().ConstGet(0);
    } catch (...) {
        return csp_IpAddress();
    }
    if (found.isDefined())
        cachedLocalAddress.store(found.address);
    return found;
}

cow_String csp_IpAddress::toDottedString() const {
    return wsa::inet_ntoa(getInAddr());
}

bool csp_IpAddress::isLocal() const {
    return *this == localAddress();
}

bool csp_IpAddress::isLoopback() const {
    return (static_cast<unsigned>(getHostOrder()) >> 24) == 127;
}

aio_ostream& operator<<(aio_ostream& stream, const csp_IpAddress& address) {
    return stream << address.toString();
}
