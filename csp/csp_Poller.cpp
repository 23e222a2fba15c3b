#include "csp/csp_Poller.h"

#include "platform/platform_Sockets.h"

#include <algorithm>
#include <memory>

std::size_t csp_Poller::mostDescriptors() {
    return static_cast<std::size_t>(wsa::mostSocketsPerWait());
}

void csp_Poller::clear() {
    descriptors.clear();
    readable.clear();
}

void csp_Poller::add(int descriptor) {
    if (descriptor >= 0)
        descriptors.push_back(descriptor);
}

bool csp_Poller::isReadable(int descriptor) const {
    return std::binary_search(readable.begin(), readable.end(), descriptor);
}

bool csp_Poller::wait(int milliseconds) {
    csp_SocketError error;
    return wait(milliseconds, error);
}

bool csp_Poller::wait(int milliseconds, csp_SocketError& error) {
    readable.clear();
    const std::vector<wsa::SOCKET> sockets(descriptors.begin(), descriptors.end());
    const std::unique_ptr<bool[]> ready(new bool[sockets.size() + 1]);
    wsa::WSASetLastError(0);
    error = csp_SocketError();
    // A count of microseconds in a long, which has 32 bits on Windows.
    const long microseconds = milliseconds <= 0 ? 0 : std::min(milliseconds, 2000000) * 1000L;
    const int count = wsa::waitUntilAnyReadable(sockets.data(), static_cast<int>(sockets.size()),
                                                ready.get(), microseconds);
    if (count == SOCKET_ERROR) {
        error = csp_SocketError(wsa::WSAGetLastError());
        return false;
    }
    for (std::size_t i = 0; i < descriptors.size(); ++i)
        if (ready[i])
            readable.push_back(descriptors[i]);
    std::sort(readable.begin(), readable.end());
    return true;
}
