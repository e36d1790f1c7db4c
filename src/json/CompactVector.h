#pragma once

#include "BlockFiller.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace json {

// Shared blocks in which the reader lays the storage of the containers it builds, one after another: one allocation
// per block instead of one per container, and a tree's containers together in memory. A vector over a block that
// must grow moves to storage of its own.
class StorageBlocks {
  public:
    // Storage larger than this is allocated on its own.
    static constexpr size_t Largest = 8 * 1024;

    // Room for `bytes` (at most Largest, a multiple of 8) and its distance from its block's start, in 8-byte steps.
    void* take(size_t bytes, uint32_t& steps) {
        char* room = filler_.take(bytes);
        steps = static_cast<uint32_t>((room - reinterpret_cast<char*>(filler_.block())) / 8);
        return room;
    }

    // Gives back storage taken `steps` 8-byte steps after its block's start.
    static void give(void* room, uint32_t steps) {
        Kind::Block* block = reinterpret_cast<Kind::Block*>(static_cast<char*>(room) - size_t(steps) * 8);
        if (Kind::letGo(block, 1)) {
            Kind::free(block);
        }
    }

  private:
    // Bytes after a header that holds the block's count.
    struct Kind {
        using Unit = char;
        struct alignas(16) Block {
            std::atomic<int> count;
        };
        static constexpr size_t FirstBlock = 2 * 1024;
        static constexpr size_t LargestBlock = 64 * 1024;

        static std::pair<Block*, char*> make(size_t bytes) {
            void* raw = std::malloc(sizeof(Block) + bytes);
            if (!raw) {
                throw std::bad_alloc();
            }
            return {new (raw) Block{0}, static_cast<char*>(raw) + sizeof(Block)};
        }
        static void hold(Block* block, int count) { block->count.store(count, std::memory_order_relaxed); }
        // Takes `count` off; true when that leaves none.
        static bool letGo(Block* block, int count) {
            return block->count.fetch_sub(count, std::memory_order_acq_rel) == count;
        }
        static void free(Block* block) { std::free(block); }
    };

    BlockFiller<Kind> filler_;
};

// A vector in 16 bytes (pointer, 32-bit size and capacity), so that a container fits inside a JsonValue and the
// tree needs one allocation per container, not two. Elements must be nothrow-movable.
template <typename T>
class CompactVector {
  public:
    CompactVector() = default;
    CompactVector(const CompactVector& other) { assignCopy(other); }
    CompactVector& operator=(const CompactVector& other) {
        if (this != &other) {
            CompactVector copy(other);
            swap(copy);
        }
        return *this;
    }
    CompactVector(CompactVector&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    CompactVector& operator=(CompactVector&& other) noexcept {
        if (this != &other) {
            CompactVector moved(std::move(other));
            swap(moved);
        }
        return *this;
    }
    ~CompactVector() { release(); }

    // Moves the elements out of a range into a vector of exactly that size.
    static CompactVector movedFrom(std::span<T> source) {
        CompactVector v;
        if (!source.empty()) {
            v.data_ = allocate(source.size());
            v.capacity_ = static_cast<uint32_t>(source.size());
            for (T& item : source) {
                new (v.data_ + v.size_) T(std::move(item));
                ++v.size_;
            }
        }
        return v;
    }

    // Takes over n elements by copying their bytes: the source is left as raw memory, which the caller neither
    // destroys nor reads again. For types that hold no pointer into themselves, as QString and the tree's values.
    // The storage comes from `blocks` when given and small enough.
    static CompactVector relocatedFrom(T* source, size_t n, StorageBlocks* blocks = nullptr) {
        static_assert(sizeof(T) % 8 == 0 && alignof(T) <= 16);
        CompactVector v;
        if (n != 0) {
            const size_t bytes = n * sizeof(T);
            if (blocks && bytes <= StorageBlocks::Largest) {
                uint32_t steps;
                v.data_ = static_cast<T*>(blocks->take(bytes, steps));
                v.capacity_ = InBlock | steps;
            } else {
                v.data_ = allocate(n);
                v.capacity_ = static_cast<uint32_t>(n);
            }
            std::memcpy(static_cast<void*>(v.data_), static_cast<const void*>(source), bytes);
            v.size_ = static_cast<uint32_t>(n);
        }
        return v;
    }

    uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    std::span<const T> span() const { return {data_, size_}; }

    void push_back(T&& item) {
        if (size_ == room()) {
            grow(size_ == 0 ? 4 : size_t(size_) * 2);
        }
        new (data_ + size_) T(std::move(item));
        ++size_;
    }
    void reserve(size_t n) {
        if (n > room()) {
            grow(n);
        }
    }
    void shrink_to_fit() {
        if (size_ < room()) {
            if (size_ == 0) {
                release();
            } else {
                grow(size_);
            }
        }
    }

  private:
    // A capacity with this bit set is the storage's place in a shared block, and the storage holds exactly size_.
    static constexpr uint32_t InBlock = 0x80000000u;

    uint32_t room() const { return (capacity_ & InBlock) ? size_ : capacity_; }
    void freeStorage() {
        if (capacity_ & InBlock) {
            StorageBlocks::give(data_, capacity_ & ~InBlock);
        } else {
            std::free(data_);
        }
    }

    static T* allocate(size_t n) {
        if (n >= InBlock) {
            throw std::bad_alloc();
        }
        void* p = std::malloc(n * sizeof(T));
        if (!p) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void grow(size_t n) {
        T* fresh = allocate(n);
        for (uint32_t i = 0; i < size_; ++i) {
            new (fresh + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        if (data_) {
            freeStorage();
        }
        data_ = fresh;
        capacity_ = static_cast<uint32_t>(n);
    }
    void assignCopy(const CompactVector& other) {
        if (other.size_ == 0) {
            return;
        }
        data_ = allocate(other.size_);
        capacity_ = other.size_;
        try {
            for (; size_ < other.size_; ++size_) {
                new (data_ + size_) T(other.data_[size_]);
            }
        } catch (...) {
            release();
            throw;
        }
    }
    void release() {
        for (uint32_t i = 0; i < size_; ++i) {
            data_[i].~T();
        }
        if (data_) {
            freeStorage();
        }
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    void swap(CompactVector& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    T* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

}  // namespace json
