#pragma once

// The pool of keys and short values: equal texts of a parse, and of the parses after it on the same thread, share
// one string. Also the lasting store the pool's first texts are kept in, and the hash and comparison that read
// UTF-16 units and ASCII bytes alike.

#include "TextBlocks.h"

#include <QString>
#include <QStringView>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace json {
namespace {

// Four units (fewer at the end of a short text) packed 16 bits apiece, from UTF-16 or from ASCII bytes alike.
inline uint64_t unitWord(const char16_t* s, qsizetype count) {
    uint64_t w = 0;
    if (count == 4) {
        std::memcpy(&w, s, 8);
        return w;
    }
    for (qsizetype i = 0; i < count; ++i) {
        w |= uint64_t(s[i]) << (16 * i);
    }
    return w;
}

inline uint64_t unitWord(const unsigned char* s, qsizetype count) {
    uint64_t w = 0;
    if (count == 4) {
        uint32_t four;
        std::memcpy(&four, s, 4);
        w = four;
        w = (w | (w << 16)) & 0x0000FFFF0000FFFFull;
        return (w | (w << 8)) & 0x00FF00FF00FF00FFull;
    }
    for (qsizetype i = 0; i < count; ++i) {
        w |= uint64_t(s[i]) << (16 * i);
    }
    return w;
}

// A cheap hash for the short texts the pool holds (keys, codes, words), from their length and their first, middle
// and last four units; an ASCII text hashes the same from its bytes as from its UTF-16 units. Texts that differ
// elsewhere only meet in the same slot: the pool compares whole texts.
template <typename Unit>
uint32_t hashUnits(const Unit* s, qsizetype n) {
    constexpr uint64_t K = 0x9E3779B97F4A7C15ull;
    uint64_t h = (uint64_t(n) + 1) * K;
    h = (h ^ unitWord(s, std::min<qsizetype>(n, 4))) * K;
    if (n > 4) {
        h = (h ^ unitWord(s + n - 4, 4)) * K;
    }
    if (n > 8) {
        h = (h ^ unitWord(s + n / 2 - 2, 4)) * K;
    }
    return static_cast<uint32_t>(h >> 32) ^ static_cast<uint32_t>(h);
}

bool sameUnits(QStringView a, const char16_t* b, qsizetype n) {
    return a.size() == n && std::memcmp(a.utf16(), b, size_t(n) * 2) == 0;
}

bool sameUnits(QStringView a, const unsigned char* b, qsizetype n) {
    if (a.size() != n) {
        return false;
    }
    const char16_t* units = reinterpret_cast<const char16_t*>(a.utf16());
    qsizetype i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t four;
        std::memcpy(&four, units + i, 8);
        if (four != unitWord(b + i, 4)) {
            return false;
        }
    }
    for (; i < n; ++i) {
        if (units[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// Texts kept for the whole run, like literals, so that the strings over them are never counted or freed: copying
// one costs no atomic count and dropping one frees nothing. The store is shared by all threads and ends at a fixed
// size; past it the pool makes ordinary strings.
class LastingTexts {
  public:
    // A string over a lasting copy of the units, or a null string once the store is full.
    template <typename Unit>
    static QString keep(const Unit* s, qsizetype n) {
        static LastingTexts& store = *new LastingTexts;  // never destroyed: strings over it may outlive any static
        std::lock_guard<std::mutex> lock(store.mutex_);
        if (store.left_ < n + 1) {
            if (store.blocks_.size() * BlockUnits >= MaxUnits) {
                return QString();
            }
            store.blocks_.push_back(std::make_unique<char16_t[]>(BlockUnits));
            store.next_ = store.blocks_.back().get();
            store.left_ = BlockUnits;
        }
        char16_t* text = store.next_;
        std::copy(s, s + n, text);
        text[n] = 0;  // ended like any other string, for code that reads up to the end mark
        store.next_ += n + 1;
        store.left_ -= n + 1;
        return QString::fromRawData(reinterpret_cast<const QChar*>(text), n);
    }

  private:
    static constexpr qsizetype BlockUnits = 32 * 1024;
    static constexpr size_t MaxUnits = 512 * 1024;  // 1 MB
    std::mutex mutex_;
    std::vector<std::unique_ptr<char16_t[]>> blocks_;
    char16_t* next_ = nullptr;
    qsizetype left_ = 0;
};

// Keys and short values repeat a lot in marketplace answers, within a page and from one page to the next; equal
// ones share one string. The pool lives on between parses (it changes no result). The first texts it takes, up to
// half its room, are lasting ones; when full it starts afresh but for those, so it never holds more than a few
// thousand short strings. A value enters it only when it comes a second time, so that unique ones (ids, codes)
// neither pay for a place nor push the keys out.
class KeyPool {
  public:
    enum Use { Key, Value };

    QString intern(QStringView text) {
        return intern(reinterpret_cast<const char16_t*>(text.utf16()), text.size(), Key);
    }
    // A text given as UTF-16 units, or as bytes that are all ASCII. One that is not pooled is made in `blocks`.
    template <typename Unit>
    QString intern(const Unit* s, qsizetype n, Use use, TextBlocks* blocks = nullptr) {
        if (n > 64) {
            return textIn(blocks, s, n);
        }
        if (slots_.empty()) {
            slots_.assign(SlotCount, Slot{});
            seen_.assign(SeenCount, 0);
            entries_.reserve(MaxEntries);
            isLasting_.reserve(MaxEntries);  // so that adding an entry never fails halfway
        }
        const uint32_t hash = hashUnits(s, n) | 1u;  // never 0, the mark of a free slot
        size_t slot = hash & SlotMask;
        for (; slots_[slot].hash != 0; slot = (slot + 1) & SlotMask) {
            if (slots_[slot].hash == hash) {
                const QString& entry = entries_[slots_[slot].entry];
                if (sameUnits(entry, s, n)) {
                    return entry;
                }
            }
        }
        if (use == Value) {
            // The table of values seen once keeps a fragment of each one's hash; a value met again finds its own.
            uint16_t& seen = seen_[(hash >> 13) & (SeenCount - 1)];
            const uint16_t fragment = static_cast<uint16_t>(hash >> 16) | 1u;
            if (seen != fragment) {
                seen = fragment;
                return textIn(blocks, s, n);
            }
        }
        if (entries_.size() == MaxEntries) {
            restart();
            return intern(s, n, use, blocks);
        }
        QString text;
        if (lasting_ < MaxEntries / 2 && n > 0) {
            text = LastingTexts::keep(s, n);
        }
        const bool lasting = !text.isNull();
        if (!lasting) {
            text = textOf(s, n);
        }
        lasting_ += lasting;
        entries_.push_back(std::move(text));
        isLasting_.push_back(lasting);
        slots_[slot] = Slot{hash, static_cast<uint32_t>(entries_.size() - 1)};
        return entries_.back();
    }

  private:
    struct Slot {
        uint32_t hash = 0;
        uint32_t entry = 0;
    };

    // Keeps only the entries over lasting texts.
    void restart() {
        std::vector<QString> kept;
        kept.reserve(MaxEntries);
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (isLasting_[i]) {
                kept.push_back(std::move(entries_[i]));
            }
        }
        entries_ = std::move(kept);
        isLasting_.assign(entries_.size(), 1);
        std::fill(slots_.begin(), slots_.end(), Slot{});
        for (size_t i = 0; i < entries_.size(); ++i) {
            const char16_t* units = reinterpret_cast<const char16_t*>(QStringView(entries_[i]).utf16());
            const uint32_t hash = hashUnits(units, entries_[i].size()) | 1u;
            size_t slot = hash & SlotMask;
            while (slots_[slot].hash != 0) {
                slot = (slot + 1) & SlotMask;
            }
            slots_[slot] = Slot{hash, static_cast<uint32_t>(i)};
        }
        std::fill(seen_.begin(), seen_.end(), 0);
    }

    static constexpr size_t SlotCount = 8192;
    static constexpr size_t SlotMask = SlotCount - 1;
    static constexpr size_t MaxEntries = 4096;
    static constexpr size_t SeenCount = 16384;
    std::vector<Slot> slots_;
    std::vector<uint16_t> seen_;
    std::vector<QString> entries_;
    std::vector<uint8_t> isLasting_;
    size_t lasting_ = 0;
};

// The pool of this thread.
KeyPool& sharedPool() {
    static thread_local KeyPool pool;
    return pool;
}

}  // namespace
}  // namespace json
