#include "monitor/mon_Poller.h"

#if defined(_WIN32)
// Windows' select takes any socket value but at most FD_SETSIZE of them.
#define FD_SETSIZE 1024
#include <winsock2.h>
#else
#include <cerrno>
#include <poll.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#if defined(_WIN32)
const std::size_t mon_Poller::mostDescriptors = FD_SETSIZE;
#else
const std::size_t mon_Poller::mostDescriptors = SIZE_MAX;
#endif

void mon_Poller::Clear() {
    descriptors.clear();
    readable.clear();
}

void mon_Poller::Add(int descriptor) {
    if (descriptor >= 0)
        descriptors.push_back(descriptor);
}

bool mon_Poller::IsReadable(int descriptor) const {
    return std::binary_search(readable.begin(), readable.end(), descriptor);
}

#if defined(_WIN32)

bool mon_Poller::Wait(int milliseconds) {
    readable.clear();
    if (descriptors.empty()) {
        // select with no socket fails at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return true;
    }
    fd_set readSet;
    FD_ZERO(&readSet);
    for (std::size_t i = 0; i < descriptors.size() && i < FD_SETSIZE; ++i)
        FD_SET(static_cast<SOCKET>(descriptors[i]), &readSet);
    timeval timeout;
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    if (::select(0, &readSet, nullptr, nullptr, &timeout) == SOCKET_ERROR)
        return false;
    for (const int descriptor : descriptors)
        if (FD_ISSET(static_cast<SOCKET>(descriptor), &readSet))
            readable.push_back(descriptor);
    std::sort(readable.begin(), readable.end());
    return true;
}

#else

bool mon_Poller::Wait(int milliseconds) {
    readable.clear();
    std::vector<pollfd> polled(descriptors.size());
    for (std::size_t i = 0; i < descriptors.size(); ++i)
        polled[i] = pollfd{descriptors[i], POLLIN, 0};
    const int ready = ::poll(polled.data(), nfds_t(polled.size()), milliseconds);
    if (ready < 0)
        return errno == EINTR;
    for (const pollfd& entry : polled)
        if (entry.revents != 0)
            readable.push_back(entry.fd);
    std::sort(readable.begin(), readable.end());
    return true;
}

#endif
