#include "platform/platform_Files.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

std::string describe(DWORD error) {
    char text[256] = {0};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string described(text, length);
    while (!described.empty() && (described.back() == '\n' || described.back() == '\r' ||
                                  described.back() == ' ' || described.back() == '.'))
        described.pop_back();
    if (described.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "Windows error %lu",
                      static_cast<unsigned long>(error));
        described = number;
    }
    return described;
}

std::string describeErrno(int error) {
    char text[128] = {0};
    if (strerror_s(text, sizeof text, error) != 0)
        return "error";
    return text;
}

} // namespace

namespace platform_file {

// Opened as the link itself (FILE_FLAG_OPEN_REPARSE_POINT), so that a link is seen and
// refused instead of followed; the handle then becomes a C runtime descriptor in text mode,
// which writes each line feed as CR LF as the message file always had.
Handle openForAppend(const char* path, std::string& reason) {
    HANDLE file = CreateFileA(
        path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = describe(GetLastError());
        return noHandle;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        reason = describe(GetLastError());
        CloseHandle(file);
        return noHandle;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        reason = "it is a symbolic link or another reparse point";
        CloseHandle(file);
        return noHandle;
    }
    if (GetFileType(file) != FILE_TYPE_DISK ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "it is not a regular file";
        CloseHandle(file);
        return noHandle;
    }
    const int descriptor =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_APPEND | _O_TEXT);
    if (descriptor < 0) {
        reason = "no C runtime descriptor left";
        CloseHandle(file);
        return noHandle;
    }
    return descriptor;
}

bool appendWhole(Handle file, const char* data, std::size_t length, std::string& reason) {
    const __int64 before = _lseeki64(file, 0, SEEK_END);
    if (before < 0) {
        reason = describeErrno(errno);
        return false;
    }
    std::size_t written = 0;
    int error = 0;
    while (written < length) {
        const std::size_t left = length - written;
        const unsigned piece = left > 0x10000000u ? 0x10000000u : static_cast<unsigned>(left);
        const int count = _write(file, data + written, piece);
        if (count <= 0) {
            error = count < 0 ? errno : ENOSPC;
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    if (written == length)
        return true;
    _chsize_s(file, before);
    reason = describeErrno(error);
    return false;
}

bool isRemoved(Handle file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file));
    FILE_STANDARD_INFO information;
    if (handle == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &information, sizeof information))
        return false;
    return information.DeletePending || information.NumberOfLinks == 0;
}

void close(Handle file) {
    if (file != noHandle)
        _close(file);
}

} // namespace platform_file
