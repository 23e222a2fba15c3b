#include "mon_Platform.h"

#include "QORKelCommunications.h"

#include <atomic>
#include <csignal>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> stopRequested(false);

extern "C" void requestStop(int) {
    stopRequested = true;
}

} // namespace

bool mon_Platform::SetNonBlocking(int descriptor) {
#if defined(_WIN32)
    u_long on = 1;
    return ::ioctlsocket(static_cast<SOCKET>(descriptor), FIONBIO, &on) == 0;
#else
    const int flags = ::fcntl(descriptor, F_GETFL, 0);
    return flags != -1 && ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

void mon_Platform::AllowQuickRebind(int descriptor) {
#if defined(_WIN32)
    (void)descriptor;
#else
    const int on = 1;
    wsa::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                    int(sizeof on));
#endif
}

bool mon_Platform::IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
    return ::_isatty(::_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

void mon_Platform::CatchStopSignals() {
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
}

bool mon_Platform::StopRequested() {
    return stopRequested;
}

bool mon_Platform::Seek(std::FILE* file, long long offset) {
#if defined(_WIN32)
    return ::_fseeki64(file, offset, SEEK_SET) == 0;
#else
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::FILE* mon_Platform::OpenNullDevice() {
#if defined(_WIN32)
    return std::fopen("NUL", "w");
#else
    return std::fopen("/dev/null", "w");
#endif
}
