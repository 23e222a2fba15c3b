#ifndef COW_COW_LISTITER_H
#define COW_COW_LISTITER_H

#include "cow/cow_List.h"

#include <cstdlib>

// Walks a snapshot of a list: the iterator holds a sharing copy, so writes to the
// iterated list copy on write and leave the elements seen here unchanged.
template <class T> class cow_ListIter {
public:
    explicit cow_ListIter(const cow_List<T>& iterated)
        : list(iterated), current(nullptr), end(iterated.offset + iterated.count),
          blockSize(1 << iterated.shift), position(0), indexInBlock(0) {
        First();
    }

    void First() {
        position = list.offset;
        indexInBlock = position & (blockSize - 1);
        LoadBlock();
    }

    void Next() {
        ++position;
        if (++indexInBlock == blockSize) {
            indexInBlock = 0;
            LoadBlock();
        }
    }

    bool IsValid() const { return position < end; }

    const T& ConstGet() const {
        if (!IsValid())
            std::abort();
        return current[indexInBlock];
    }

private:
    void LoadBlock() {
        current = position < end ? list.blocks[position >> list.shift]->Items() : nullptr;
    }

    cow_List<T> list;
    const T* current;
    int end;
    int blockSize;
    int position;
    int indexInBlock;
};

#endif
