#ifndef BASE_COW_MAP_H
#define BASE_COW_MAP_H

#include "base/mem_Memory.h"

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

// The host's ordered map. Copies share one table until either side writes, so
// copying a map (and an element tree holding one) is constant time.
//
// The table is one block from the small-object pools: a counter and the entries sorted by
// key, looked up by binary search. The maps held here are small (an element's attributes,
// a command line's options), where one block and a few moves cost far less than a tree's
// node per entry; an insert moves the entries after it.
template <class K, class V> class cow_Map {
    struct Entry {
        K key;
        V value;
    };
    struct Table;

public:
    class ConstIterator;

    cow_Map() = default;
    cow_Map(const cow_Map& other) : table(other.table) {
        if (table)
            table->Retain();
    }
    cow_Map(cow_Map&& other) noexcept : table(other.table) { other.table = nullptr; }
    ~cow_Map() { Table::Release(table); }

    cow_Map& operator=(const cow_Map& other) {
        if (other.table)
            other.table->Retain();
        Table::Release(table);
        table = other.table;
        return *this;
    }
    cow_Map& operator=(cow_Map&& other) noexcept {
        if (this != &other) {
            Table::Release(table);
            table = other.table;
            other.table = nullptr;
        }
        return *this;
    }

    // Returns false, leaving the map unchanged, when the key is present already.
    bool Insert(const K& key, const V& value) {
        const int at = LowerBound(key);
        if (HoldsAt(at, key))
            return false;
        InsertAt(at, key, value);
        return true;
    }
    // Inserts or overwrites.
    void Set(const K& key, const V& value) {
        const int at = LowerBound(key);
        if (!HoldsAt(at, key)) {
            InsertAt(at, key, value);
            return;
        }
        // Should value live in a shared table, its other holder keeps it alive.
        Writable(Size()).Entries()[at].value = value;
    }
    // Set for keys that arrive in ascending order, as from a sorted list: a key that sorts
    // after every key present goes to the end without a search.
    void SetAscending(const K& key, const V& value) {
        const int size = Size();
        if (size > 0 && !(table->Entries()[size - 1].key < key))
            Set(key, value);
        else
            InsertAt(size, key, value);
    }
    bool Remove(const K& key) {
        const int at = LowerBound(key);
        if (!HoldsAt(at, key))
            return false;
        Table& own = Writable(Size());
        Entry* entries = own.Entries();
        for (int k = at + 1; k < own.size; ++k)
            entries[k - 1] = std::move(entries[k]);
        entries[--own.size].~Entry();
        return true;
    }
    bool IsMember(const K& key) const { return HoldsAt(LowerBound(key), key); }

    // A missing key yields a default-constructed value, never a failure.
    const V& ConstGet(const K& key) const {
        static const V missing{};
        const int at = LowerBound(key);
        return HoldsAt(at, key) ? table->Entries()[at].value : missing;
    }

    int Size() const { return table ? table->size : 0; }
    bool IsEmpty() const { return Size() == 0; }
    void Clear() {
        Table::Release(table);
        table = nullptr;
    }
    // Room for n entries in an unshared table, so that filling it allocates once.
    void Reserve(int n) {
        if (n > 0)
            Writable(n);
    }

    bool operator==(const cow_Map& other) const {
        if (table == other.table)
            return true;
        const int size = Size();
        if (size != other.Size())
            return false;
        for (int k = 0; k < size; ++k) {
            const Entry& mine = table->Entries()[k];
            const Entry& theirs = other.table->Entries()[k];
            if (!(mine.key == theirs.key) || !(mine.value == theirs.value))
                return false;
        }
        return true;
    }
    bool operator!=(const cow_Map& other) const { return !(*this == other); }

private:
    Table* table = nullptr;

    // The first position whose key is not less than key.
    int LowerBound(const K& key) const {
        int low = 0;
        int high = Size();
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (table->Entries()[middle].key < key)
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    }
    bool HoldsAt(int at, const K& key) const {
        return at < Size() && !(key < table->Entries()[at].key);
    }

    // The table, unshared and with room for at least `room` entries.
    Table& Writable(int room) {
        if (table && table->IsUnique() && table->capacity >= room)
            return *table;
        Table* fresh = Table::CopyOf(table, room, -1, nullptr, nullptr);
        Table::Release(table);
        table = fresh;
        return *fresh;
    }

    void InsertAt(int at, const K& key, const V& value) {
        const int size = Size();
        if (table && table->IsUnique() && table->capacity > size) {
            // Built first: key or value may be one of the entries about to move.
            Entry added{key, value};
            Entry* entries = table->Entries();
            if (at == size) {
                new (entries + size) Entry(std::move(added));
            } else {
                new (entries + size) Entry(std::move(entries[size - 1]));
                for (int k = size - 1; k > at; --k)
                    entries[k] = std::move(entries[k - 1]);
                entries[at] = std::move(added);
            }
            ++table->size;
            return;
        }
        // The old table stays alive while the new one copies from it, key and value included.
        const int grown = size < 2 ? 4 : 2 * size;
        Table* fresh = Table::CopyOf(table, grown, at, &key, &value);
        Table::Release(table);
        table = fresh;
    }
};

template <class K, class V> struct cow_Map<K, V>::Table {
    std::atomic<int> refs;
    int size;
    int capacity;

    static constexpr std::size_t EntriesOffset() {
        return (sizeof(Table) + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    }
    Entry* Entries() {
        return reinterpret_cast<Entry*>(reinterpret_cast<char*>(this) + EntriesOffset());
    }

    bool IsUnique() const { return refs.load(std::memory_order_acquire) == 1; }
    void Retain() { refs.fetch_add(1, std::memory_order_relaxed); }

    static void Release(Table* table) {
        if (table && table->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            Destroy(table);
    }

    static void Destroy(Table* table) {
        Entry* entries = table->Entries();
        for (int k = table->size - 1; k >= 0; --k)
            entries[k].~Entry();
        table->~Table();
        mem_Free(table);
    }

    // A new unshared table with room for `capacity` entries holding the entries of source
    // (which may be null), plus key and value at position `at` unless at is negative.
    static Table* CopyOf(Table* source, int capacity, int at, const K* key, const V* value) {
        const int sourceSize = source ? source->size : 0;
        const int needed = sourceSize + (at >= 0 ? 1 : 0);
        if (capacity < needed)
            capacity = needed;
        void* block = mem_OperatorNewTinyThrow(EntriesOffset() +
                                               static_cast<std::size_t>(capacity) * sizeof(Entry));
        Table* fresh = new (block) Table;
        fresh->refs.store(1, std::memory_order_relaxed);
        fresh->size = 0;
        fresh->capacity = capacity;
        Entry* entries = fresh->Entries();
        try {
            for (int k = 0; k < sourceSize; ++k) {
                if (k == at)
                    AddEntry(*fresh, entries, *key, *value);
                AddEntry(*fresh, entries, source->Entries()[k].key, source->Entries()[k].value);
            }
            if (at >= sourceSize)
                AddEntry(*fresh, entries, *key, *value);
        } catch (...) {
            Destroy(fresh);
            throw;
        }
        return fresh;
    }

    static void AddEntry(Table& table, Entry* entries, const K& key, const V& value) {
        new (entries + table.size) Entry{key, value};
        ++table.size;
    }
};

// Walks a snapshot of a map in key order: First(), then Key()/Value() and Next()
// until IsDone().
template <class K, class V> class cow_Map<K, V>::ConstIterator {
public:
    explicit ConstIterator(const cow_Map& map) : snapshot(map) { First(); }
    void First() { current = 0; }
    bool IsDone() const { return current >= snapshot.Size(); }
    void Next() { ++current; }
    const K& Key() const { return snapshot.table->Entries()[current].key; }
    const V& Value() const { return snapshot.table->Entries()[current].value; }

private:
    cow_Map snapshot;
    int current = 0;
};

#endif
