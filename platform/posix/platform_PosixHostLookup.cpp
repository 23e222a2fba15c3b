#include "platform/platform_PosixSupport.h"
#include "platform/platform_Sockets.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using wsa_posix::recordError;

// Every thread keeps its last lookup result here, so that concurrent lookups never share
// storage; the result stays valid until the same thread's next lookup.
struct LookupStorage {
    hostent entry;
    std::vector<char> buffer = std::vector<char>(2048);
    // The local machine's record when the resolver does not know the machine's own name.
    std::string ownName;
    in_addr loopback;
    char* noAliases[1];
    char* loopbackList[2];
};

thread_local LookupStorage storage;

const std::size_t largestBuffer = 1 << 20;

void recordLookupError(int hostError) {
    switch (hostError) {
    case HOST_NOT_FOUND:
        recordError(WSAHOST_NOT_FOUND);
        break;
    case TRY_AGAIN:
        recordError(WSATRY_AGAIN);
        break;
    case NO_RECOVERY:
        recordError(WSANO_RECOVERY);
        break;
    case NO_DATA:
        recordError(WSANO_DATA);
        break;
    default:
        wsa_posix::recordSystemError();
        break;
    }
}

// Runs a reentrant lookup into the thread's storage, growing the buffer while it is short.
template <class Lookup> hostent* lookUp(Lookup lookup) {
    for (;;) {
        hostent* found = nullptr;
        int hostError = 0;
        const int result = lookup(&storage.entry, storage.buffer.data(), storage.buffer.size(),
                                  &found, &hostError);
        if (result == ERANGE && storage.buffer.size() < largestBuffer) {
            storage.buffer.resize(storage.buffer.size() * 2);
            continue;
        }
        if (found == nullptr) {
            recordLookupError(result == ERANGE ? NO_RECOVERY : hostError);
            return nullptr;
        }
        return found;
    }
}

hostent* lookUpName(const char* name) {
    return lookUp(
        [name](hostent* entry, char* buffer, std::size_t size, hostent** found, int* hostError) {
            return ::gethostbyname_r(name, entry, buffer, size, found, hostError);
        });
}

// The machine's own name under the loopback address.
hostent* ownLoopbackRecord(const char* ownName) {
    storage.ownName = ownName;
    storage.loopback.s_addr = htonl(INADDR_LOOPBACK);
    storage.noAliases[0] = nullptr;
    storage.loopbackList[0] = reinterpret_cast<char*>(&storage.loopback);
    storage.loopbackList[1] = nullptr;
    storage.entry.h_name = &storage.ownName[0];
    storage.entry.h_aliases = storage.noAliases;
    storage.entry.h_addrtype = AF_INET;
    storage.entry.h_length = sizeof(in_addr);
    storage.entry.h_addr_list = storage.loopbackList;
    return &storage.entry;
}

// Windows answers the empty name with the local machine.
hostent* lookUpLocalMachine() {
    char ownName[256] = {0};
    if (::gethostname(ownName, sizeof ownName - 1) != 0) {
        wsa_posix::recordSystemError();
        return nullptr;
    }
    if (hostent* found = lookUpName(ownName))
        return found;
    return ownLoopbackRecord(ownName);
}

} // namespace

namespace wsa {

hostent* gethostbyname(const char* name) {
    if (name == nullptr || *name == '\0')
        return lookUpLocalMachine();
    return lookUpName(name);
}

hostent* gethostbyaddr(const char* address, int length, int family) {
    if (address == nullptr || length < 0) {
        recordError(WSAEFAULT);
        return nullptr;
    }
    return lookUp(
        [=](hostent* entry, char* buffer, std::size_t size, hostent** found, int* hostError) {
            return ::gethostbyaddr_r(address, static_cast<socklen_t>(length), family, entry, buffer,
                                     size, found, hostError);
        });
}

int gethostname(char* name, int length) {
    if (name == nullptr || length <= 0) {
        recordError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (::gethostname(name, static_cast<std::size_t>(length)) != 0) {
        wsa_posix::recordSystemError();
        return SOCKET_ERROR;
    }
    return 0;
}

char* inet_ntoa(in_addr address) {
    // Per thread, as Windows keeps it.
    thread_local char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr)
        return nullptr;
    return text;
}

} // namespace wsa
