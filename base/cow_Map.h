#ifndef BASE_COW_MAP_H
#define BASE_COW_MAP_H

#include <map>
#include <memory>

// The host's ordered map. Copies share one tree until either side writes, so
// copying a map (and an element tree holding one) is constant time.
template <class K, class V> class cow_Map {
    using Tree = std::map<K, V>;

public:
    class ConstIterator;

    cow_Map() = default;

    // Returns false, leaving the map unchanged, when the key is present already.
    bool Insert(const K& key, const V& value) {
        if (IsMember(key))
            return false;
        writable().emplace(key, value);
        return true;
    }
    // Inserts or overwrites.
    void Set(const K& key, const V& value) { writable()[key] = value; }
    bool Remove(const K& key) { return IsMember(key) && writable().erase(key) == 1; }
    bool IsMember(const K& key) const { return tree && tree->count(key) != 0; }

    // A missing key yields a default-constructed value, never a failure.
    const V& ConstGet(const K& key) const {
        static const V missing{};
        if (!tree)
            return missing;
        auto found = tree->find(key);
        return found == tree->end() ? missing : found->second;
    }

    int Size() const { return tree ? static_cast<int>(tree->size()) : 0; }
    bool IsEmpty() const { return Size() == 0; }
    void Clear() { tree.reset(); }

    bool operator==(const cow_Map& other) const {
        return tree == other.tree ||
               (Size() == other.Size() && (Size() == 0 || *tree == *other.tree));
    }
    bool operator!=(const cow_Map& other) const { return !(*this == other); }

private:
    std::shared_ptr<Tree> tree;

    Tree& writable() {
        if (!tree)
            tree = std::make_shared<Tree>();
        else if (tree.use_count() > 1)
            tree = std::make_shared<Tree>(*tree);
        return *tree;
    }
};

// Walks a snapshot of a map in key order: First(), then Key()/Value() and Next()
// until IsDone().
template <class K, class V> class cow_Map<K, V>::ConstIterator {
public:
    explicit ConstIterator(const cow_Map& map) : snapshot(map) { First(); }
    void First() {
        if (snapshot.tree)
            current = snapshot.tree->begin();
    }
    bool IsDone() const { return !snapshot.tree || current == snapshot.tree->end(); }
    void Next() { ++current; }
    const K& Key() const { return current->first; }
    const V& Value() const { return current->second; }

private:
    cow_Map snapshot;
    typename Tree::const_iterator current{};
};

#endif
