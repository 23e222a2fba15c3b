#include "base/aio_ostream.h"

#include <new>

#if !defined(_WIN32)
#include <pthread.h>
#endif

aio_ostream aio_cout(stdout);
aio_ostream aio_cerr(stderr);

aio_ostream::aio_ostream(std::FILE* target) : target(target) {}

aio_ostream& aio_ostream::print(const char* text) {
    std::lock_guard<std::recursive_mutex> hold(mutex);
    if (text != nullptr)
        std::fputs(text, target);
    return *this;
}

aio_ostream& aio_ostream::print_int(long value) {
    std::lock_guard<std::recursive_mutex> hold(mutex);
    std::fprintf(target, "%ld", value);
    return *this;
}

aio_ostream& aio_ostream::put(char character) {
    std::lock_guard<std::recursive_mutex> hold(mutex);
    std::fputc(character, target);
    return *this;
}

aio_ostream& aio_ostream::flush() {
    std::lock_guard<std::recursive_mutex> hold(mutex);
    std::fflush(target);
    return *this;
}

std::FILE* aio_ostream::SetTarget(std::FILE* newTarget) {
    std::lock_guard<std::recursive_mutex> hold(mutex);
    std::FILE* previous = target;
    target = newTarget;
    return previous;
}

void aio_ostream::InstallForkHandlers() {
#if !defined(_WIN32)
    struct Handlers {
        static void hold() {
            aio_cout.mutex.lock();
            aio_cerr.mutex.lock();
        }
        static void release() {
            aio_cerr.mutex.unlock();
            aio_cout.mutex.unlock();
        }
        // A recursive mutex answers only to the thread that holds it, and the child's thread
        // has another identity: the child starts both afresh, held by nobody.
        static void renew() {
            new (&aio_cout.mutex) std::recursive_mutex;
            new (&aio_cerr.mutex) std::recursive_mutex;
        }
    };
    static const bool installed =
        pthread_atfork(Handlers::hold, Handlers::release, Handlers::renew) == 0;
    (void)installed;
#endif
}

aio_ostream& operator<<(aio_ostream& stream, const cow_String& text) {
    return stream.print(text.c_str());
}

aio_ostream& operator<<(aio_ostream& stream, const char* text) {
    return stream.print(text);
}

aio_ostream& operator<<(aio_ostream& stream, int value) {
    return stream.print_int(value);
}
