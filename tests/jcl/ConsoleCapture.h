#ifndef TESTS_JCL_CONSOLECAPTURE_H
#define TESTS_JCL_CONSOLECAPTURE_H

#include "base/aio_ostream.h"

#include <cstdio>
#include <cstdlib>
#include <string>

// Redirects the console stream into memory for the life of the object.
class ConsoleCapture {
public:
    ConsoleCapture() : memory(open_memstream(&buffer, &size)) {
        previous = aio_cout.SetTarget(memory);
    }
    ~ConsoleCapture() {
        aio_cout.SetTarget(previous);
        std::fclose(memory);
        std::free(buffer);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string Text() {
        std::fflush(memory);
        return std::string(buffer, size);
    }

private:
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* memory;
    std::FILE* previous;
};

#endif
