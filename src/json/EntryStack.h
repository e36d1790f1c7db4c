#pragma once

// The stack the reader gathers the members and elements of the containers it is reading on.

#include "CompactVector.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace json {
namespace {

// The entries of the containers being read, shared by all containers of the parse. The entries of a finished
// container move out by their bytes at once and the stack forgets them.
template <typename T>
class EntryStack {
  public:
    EntryStack() = default;
    EntryStack(const EntryStack&) = delete;
    EntryStack& operator=(const EntryStack&) = delete;
    ~EntryStack() {
        for (size_t i = 0; i < size_; ++i) {
            data_[i].~T();
        }
        std::free(data_);
    }

    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_[i]; }
    // Raw room for one more entry.
    void* slot() {
        if (size_ == capacity_) {
            grow();
        }
        return data_ + size_;
    }
    void keep() { ++size_; }
    // The entries from `base` up, for a container to take their bytes; then forgotten, not destroyed.
    template <typename Container>
    Container handOver(size_t base, Container (*adopt)(T*, size_t, StorageBlocks*), StorageBlocks& blocks) {
        Container taken = adopt(data_ + base, size_ - base, &blocks);
        size_ = base;
        return taken;
    }

  private:
    void grow() {
        const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        void* fresh = std::malloc(capacity * sizeof(T));
        if (!fresh) {
            throw std::bad_alloc();
        }
        if (size_ != 0) {
            std::memcpy(fresh, static_cast<const void*>(data_), size_ * sizeof(T));
        }
        std::free(data_);
        data_ = static_cast<T*>(fresh);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace
}  // namespace json
