#include "monitor/mon_Platform.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> stopRequested(false);

extern "C" void requestStop(int) {
    stopRequested = true;
}

} // namespace

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

#if defined(_WIN32)

// Sockets are no C runtime descriptors on Windows: no per-process limit holds them.
bool mon_Platform::RaiseDescriptorLimit() {
    return true;
}

std::size_t mon_Platform::DescriptorLimit() {
    return SIZE_MAX;
}

#else

bool mon_Platform::RaiseDescriptorLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == RLIM_INFINITY)
        return true;
    // An unlimited hard limit still has the kernel's ceiling above it; ask for a plain
    // number rather than be refused.
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY
                              ? std::max<rlim_t>(limit.rlim_cur, rlim_t(65536))
                              : limit.rlim_max;
    if (limit.rlim_cur >= wanted)
        return true;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::size_t mon_Platform::DescriptorLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= rlim_t(SIZE_MAX))
        return SIZE_MAX;
    return std::size_t(limit.rlim_cur);
}

#endif
