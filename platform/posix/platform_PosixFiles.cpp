#include "platform/platform_Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// strerror_r comes in two shapes; both are thread-safe, unlike strerror.
[[maybe_unused]] const char* describedBy(int, const char* buffer) {
    return buffer;
}
[[maybe_unused]] const char* describedBy(const char* text, const char*) {
    return text;
}

std::string describe(int error) {
    char buffer[256] = {0};
    return describedBy(strerror_r(error, buffer, sizeof buffer), buffer);
}

int openWithoutFollowing(const char* path) {
    // Non-blocking only while opening: a FIFO without a reader must not hold the caller.
    const int flags =
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (;;) {
        const int descriptor = ::open(path, flags, 0666);
        if (descriptor >= 0 || errno != EINTR)
            return descriptor;
    }
}

bool isRegularFile(int descriptor) {
    struct stat information;
    return ::fstat(descriptor, &information) == 0 && S_ISREG(information.st_mode);
}

void cutBackTo(int descriptor, off_t length) {
    while (::ftruncate(descriptor, length) != 0 && errno == EINTR) {
    }
}

} // namespace

namespace platform_file {

Handle openForAppend(const char* path, std::string& reason) {
    const int descriptor = openWithoutFollowing(path);
    if (descriptor < 0) {
        if (errno == ELOOP)
            reason = "it is a symbolic link";
        else if (errno == ENXIO)
            reason = "it is not a regular file"; // a FIFO nobody reads, or a device
        else
            reason = describe(errno);
        return noHandle;
    }
    if (!isRegularFile(descriptor)) {
        reason = "it is not a regular file";
        ::close(descriptor);
        return noHandle;
    }
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0)
        ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return descriptor;
}

// With O_APPEND each write lands at the end of the file and leaves the offset just past the
// bytes it wrote, so where this report began is asked only when a write falls short: a whole
// report costs one system call.
bool appendWhole(Handle file, const char* data, std::size_t length, std::string& reason) {
    std::size_t written = 0;
    off_t before = -1;
    int error = 0;
    while (written < length) {
        const ssize_t count = ::write(file, data + written, length - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            error = count < 0 ? errno : ENOSPC;
            break;
        }
        written += static_cast<std::size_t>(count);
        if (written < length && before < 0) {
            const off_t after = ::lseek(file, 0, SEEK_CUR);
            before = after < 0 ? after : after - static_cast<off_t>(written);
        }
    }
    if (written == length)
        return true;
    if (before >= 0)
        cutBackTo(file, before);
    reason = describe(error);
    return false;
}

bool isRemoved(Handle file) {
    struct stat information;
    return ::fstat(file, &information) == 0 && information.st_nlink == 0;
}

void close(Handle file) {
    if (file != noHandle)
        ::close(file);
}

} // namespace platform_file
