#include "base/aio_ostream.h"

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

aio_ostream& operator<<(aio_ostream& stream, const cow_String& text) {
    return stream.print(text.c_str());
}

aio_ostream& operator<<(aio_ostream& stream, const char* text) {
    return stream.print(text);
}

aio_ostream& operator<<(aio_ostream& stream, int value) {
    return stream.print_int(value);
}
