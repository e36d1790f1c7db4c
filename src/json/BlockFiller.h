#pragma once

#include <algorithm>
#include <cstddef>

namespace json {

// Blocks filled one piece after another, each piece holding a count on its block, which is freed when the last piece
// goes. While a block is being filled the filler holds a large count of its own, so handing a piece out costs no
// atomic operation; letting the block go gives back what was not handed out. Blocks start small, so that a short
// answer takes little, and double up to a limit. `Kind` says in what units a block is measured and how it is made,
// counted and freed.
template <typename Kind>
class BlockFiller {
  public:
    using Unit = typename Kind::Unit;
    using Block = typename Kind::Block;

    BlockFiller() = default;
    BlockFiller(const BlockFiller&) = delete;
    BlockFiller& operator=(const BlockFiller&) = delete;
    ~BlockFiller() { close(); }

    // Room for n units (at most Kind::LargestBlock) in the block being filled, or in a new one; block() is the block
    // it lies in.
    Unit* take(size_t n) {
        if (left_ < n) {
            open(n);
        }
        Unit* room = next_;
        next_ += n;
        left_ -= n;
        ++handed_;
        return room;
    }
    Block* block() const { return block_; }

  private:
    static constexpr int Reserved = 1 << 30;

    void open(size_t n) {
        close();
        while (size_ < n) {
            size_ *= 2;
        }
        auto [block, room] = Kind::make(size_);
        Kind::hold(block, Reserved);
        block_ = block;
        next_ = room;
        left_ = size_;
        handed_ = 0;
        size_ = std::min(size_ * 2, Kind::LargestBlock);
    }
    void close() {
        if (block_ && Kind::letGo(block_, Reserved - handed_)) {
            Kind::free(block_);
        }
        block_ = nullptr;
        left_ = 0;
    }

    Block* block_ = nullptr;
    Unit* next_ = nullptr;
    size_t left_ = 0;
    int handed_ = 0;
    size_t size_ = Kind::FirstBlock;  // of the next block
};

}  // namespace json
