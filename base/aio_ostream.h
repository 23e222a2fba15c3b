#ifndef BASE_AIO_OSTREAM_H
#define BASE_AIO_OSTREAM_H

#include "base/base_Export.h"
#include "base/cow_String.h"

#include <cstdio>
#include <mutex>

// The host's console stream. Each call is atomic with respect to the others, so
// lines written from several threads never interleave inside one call.
class QORKEL_API aio_ostream {
public:
    explicit aio_ostream(std::FILE* target);
    aio_ostream(const aio_ostream&) = delete;
    aio_ostream& operator=(const aio_ostream&) = delete;

    aio_ostream& print(const char* text);
    aio_ostream& print_int(long value);
    aio_ostream& put(char character);
    aio_ostream& flush();

    // Redirects the stream, for example into a memory file in a test; returns the previous target.
    std::FILE* SetTarget(std::FILE* target);

    // Registers, once, handlers that hold both streams across fork(), so that a child never
    // inherits a stream locked by a thread it does not have. Nothing on Windows.
    static void InstallForkHandlers();

private:
    std::FILE* target;
    std::recursive_mutex mutex;
};

QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const cow_String& text);
QORKEL_API aio_ostream& operator<<(aio_ostream& stream, const char* text);
QORKEL_API aio_ostream& operator<<(aio_ostream& stream, int value);

// Standard output.
QORKEL_API extern aio_ostream aio_cout;
// Standard error: the library's one-line warnings about the job's options and its
// message file, which the job's user must see even when standard output is a log.
QORKEL_API extern aio_ostream aio_cerr;

#endif
