#include "csp/csp_Host.h"

#include "base/aio_ostream.h"
#include "base/atr_translate.h"
#include "csp/impl/csp_HostLookup.h"
#include "csp/impl/csp_NetworkEx.h"

#include <cstring>
#include <mutex>

template class cow_List<csp_IpAddress>;

namespace {

// The local host record: built on first use, released by the module's last finalisation.
// The lock keeps two threads from building it at once or one from reading it while
// another releases it.
std::mutex localHostLock;
csp_Host* localHostRecord = nullptr;

cow_String translatedDetail(const cow_String& text) {
    atr_translate detail("%s");
    atr_SubstituteFormat(detail, 1, text);
    return detail.Result();
}

int compareNames(const cow_String& left, const cow_String& right) {
    const int shorter = left.length() < right.length() ? left.length() : right.length();
    const int common = std::memcmp(left.c_str(), right.c_str(), static_cast<std::size_t>(shorter));
    if (common != 0)
        return common;
    return left.length() - right.length();
}

// A lookup's outcome into a record's fields, or raised.
void fillFromLookup(cow_String& name, cow_List<cow_String>& aliases,
                    cow_List<csp_IpAddress>& addresses, const csp_HostLookup::Result& result,
                    const cow_String& detail) {
    if (result.outcome == csp_HostLookup::timedOut)
        csp_NetworkException::throwError(csp_NetworkException::system_call_timout, detail);
    if (result.outcome == csp_HostLookup::notFound)
        csp_NetworkException::throwError(csp_NetworkException::invalid_host, detail);
    name = cow_String(result.name.c_str());
    for (const std::string& alias : result.aliases)
        aliases.Append(cow_String(alias.c_str()));
    for (const in_addr& address : result.addresses)
        addresses.Append(csp_IpAddress(address));
}

} // namespace

csp_Host::csp_Host() = default;

csp_Host::csp_Host(const hostent& entry) {
    fill(entry);
}

csp_Host::csp_Host(const cow_String& hostName) {
    fillFromLookup(name, aliases, addresses,
                   csp_HostLookup::byName(hostName.c_str(), lookupTimeoutMilliseconds),
                   translatedDetail(hostName));
}

csp_Host::csp_Host(const csp_IpAddress& address) {
    fillFromLookup(name, aliases, addresses,
                   csp_HostLookup::byAddress(address.getInAddr(), lookupTimeoutMilliseconds),
                   translatedDetail(address.toString()));
}

void csp_Host::setLookupGiveUpCheck(GiveUpCheck check) {
    csp_HostLookup::setGiveUpCheck(check);
}

void csp_Host::fill(const hostent& entry) {
    name = cow_String(entry.h_name);
    for (char** alias = entry.h_aliases; alias != nullptr && *alias != nullptr; ++alias)
        aliases.Append(cow_String(*alias));
    for (char** address = entry.h_addr_list; address != nullptr && *address != nullptr; ++address) {
        in_addr value;
        std::memcpy(&value, *address, sizeof value);
        addresses.Append(csp_IpAddress(value));
    }
}

bool csp_Host::operator==(const csp_Host& other) const {
    return compareNames(name, other.name) == 0;
}

bool csp_Host::operator<(const csp_Host& other) const {
    return compareNames(name, other.name) < 0;
}

cow_String csp_Host::toString() const {
    cow_String text("Host( ");
    if (isDefined()) {
        text.append(name);
        text.append(",");
        for (int i = 0; i < addresses.Count(); ++i) {
            text.append(" ");
            text.append(addresses.ConstGet(i).toString());
        }
    } else {
        text.append("network host is not defined");
    }
    text.append(" )");
    return text;
}

csp_Host csp_Host::localHost() {
    std::lock_guard<std::mutex> hold(localHostLock);
    if (localHostRecord != nullptr)
        return *localHostRecord;
    char machineName[256] = {0};
    csp_Host* built = nullptr;
    try {
        if (wsa::gethostname(machineName, 255) == 0)
            built = new csp_Host(cow_String(machineName));
    } catch (const csp_NetworkException&) {
        built = nullptr;
    }
    if (built == nullptr)
        csp_NetworkException::throwError(
            csp_NetworkException::invalid_host,
            atr_translate("Could not find ip address for the localhost").Result());
    localHostRecord = built;
    return *localHostRecord;
}

void csp_Host::releaseLocalHost() {
    std::lock_guard<std::mutex> hold(localHostLock);
    delete localHostRecord;
    localHostRecord = nullptr;
}

bool csp_Host::hasLocalHost() {
    std::lock_guard<std::mutex> hold(localHostLock);
    return localHostRecord != nullptr;
}

aio_ostream& operator<<(aio_ostream& stream, const csp_Host& host) {
    return stream << host.toString();
}
