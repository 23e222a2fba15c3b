#ifndef BASE_COW_STRING_H
#define BASE_COW_STRING_H

#include "base/base_Export.h"

// The host's reference-counted string. Copies share one representation; a write
// to a shared string copies it first. The count is atomic so that strings may be
// handed from one thread to another (the report buffer does so), but a single
// cow_String object must still be used by one thread at a time.
class QORKEL_API cow_String {
public:
    cow_String() = default;
    cow_String(const char* text);
    cow_String(const char* text, int length);
    explicit cow_String(int value);
    explicit cow_String(unsigned value);
    // Shortest text that reads back to the same double.
    explicit cow_String(double value);
    cow_String(const cow_String& other);
    cow_String(cow_String&& other) noexcept;
    ~cow_String();

    cow_String& operator=(const cow_String& other);
    cow_String& operator=(cow_String&& other) noexcept;
    cow_String& operator=(const char* text);

    // Appends `count` characters of text[start, length) (the library always passes
    // 0 and 0x7fffffff: the whole piece).
    cow_String& append(const char* text, int length, int start = 0, int count = 0x7fffffff);
    cow_String& append(const char* text);
    cow_String& append(const cow_String& other);
    cow_String& operator+=(const char* text) { return append(text); }
    cow_String& operator+=(const cow_String& other) { return append(other); }

    // Replaces `count` characters at `position` with a piece of text, as append picks it.
    cow_String& replace(int position, int count, const char* text, int length, int start = 0,
                        int pieceCount = 0x7fffffff);

    // Position of the first occurrence at or after start; length() when there is none.
    int Find(const char* text, int start = 0) const;
    int Find(const cow_String& text, int start = 0) const;
    cow_String Substr(int position, int count) const;

    char operator[](int index) const;
    const char* c_str() const;
    int length() const;
    bool IsEmpty() const { return length() == 0; }

    // Releases this object's reference; the string reads as empty afterwards.
    void Delete();

    bool operator==(const char* text) const;
    bool operator==(const cow_String& other) const;
    bool operator!=(const char* text) const { return !(*this == text); }
    bool operator!=(const cow_String& other) const { return !(*this == other); }
    bool operator<(const cow_String& other) const;

private:
    struct Rep;
    Rep* rep = nullptr;

    void makeUnique(int capacity);
    void assign(const char* text, int length);
};

QORKEL_API cow_String operator+(const cow_String& left, const cow_String& right);

#endif
