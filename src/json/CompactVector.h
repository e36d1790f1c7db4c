#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace json {

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
    static CompactVector relocatedFrom(T* source, size_t n) {
        CompactVector v;
        if (n != 0) {
            v.data_ = allocate(n);
            v.capacity_ = static_cast<uint32_t>(n);
            std::memcpy(static_cast<void*>(v.data_), static_cast<const void*>(source), n * sizeof(T));
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
        if (size_ == capacity_) {
            grow(capacity_ == 0 ? 4 : capacity_ * 2);
        }
        new (data_ + size_) T(std::move(item));
        ++size_;
    }
    void reserve(size_t n) {
        if (n > capacity_) {
            grow(n);
        }
    }
    void shrink_to_fit() {
        if (size_ < capacity_) {
            if (size_ == 0) {
                release();
            } else {
                grow(size_);
            }
        }
    }

  private:
    static T* allocate(size_t n) {
        if (n > UINT32_MAX) {
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
        std::free(data_);
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
        std::free(data_);
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
