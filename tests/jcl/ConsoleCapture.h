#ifndef TESTS_JCL_CONSOLECAPTURE_H
#define TESTS_JCL_CONSOLECAPTURE_H

#include "base/aio_ostream.h"

#include <cstdio>
#include <string>

// Redirects the console stream into a temporary file for the life of the object.
class ConsoleCapture {
public:
    ConsoleCapture() : file(std::tmpfile()) { previous = aio_cout.SetTarget(file); }
    ~ConsoleCapture() {
        aio_cout.SetTarget(previous);
        if (file != nullptr)
            std::fclose(file);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything written so far.
    std::string Text() {
        std::string text;
        if (file == nullptr)
            return text;
        std::fflush(file);
        std::rewind(file);
        char buffer[4096];
        std::size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, count);
        std::fseek(file, 0, SEEK_END);
        return text;
    }

private:
    std::FILE* file;
    std::FILE* previous;
};

#endif
