#include "ipm/ipm_PayloadWriter.h"

#include "base/mem_Memory.h"

#include <climits>
#include <cstring>
#include <new>

ipm_PayloadWriter::ipm_PayloadWriter() : data(within), size(0), capacity(roomWithin) {}

ipm_PayloadWriter::~ipm_PayloadWriter() {
    if (data != within)
        mem_Free(data);
}

void ipm_PayloadWriter::AppendWritten(std::size_t position, std::size_t length) {
    // Reserved first: growing moves the bytes that are copied.
    char* const target = Reserve(length);
    std::memcpy(target, data + position, length);
    size += length;
}

// The largest payload a string can hold; a report past it could never be sent anyway.
void ipm_PayloadWriter::Grow(std::size_t more) {
    if (more > std::size_t(INT_MAX) - size)
        throw std::bad_alloc();
    std::size_t grown = capacity * 2;
    if (grown < size + more)
        grown = size + more;
    char* const moved = static_cast<char*>(mem_Malloc(grown));
    if (moved == nullptr)
        throw std::bad_alloc();
    std::memcpy(moved, data, size);
    if (data != within)
        mem_Free(data);
    data = moved;
    capacity = grown;
}

cow_String ipm_PayloadWriter::ToString() const {
    return cow_String(data, static_cast<int>(size));
}
