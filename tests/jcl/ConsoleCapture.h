#ifndef TESTS_JCL_CONSOLECAPTURE_H
#define TESTS_JCL_CONSOLECAPTURE_H

#include "base/aio_ostream.h"

#include <cstdio>
#include <cstdlib>
#include <string>

// Redirects the console stream into memory for the life of the object.
class ConsoleCapture {
public:
#if defined(_WIN32)
    // Windows has no memory stream: a temporary file, read back from the start.
    ConsoleCapture() : memory(std::tmpfile()) {
        previous = aio_cout.SetTarget(memory);
    }
#else
    ConsoleCapture() : memory(open_memstream(&buffer, &size)) {
        previous = aio_cout.SetTarget(memory);
    }
#endif
    ~ConsoleCapture() {
        aio_cout.SetTarget(previous);
        std::fclose(memory);
        std::free(buffer);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string Text() {
        std::fflush(memory);
#if defined(_WIN32)
        long end = std::ftell(memory);
        std::string text(end > 0 ? end : 0, '\0');
        std::fseek(memory, 0, SEEK_SET);
        text.resize(std::fread(&text[0], 1, text.size(), memory));
        std::fseek(memory, 0, SEEK_END);
        return text;
#else
        return std::string(buffer, size);
#endif
    }

private:
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* memory;
    std::FILE* previous;
};

#endif
