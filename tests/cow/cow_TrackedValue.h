#ifndef TESTS_COW_COW_TRACKEDVALUE_H
#define TESTS_COW_COW_TRACKEDVALUE_H

#include <gtest/gtest.h>

#include <unordered_set>

// An element type with a non-trivial copy that knows which of its instances are alive, so
// a test can tell a leak, a double destruction, or an assignment into a raw slot.
class cow_TrackedValue {
public:
    explicit cow_TrackedValue(int v = 0) : value(v) { Born(); }

    cow_TrackedValue(const cow_TrackedValue& other) : value(other.value) {
        ExpectAlive(&other, "copied from");
        Born();
        ++copies;
    }

    cow_TrackedValue& operator=(const cow_TrackedValue& other) {
        ExpectAlive(this, "assigned to");
        ExpectAlive(&other, "assigned from");
        value = other.value;
        ++assignments;
        return *this;
    }

    ~cow_TrackedValue() {
        ExpectAlive(this, "destroyed");
        Live().erase(this);
        ++destructions;
    }

    int Value() const { return value; }

    static std::unordered_set<const void*>& Live() {
        static std::unordered_set<const void*> live;
        return live;
    }

    static void ResetCounters() {
        copies = 0;
        assignments = 0;
        destructions = 0;
    }

    static inline long copies = 0;
    static inline long assignments = 0;
    static inline long destructions = 0;

private:
    void Born() {
        if (!Live().insert(this).second)
            ADD_FAILURE() << "constructed over a live value at " << this;
    }

    static void ExpectAlive(const void* at, const char* what) {
        if (Live().count(at) == 0)
            ADD_FAILURE() << what << " a slot holding no value at " << at;
    }

    int value;
};

#endif
