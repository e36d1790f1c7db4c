#pragma once

// The reader's texts: the strings it makes, as a whole QString or, while a parse runs, side by side in blocks that
// Qt counts like any string's data.

#include "BlockFiller.h"

#include <QString>

#include <algorithm>
#include <new>
#include <utility>

namespace json {
namespace {

QString textOf(const char16_t* s, qsizetype n) {
    return QString(reinterpret_cast<const QChar*>(s), n);
}

// Only ever called with ASCII bytes.
QString textOf(const unsigned char* s, qsizetype n) {
    return QString::fromLatin1(reinterpret_cast<const char*>(s), n);
}

// The texts of one parse that are not pooled lie side by side in shared blocks: one allocation per block instead of
// one per text, and the tree's texts together in memory. A block is Qt's own string data, and the count each string
// holds on it is the one Qt keeps for any string, so Qt frees the block with the last string. A string that is
// changed later is copied first, as any shared string is; one left alone in its block may grow in place over the
// room of strings already gone.
class TextBlocks {
  public:
    // A string of n units, written by `fill` into the room it is given (n units and then the end mark).
    template <typename Fill>
    QString make(qsizetype n, Fill&& fill) {
        if (n == 0 || n > LongText) {
            QString text(n, Qt::Uninitialized);
            fill(reinterpret_cast<char16_t*>(text.data()));
            return text;
        }
        char16_t* units = filler_.take(size_t(n) + 1);
        fill(units);
        units[n] = 0;
        return QString(QString::DataPointer(filler_.block(), units, n));
    }

  private:
    static constexpr qsizetype LongText = 256;

    // UTF-16 units after Qt's own header, whose count is the strings'.
    struct Kind {
        using Unit = char16_t;
        using Block = QTypedArrayData<char16_t>;
        static constexpr size_t FirstBlock = 256;
        static constexpr size_t LargestBlock = 4096;

        static std::pair<Block*, char16_t*> make(size_t units) {
            auto [block, room] = Block::allocate(qsizetype(units));
            if (!block) {
                throw std::bad_alloc();
            }
            return {block, room};
        }
        static void hold(Block* block, int count) { block->ref_.storeRelaxed(count); }
        // Takes `count` off; true when that leaves none.
        static bool letGo(Block* block, int count) { return block->ref_.fetchAndAddOrdered(-count) == count; }
        static void free(Block* block) { Block::deallocate(block); }
    };

    BlockFiller<Kind> filler_;
};

template <typename Unit>
QString textIn(TextBlocks* blocks, const Unit* s, qsizetype n) {
    if (!blocks) {
        return textOf(s, n);
    }
    return blocks->make(n, [s, n](char16_t* out) { std::copy(s, s + n, out); });
}

}  // namespace
}  // namespace json
