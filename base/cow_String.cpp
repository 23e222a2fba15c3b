#include "base/cow_String.h"

#include "base/mem_Memory.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

struct cow_String::Rep {
    std::atomic<int> refs;
    int length;
    int capacity;
    char text[1]; // length + 1 bytes follow; the text is always zero-terminated

    // Sized to the text, not to sizeof(Rep): the padding after text[1] would cost every
    // string a few bytes, and the report buffer holds many.
    static std::size_t blockSize(int capacity) {
        const std::size_t needed = offsetof(Rep, text) + static_cast<std::size_t>(capacity) + 1;
        return needed < sizeof(Rep) ? sizeof(Rep) : needed;
    }

    static Rep* create(int capacity) {
        void* block = mem_OperatorNewThrow(blockSize(capacity));
        Rep* rep = new (block) Rep;
        rep->refs.store(1, std::memory_order_relaxed);
        rep->length = 0;
        rep->capacity = capacity;
        rep->text[0] = '\0';
        return rep;
    }
    void retain() { refs.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~Rep();
            mem_Free(this);
        }
    }
};

static int clampedLength(const char* text, int length) {
    if (text == nullptr || length <= 0)
        return 0;
    const void* end = std::memchr(text, '\0', static_cast<std::size_t>(length));
    return end ? static_cast<int>(static_cast<const char*>(end) - text) : length;
}

// Narrows text[0, length) to the piece [start, start + count).
static void selectPiece(const char*& text, int& length, int start, int count) {
    start = std::max(0, std::min(start, length));
    count = std::max(0, std::min(count, length - start));
    text += start;
    length = count;
}

cow_String::cow_String(const char* text) {
    assign(text, text ? int(std::strlen(text)) : 0);
}

cow_String::cow_String(const char* text, int length) {
    assign(text, clampedLength(text, length));
}

cow_String::cow_String(int value) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    assign(digits, int(result.ptr - digits));
}

cow_String::cow_String(unsigned value) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    assign(digits, int(result.ptr - digits));
}

cow_String::cow_String(double value) {
    char digits[64];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    assign(digits, int(result.ptr - digits));
}

cow_String::cow_String(const cow_String& other) : rep(other.rep) {
    if (rep)
        rep->retain();
}

cow_String::cow_String(cow_String&& other) noexcept : rep(other.rep) {
    other.rep = nullptr;
}

cow_String::~cow_String() {
    Delete();
}

cow_String& cow_String::operator=(const cow_String& other) {
    if (other.rep)
        other.rep->retain();
    Delete();
    rep = other.rep;
    return *this;
}

cow_String& cow_String::operator=(cow_String&& other) noexcept {
    if (this != &other) {
        Delete();
        rep = other.rep;
        other.rep = nullptr;
    }
    return *this;
}

cow_String& cow_String::operator=(const char* text) {
    cow_String copy(text);
    return *this = std::move(copy);
}

void cow_String::Delete() {
    if (rep)
        rep->release();
    rep = nullptr;
}

void cow_String::assign(const char* text, int length) {
    Delete();
    if (length <= 0)
        return;
    rep = Rep::create(length);
    std::memcpy(rep->text, text, static_cast<std::size_t>(length));
    rep->text[length] = '\0';
    rep->length = length;
}

// Gives this string a representation of its own with room for `capacity` characters.
void cow_String::makeUnique(int capacity) {
    bool shared = rep && rep->refs.load(std::memory_order_acquire) != 1;
    if (rep && !shared && rep->capacity >= capacity)
        return;
    int grown = std::max(capacity, rep ? rep->capacity + rep->capacity / 2 : 0);
    Rep* fresh = Rep::create(grown);
    if (rep) {
        std::memcpy(fresh->text, rep->text, static_cast<std::size_t>(rep->length) + 1);
        fresh->length = rep->length;
        rep->release();
    }
    rep = fresh;
}

cow_String& cow_String::append(const char* text, int length, int start, int count) {
    length = clampedLength(text, length);
    selectPiece(text, length, start, count);
    if (length == 0)
        return *this;
    if (rep && text >= rep->text && text < rep->text + rep->length) {
        cow_String piece(text, length); // appending a piece of ourselves
        return append(piece.c_str(), length);
    }
    int oldLength = this->length();
    makeUnique(oldLength + length);
    std::memcpy(rep->text + oldLength, text, static_cast<std::size_t>(length));
    rep->length = oldLength + length;
    rep->text[rep->length] = '\0';
    return *this;
}

cow_String& cow_String::append(const char* text) {
    return append(text, text ? int(std::strlen(text)) : 0);
}

cow_String& cow_String::append(const cow_String& other) {
    cow_String keep(other); // other may be *this
    return append(keep.c_str(), keep.length());
}

cow_String& cow_String::replace(int position, int count, const char* text, int length, int start,
                                int pieceCount) {
    length = clampedLength(text, length);
    selectPiece(text, length, start, pieceCount);
    int total = this->length();
    position = std::max(0, std::min(position, total));
    count = std::max(0, std::min(count, total - position));
    cow_String result(c_str(), position);
    result.append(text, length);
    result.append(c_str() + position + count, total - position - count);
    return *this = std::move(result);
}

int cow_String::Find(const char* text, int start) const {
    int total = length();
    if (text == nullptr || start < 0 || start > total)
        return total;
    const char* hit = std::strstr(c_str() + start, text);
    return hit ? int(hit - c_str()) : total;
}

int cow_String::Find(const cow_String& text, int start) const {
    return Find(text.c_str(), start);
}

cow_String cow_String::Substr(int position, int count) const {
    int total = length();
    position = std::max(0, std::min(position, total));
    count = std::max(0, std::min(count, total - position));
    return cow_String(c_str() + position, count);
}

char cow_String::operator[](int index) const {
    return (index >= 0 && index < length()) ? rep->text[index] : '\0';
}

const char* cow_String::c_str() const {
    return rep ? rep->text : "";
}

int cow_String::length() const {
    return rep ? rep->length : 0;
}

bool cow_String::operator==(const char* text) const {
    return std::strcmp(c_str(), text ? text : "") == 0;
}

bool cow_String::operator==(const cow_String& other) const {
    return rep == other.rep || (length() == other.length() && *this == other.c_str());
}

bool cow_String::operator<(const cow_String& other) const {
    return std::strcmp(c_str(), other.c_str()) < 0;
}

cow_String operator+(const cow_String& left, const cow_String& right) {
    cow_String result(left);
    result.append(right);
    return result;
}
