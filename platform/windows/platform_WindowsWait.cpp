// Windows' select takes any socket value but at most FD_SETSIZE of them; one wait of the
// monitor's takes a thousand connections.
#define FD_SETSIZE 1024

#include "platform/platform_Sockets.h"

#include <chrono>
#include <thread>

namespace wsa {

int mostSocketsPerWait() {
    return FD_SETSIZE;
}

int waitUntilAnyReadable(const SOCKET* sockets, int count, bool* readable, long microseconds) {
    if (count < 0 || (count > 0 && (sockets == nullptr || readable == nullptr))) {
        ::WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    const long wait = microseconds > 0 ? microseconds : 0;
    for (int i = 0; i < count; ++i)
        readable[i] = false;
    if (count == 0) {
        // select without a socket fails at once.
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
        return 0;
    }
    // Beyond FD_SETSIZE sockets are not looked at; callers keep within mostSocketsPerWait.
    const int watched = count < FD_SETSIZE ? count : FD_SETSIZE;
    fd_set readSet;
    FD_ZERO(&readSet);
    for (int i = 0; i < watched; ++i)
        FD_SET(sockets[i], &readSet);
    timeval timeout;
    timeout.tv_sec = wait / 1000000;
    timeout.tv_usec = wait % 1000000;
    const int ready = ::select(0, &readSet, nullptr, nullptr, &timeout);
    if (ready <= 0)
        return ready;
    for (int i = 0; i < watched; ++i)
        readable[i] = FD_ISSET(sockets[i], &readSet) != 0;
    return ready;
}

} // namespace wsa
