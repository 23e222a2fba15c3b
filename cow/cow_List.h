#ifndef COW_COW_LIST_H
#define COW_COW_LIST_H

#include "base/mem_Memory.h"
#include "cow/cow_ListBlock.h"
#include "cow/cow_ListConstruct.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

template <class T> class cow_ListIter;

// The append fast path is laid out as the straight line only when the compiler is told.
#if defined(__GNUC__)
#define COW_LIKELY(condition) __builtin_expect(!!(condition), 1)
#else
#define COW_LIKELY(condition) (condition)
#endif

// Indexed sequence that shares its storage with its copies until one of them writes.
// Elements live in blocks of 2^shift slots reached through a directory of block pointers;
// element i sits at position offset + i of the block space. Growing reallocates only the
// directory, so elements never move, and a write through one of several sharers copies
// the directory and the blocks it writes, nothing else. Not safe to share between threads.
template <class T> class cow_List {
public:
    cow_List() { Initialize(0); }

    cow_List(cow_ListConstruct, int n) { Initialize(n); }

    cow_List(const cow_List& other)
        : count(other.count), blockSlots(other.blockSlots), shift(other.shift),
          offset(other.offset), refCount(other.refCount), blocks(other.blocks) {
        ++*refCount;
    }

    ~cow_List() { ReleaseStorage(); }

    cow_List& operator=(const cow_List& other) {
        if (this == &other)
            return *this;
        // Take the source's reference before dropping ours: the source may be an element
        // of this very list and die with our storage.
        const cow_List source(other);
        ReleaseStorage();
        count = source.count;
        blockSlots = source.blockSlots;
        shift = source.shift;
        offset = source.offset;
        refCount = source.refCount;
        blocks = source.blocks;
        ++*refCount;
        return *this;
    }

    int Count() const { return count; }

    cow_List& Append(const T& v) {
        // Fast path: the next slot lies inside a block that exists (it holds the last
        // element, or, in an empty list, the position of element 0), nothing is shared, and
        // the directory already has the size Resize would give it: inside a block, that is
        // the size for the current end. Fields are read once: a store of T = int could
        // otherwise force them to be reloaded.
        const int size = count;
        const int position = offset + size;
        const int blockShift = shift;
        const int slot = position & ((1 << blockShift) - 1);
        if (COW_LIKELY(slot != 0 && *refCount == 1 &&
                       blockSlots == (((position >> blockShift) >> 4) + 1) << 4)) {
            Block* block = blocks[position >> blockShift];
            if (COW_LIKELY(block->RefCount() == 1)) {
                new (block->RawSlot(slot)) T(v);
                count = size + 1;
                return *this;
            }
        }
        return AppendToNewBlock(v);
    }

    cow_List& Prepend(const T& v) {
        MakeFrontRoom();
        MakeWritable(-1, -1);
        --offset;
        Put(0, v);
        ++count;
        return *this;
    }

    cow_List& InsertIndex(int i, const T& v) {
        if (i == count)
            return Append(v);
        if (i == 0)
            return Prepend(v);
        CheckIndex(i);
        // v may be one of the elements the shift below overwrites.
        const T value(v);
        if (i < count - i)
            ShiftFrontForInsert(i, value);
        else
            ShiftBackForInsert(i, value);
        ++count;
        return *this;
    }

    cow_List& RemoveIndex(int i) {
        CheckIndex(i);
        Detach();
        if (i < count - i)
            RemoveNearFront(i);
        else
            RemoveNearBack(i);
        return *this;
    }

    T Pop() {
        CheckIndex(count - 1);
        T last(UncheckedGet(count - 1));
        RemoveIndex(count - 1);
        return last;
    }

    const T& Last() const {
        CheckIndex(count - 1);
        return UncheckedConstGet(count - 1);
    }

    T& Get(int i) {
        CheckIndex(i);
        Detach();
        MakeWritable(i, i);
        return UncheckedGet(i);
    }

    const T& ConstGet(int i) const {
        CheckIndex(i);
        return UncheckedConstGet(i);
    }

    // Each field read once, in unsigned arithmetic: a position is never negative, and an
    // unsigned index needs no widening before it addresses the directory and the block.
    const T& UncheckedConstGet(int i) const {
        const unsigned position = static_cast<unsigned>(offset) + static_cast<unsigned>(i);
        const unsigned blockShift = static_cast<unsigned>(shift);
        const Block* const block = blocks[position >> blockShift];
        return block->Items()[position & ((1u << blockShift) - 1u)];
    }

    // Pads the list to n elements with copies of v; never changes existing elements.
    cow_List& Fill(int n, const T& v) {
        if (n <= count)
            return *this;
        Resize(n);
        MakeWritable(count, n - 1);
        while (count < n) {
            Put(count, v);
            ++count;
        }
        return *this;
    }

    // Truncates to n elements when n < count and sizes the directory for n elements from
    // the current offset; never adds elements.
    cow_List& Resize(int n) {
        if (n < 0)
            RaiseOutOfRange(n);
        Detach();
        const int keep = n == 0 ? 0 : BlocksUsed(static_cast<std::int64_t>(offset) + n);
        if (n < count || n == 0) {
            for (int b = keep; b < blockSlots; ++b) {
                if (blocks[b] != nullptr)
                    DropBlock(b);
            }
            if (n > 0 &&
                static_cast<std::int64_t>(offset) + n < (static_cast<std::int64_t>(keep) << shift))
                TrimLastKeptBlock(keep - 1, n);
        }
        ResizeDirectory(WantedSlots(n));
        if (n < count)
            count = n;
        // An empty list starts over, whatever emptied it: a stale offset without a
        // directory would send the next Prepend through a null directory.
        if (n == 0) {
            offset = 0;
            shift = 4;
        }
        return *this;
    }

    cow_List& Concatenate(const cow_List& other) {
        const int added = other.count;
        const int target = count + added;
        Resize(target);
        if (added == 0)
            return *this;
        MakeWritable(count, target - 1);
        // other may be this list: reading index j is unaffected by the growing count.
        for (int j = 0; j < added; ++j) {
            Put(count, other.ConstGet(j));
            ++count;
        }
        return *this;
    }

    // Elements [first, last) as a new unshared list; the bounds are clamped, not checked.
    cow_List Slice(int first, int last) const {
        first = first < 0 ? 0 : first;
        last = last < first ? first : last;
        last = last > count ? count : last;
        first = first > last ? last : first;
        const int size = last - first;
        cow_List result(cow_ListSized, size);
        if (size == 0)
            return result;
        result.MakeWritable(0, size - 1);
        for (int j = 0; j < size; ++j) {
            result.Put(j, UncheckedConstGet(first + j));
            ++result.count;
        }
        return result;
    }

    cow_List& SetFromArray(const T* a, int n) {
        if (n < 0)
            RaiseOutOfRange(n);
        // Block-sized chunks must start at a block boundary; a list holding elements, or
        // emptied mid-block, is rebuilt aligned. Building apart first also keeps a pointing
        // into this list valid while it is read.
        if (count > 0 || (offset & Mask()) != 0) {
            cow_List fresh;
            fresh.SetFromArray(a, n);
            return *this = fresh;
        }
        Resize(n);
        if (n == 0)
            return *this;
        MakeWritable(0, n - 1);
        const int size = BlockSize();
        for (int j = 0; j < n; j += size) {
            const int chunk = n - j < size ? n - j : size;
            InitializeBlock(a + j, j, chunk);
            count += chunk;
        }
        return *this;
    }

    // A new array the caller releases with delete[]; array new so that the two match.
    T* GetCArray(int& n) const {
        T* array = new T[count];
        for (int j = 0; j < count; ++j)
            array[j] = UncheckedConstGet(j);
        n = count;
        return array;
    }

    // The storage layout, for code that does its own index arithmetic.
    int Shift() const { return shift; }
    int Offset() const { return offset; }
    int BlockSlots() const { return blockSlots; }
    int ShareCount() const { return *refCount; }
    const cow_ListBlock<T>* const* Directory() const { return blocks; }

private:
    friend class cow_ListIter<T>;
    typedef cow_ListBlock<T> Block;

    void Initialize(int n) {
        count = 0;
        blockSlots = 0;
        shift = 4;
        offset = 0;
        blocks = nullptr;
        refCount = NewCounter();
        if (n == 0)
            return;
        // Sign first: a negative size would read as a huge exponent. A large size picks
        // the block size that spreads it over 8 to 16 blocks.
        if (n > 0) {
            const float size = static_cast<float>(n);
            std::uint32_t bits;
            std::memcpy(&bits, &size, sizeof bits);
            const int exponent = static_cast<int>((bits >> 23) & 0xFF) - 127;
            if (exponent - 3 > 4) {
                shift = exponent - 3;
                blockSlots = static_cast<int>(((bits & 0x7FFFFF) + 0x8FFFFF) >> 20);
            }
        }
        blockSlots += 16;
        try {
            blocks = NewDirectory(blockSlots);
        } catch (...) {
            mem_Free(refCount);
            throw;
        }
        for (int b = 0; b < blockSlots; ++b)
            blocks[b] = nullptr;
    }

    // Copy-constructs src[0..k) into the slots of list indices i..i+k, which lie in one block.
    void InitializeBlock(const T* src, int i, int k) {
        T* slot = SlotAt(offset + i);
        for (int j = 0; j < k; ++j)
            new (slot + j) T(src[j]);
    }

    void Put(int i, const T& v) { new (SlotAt(offset + i)) T(v); }

    T& UncheckedGet(int i) { return *SlotAt(offset + i); }

    [[noreturn]] void RaiseOutOfRange(int) const { std::abort(); }

    void CheckIndex(int i) const {
        if (static_cast<unsigned>(i) >= static_cast<unsigned>(count))
            RaiseOutOfRange(i);
    }

    int BlockSize() const { return 1 << shift; }
    int Mask() const { return (1 << shift) - 1; }

    T* SlotAt(int position) const {
        return static_cast<T*>(blocks[position >> shift]->RawSlot(position & Mask()));
    }

    // Number of blocks covering positions [0, end).
    int BlocksUsed(std::int64_t end) const {
        return static_cast<int>((BlockSize() + end - 1) >> shift);
    }

    // Directory entries wanted for n elements from the current offset, in steps of 16.
    int WantedSlots(int n) const {
        const std::int64_t end = n == 0 ? 0 : static_cast<std::int64_t>(offset) + n;
        const int stepShift = shift + 4;
        return static_cast<int>(((std::int64_t(1) << stepShift) + end - 1) >> stepShift) << 4;
    }

    // List index of the first position of block b (negative when the block starts before
    // element 0).
    std::int64_t BlockStart(int b) const {
        return (static_cast<std::int64_t>(b) << shift) - offset;
    }

    // Append when the next slot needs a new block, a bigger directory or a private copy.
    // Resize(count + 1) does nothing to an unshared directory of the right size.
    cow_List& AppendToNewBlock(const T& v) {
        if (*refCount != 1 || blockSlots != WantedSlots(count + 1))
            Resize(count + 1);
        MakeWritable(count, count);
        Put(count, v);
        ++count;
        return *this;
    }

    static std::int32_t* NewCounter() {
        return new (mem_OperatorNewTinyThrow(sizeof(std::int32_t))) std::int32_t(1);
    }

    // Gives this list a directory of its own; the blocks stay shared.
    void Detach() {
        if (*refCount <= 1)
            return;
        Block** own = blockSlots > 0 ? NewDirectory(blockSlots) : nullptr;
        std::int32_t* ownCount;
        try {
            ownCount = NewCounter();
        } catch (...) {
            mem_Free(own);
            throw;
        }
        --*refCount;
        refCount = ownCount;
        for (int b = 0; b < blockSlots; ++b) {
            own[b] = blocks[b];
            if (own[b] != nullptr)
                own[b]->AddRef();
        }
        blocks = own;
    }

    // Ensures every block covering list indices first..last exists and is owned by this
    // list alone. The directory must already be unshared and large enough.
    void MakeWritable(int first, int last) {
        const int lastBlock = (offset + last) >> shift;
        for (int b = (offset + first) >> shift; b <= lastBlock; ++b) {
            if (blocks[b] == nullptr)
                blocks[b] = Block::Create(BlockSize());
            else if (blocks[b]->RefCount() > 1)
                CopyBlock(b);
        }
    }

    // Replaces shared block b with a private copy of the elements this list keeps in it.
    void CopyBlock(int b) {
        Block* shared = blocks[b];
        const std::int64_t start = BlockStart(b);
        const int first = start < 0 ? 0 : static_cast<int>(start);
        const std::int64_t end = start + BlockSize();
        const int last = end < count ? static_cast<int>(end) : count;
        blocks[b] = Block::Create(BlockSize());
        shared->Release();
        if (first < last)
            InitializeBlock(&shared->ConstGet((offset + first) & Mask()), first, last - first);
    }

    // Opens free positions before element 0: the blocks in use move to the end of the
    // directory so that all its free entries lie in front.
    void MakeFrontRoom() {
        if (offset != 0) {
            Detach();
            return;
        }
        const int used = BlocksUsed(count);
        if (used == blockSlots)
            Resize(used * BlockSize() + 1);
        else
            Detach();
        const int spare = blockSlots - used;
        for (int b = used - 1; b >= 0; --b)
            blocks[spare + b] = blocks[b];
        for (int b = 0; b < spare && b < used; ++b)
            blocks[b] = nullptr;
        offset = spare * BlockSize();
    }

    void DestroyAt(int i) { UncheckedGet(i).~T(); }

    // Removes block b from the directory; its last owner destroys the elements it holds.
    void DropBlock(int b) {
        Block* block = blocks[b];
        blocks[b] = nullptr;
        if (!block->Release())
            return;
        const std::int64_t start = BlockStart(b);
        const std::int64_t end = start + BlockSize();
        const int last = end < count ? static_cast<int>(end) : count;
        const int first = start < 0 ? 0 : static_cast<int>(start);
        for (int k = last - 1; k >= first; --k)
            static_cast<T*>(block->RawSlot((offset + k) & Mask()))->~T();
        Block::Destroy(block);
    }

    // Truncation to n elements that ends inside block b: drop the elements after n there.
    void TrimLastKeptBlock(int b, int n) {
        Block* block = blocks[b];
        const std::int64_t start = BlockStart(b);
        if (block->RefCount() > 1) {
            // The sharers keep the dropped elements; this list keeps a copy of the rest.
            const int first = start < 0 ? 0 : static_cast<int>(start);
            blocks[b] = Block::Create(BlockSize());
            block->Release();
            InitializeBlock(&block->ConstGet((offset + first) & Mask()), first, n - first);
            return;
        }
        const std::int64_t end = start + BlockSize();
        const int last = end < count ? static_cast<int>(end) : count;
        for (int k = last - 1; k >= n; --k)
            DestroyAt(k);
    }

    // The directory grows and shrinks in steps of 16 entries, but its allocation only in
    // powers of two: a list built by appending would otherwise move its whole directory
    // every 16 blocks.
    static int DirectoryCapacity(int entries) {
        int capacity = 16;
        while (capacity < entries)
            capacity *= 2;
        return entries == 0 ? 0 : capacity;
    }

    static Block** NewDirectory(int entries) {
        void* directory =
            mem_Malloc(static_cast<std::size_t>(DirectoryCapacity(entries)) * sizeof(Block*));
        if (directory == nullptr)
            throw std::bad_alloc();
        return static_cast<Block**>(directory);
    }

    void ResizeDirectory(int wanted) {
        if (wanted == blockSlots)
            return;
        const int capacity = DirectoryCapacity(wanted);
        if (capacity != DirectoryCapacity(blockSlots)) {
            void* resized =
                mem_Realloc(blocks, static_cast<std::size_t>(capacity) * sizeof(Block*));
            if (capacity > 0 && resized == nullptr)
                throw std::bad_alloc();
            blocks = static_cast<Block**>(resized);
        }
        for (int b = blockSlots; b < wanted; ++b)
            blocks[b] = nullptr;
        blockSlots = wanted;
    }

    // Releases block b, which holds no element any more.
    void ReleaseBlock(int b) {
        if (b < 0)
            return;
        if (blocks[b]->Release())
            Block::Destroy(blocks[b]);
        blocks[b] = nullptr;
    }

    void ShiftFrontForInsert(int i, const T& value) {
        MakeFrontRoom();
        MakeWritable(-1, i);
        --offset;
        Put(0, UncheckedGet(1));
        for (int k = 1; k < i; ++k)
            UncheckedGet(k) = UncheckedGet(k + 1);
        UncheckedGet(i) = value;
    }

    void ShiftBackForInsert(int i, const T& value) {
        Resize(count + 1);
        MakeWritable(i, count);
        Put(count, UncheckedGet(count - 1));
        for (int k = count - 1; k > i; --k)
            UncheckedGet(k) = UncheckedGet(k - 1);
        UncheckedGet(i) = value;
    }

    void RemoveNearFront(int i) {
        MakeWritable(0, i);
        --count;
        for (int k = i; k > 0; --k)
            UncheckedGet(k) = UncheckedGet(k - 1);
        DestroyAt(0);
        ++offset;
        if ((offset & Mask()) == 0)
            ReleaseBlock((offset - 1) >> shift);
    }

    void RemoveNearBack(int i) {
        MakeWritable(i, count - 1);
        --count;
        for (int k = i; k < count; ++k)
            UncheckedGet(k) = UncheckedGet(k + 1);
        DestroyAt(count);
        if (((offset + count) & Mask()) == 0)
            ReleaseBlock((offset + count) >> shift);
    }

    // What the destructor does: the last owner destroys everything, the others forget.
    void ReleaseStorage() {
        if (--*refCount == 0) {
            Resize(0);
            mem_Free(refCount);
        }
        count = 0;
        blockSlots = 0;
        shift = 4;
        offset = 0;
        refCount = nullptr;
        blocks = nullptr;
    }

    std::int32_t count;
    std::int32_t blockSlots;
    std::int32_t shift;
    std::int32_t offset;
    std::int32_t* refCount;
    Block** blocks;
};

#endif
