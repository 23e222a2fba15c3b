#ifndef IPM_IPM_PAYLOADWRITER_H
#define IPM_IPM_PAYLOADWRITER_H

#include "base/cow_String.h"

#include <cstddef>
#include <cstring>
#include <string>

// The buffer a payload is written into before it becomes a string. A typical report fits in
// the room it carries with it (on the caller's stack), so encoding one allocates nothing but
// the finished string, which is sized once to the payload.
class ipm_PayloadWriter {
public:
    ipm_PayloadWriter();
    ~ipm_PayloadWriter();
    ipm_PayloadWriter(const ipm_PayloadWriter&) = delete;
    ipm_PayloadWriter& operator=(const ipm_PayloadWriter&) = delete;

    void Append(const char* text, std::size_t length) {
        std::memcpy(Reserve(length), text, length);
        size += length;
    }
    void Append(const std::string& text) { Append(text.data(), text.size()); }
    void Append(char c) {
        if (size == capacity)
            Grow(1);
        data[size++] = c;
    }
    template <std::size_t N> void AppendLiteral(const char (&text)[N]) { Append(text, N - 1); }
    // Appends again `length` bytes written earlier, from `position` on.
    void AppendWritten(std::size_t position, std::size_t length);

    // Room for `length` more bytes, to be written at the address answered and then counted
    // with Commit.
    char* Reserve(std::size_t length) {
        if (capacity - size < length)
            Grow(length);
        return data + size;
    }
    void Commit(std::size_t length) { size += length; }

    std::size_t Size() const { return size; }
    cow_String ToString() const;

private:
    static const std::size_t roomWithin = 1024;

    char* data;
    std::size_t size;
    std::size_t capacity;
    char within[roomWithin];

    void Grow(std::size_t more);
};

#endif
