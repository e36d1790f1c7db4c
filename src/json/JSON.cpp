#include "JSON.h"

#include "Utf8.h"
#include "VbError.h"

#include <QHashFunctions>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define JSON_SCAN_SSE2 1
#endif

namespace json {
namespace {

constexpr char16_t CR = u'\r';
constexpr char16_t LF = u'\n';
constexpr char16_t TAB = u'\t';

// The lines that quote "the rest of the text" could make the error text grow with the square of the input for a
// text full of broken literals; past this many characters such quotes are cut to 20 characters.
constexpr qsizetype ErrorTextBudget = qsizetype(1) << 22;

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

KeyPool& sharedPool() {
    static thread_local KeyPool pool;
    return pool;
}

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

// Positions (+ 1) of the members of one large object on the member stack, by key hash.
struct DepthIndex {
    size_t base = 0;
    std::vector<int64_t> positions;
};

// The bytes reader hands the input over to the text reader when it meets anything that would be reported (every
// error text quotes positions and pieces of the text in UTF-16 units) or bytes that are not well-formed UTF-8.
struct HandOver {};

// The reader, over UTF-16 units (char16_t) or over UTF-8 bytes (unsigned char). Outside strings JSON is ASCII, so
// the two read the same structure; strings read from bytes are decoded as they are taken.
template <typename Unit>
class Parser {
    static constexpr bool Bytes = sizeof(Unit) == 1;

  public:
    Parser(const Unit* s, qsizetype n) : s_(s), n_(n) {
        if constexpr (!Bytes) {
            text_ = QStringView(s, n);
        }
    }

    ParseOutcome run() {
        ParseOutcome outcome;
        skipBlanks();
        const char16_t c = at(pos_);
        if (c == u'{') {
            outcome.value = parseObject();
        } else if (c == u'[') {
            outcome.value = parseArray();
        } else {
            reporting();
            errors_ = QStringLiteral("Invalid JSON");
        }
        outcome.errors = std::move(errors_);
        return outcome;
    }

  private:
    enum Failure { NoFailure = 0, ConversionFailure = vb::TypeMismatch, OverflowFailure = vb::Overflow };

    // Every fault that writes a line passes here first.
    static void reporting() {
        if constexpr (Bytes) {
            throw HandOver{};
        }
    }

    char16_t at(qsizetype p) const { return p < n_ ? char16_t(s_[p]) : char16_t(0); }
    bool within() const { return pos_ < n_; }
    qsizetype lPos() const { return pos_ + 1; }
    QStringView from(qsizetype p, qsizetype count) const {
        if (p >= n_) {
            return {};
        }
        return text_.mid(p, count);
    }
    QStringView rest(qsizetype p) const {
        QStringView r = from(p, n_);
        if (errors_.size() + r.size() > ErrorTextBudget) {
            r = r.left(20);
        }
        return r;
    }
    QStringView last20() const { return text_.right(20); }

    void line(std::initializer_list<QStringView> pieces) {
        for (QStringView piece : pieces) {
            errors_.append(piece);
        }
        errors_.append(u"\r\n");
    }
    static QString number(qsizetype v) { return QString::number(v); }

    // Whether a unit can start blanks or a comment: tab, line ends, space, parentheses, asterisk and slash.
    static bool mayBeBlank(char16_t c) {
        constexpr uint64_t Blanks = (1ull << 9) | (1ull << 10) | (1ull << 13) | (1ull << 32) | (1ull << 40) |
                                    (1ull << 41) | (1ull << 42) | (1ull << 47);
        return c < 64 && ((Blanks >> c) & 1) != 0;
    }

    // The first position from p on that is not a space, tab or line end.
    qsizetype skipIndentation(qsizetype p) const {
        if constexpr (Bytes) {
#ifdef JSON_SCAN_SSE2
            const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                          cr = _mm_set1_epi8('\r');
            for (; p + 16 <= n_; p += 16) {
                const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + p));
                const __m128i blank =
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, space), _mm_cmpeq_epi8(chunk, tab)),
                                 _mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr)));
                const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xFFFFu;
                if (other != 0) {
                    return p + std::countr_zero(other);
                }
            }
#endif
        }
        while (p < n_ && (s_[p] == u' ' || s_[p] == LF || s_[p] == CR || s_[p] == TAB)) {
            ++p;
        }
        return p;
    }

    void skipBlanks() {
        if (pos_ < n_ && !mayBeBlank(s_[pos_])) {
            return;
        }
        skipBlanksAndComments();
    }

    // Indentation first (outside a comment, spaces, tabs and line ends change nothing), then blanks and comments.
    void skipBlanksAndComments() {
        pos_ = skipIndentation(pos_);
        if (pos_ < n_ && !mayBeBlank(s_[pos_])) {
            return;
        }
        bool pending = false;
        bool skipping = false;
        bool block = false;
        for (; pos_ < n_; ++pos_) {
            const char16_t c = s_[pos_];
            switch (c) {
                case CR:
                case LF:
                    if (!block) {
                        pending = false;
                        skipping = false;
                    }
                    break;
                case TAB:
                case u' ':
                case u'(':
                case u')':
                    break;
                case u'/':
                    if (!block) {
                        if (!pending) {
                            pending = true;
                            skipping = false;
                        } else {
                            pending = false;
                            skipping = true;
                        }
                    } else if (pending) {
                        pending = skipping = block = false;
                    }
                    break;
                case u'*':
                    if (!pending) {
                        pending = true;
                    } else {
                        pending = false;
                        skipping = true;
                        block = true;
                    }
                    break;
                default:
                    if (!skipping) {
                        return;
                    }
                    break;
            }
        }
    }

    JsonValue parseValue() {
        skipBlanks();
        const char16_t c = at(pos_);
        switch (c) {
            case u'{':
            case u'[':
                if (depth_ >= MaxNesting) {
                    reporting();
                    errors_.append(QStringLiteral("Nesting too deep at position %1\r\n").arg(lPos()));
                    aborted_ = true;
                    return JsonValue();
                }
                return c == u'{' ? parseObject() : parseArray();
            case u'"':
            case u'\'':
                return parseString();
            case u't':
            case u'f':
                return parseBoolean();
            case u'n':
                return parseNull();
            default:
                return parseNumber();
        }
    }

    // The head of each pass over a container: true when a member or element follows; false when the container
    // ends, its closing bracket consumed or, at the end of the text, its "Missing" line written. No comma is needed
    // between entries, and the entry after a comma is read whatever it starts with.
    bool nextEntry(char16_t close, QStringView missing) {
        skipBlanks();
        const char16_t c = at(pos_);
        if (c == close) {
            ++pos_;
            return false;
        }
        if (c == u',') {
            ++pos_;
            skipBlanks();
        } else if (!within()) {
            reporting();
            line({missing, last20()});
            return false;
        }
        return true;
    }

    JsonValue parseObject() {
        skipBlanks();
        if (at(pos_) != u'{') {
            reporting();
            line({u"Invalid Object at position ", number(lPos()), u" : ", rest(pos_)});
            return JsonValue(Dictionary());
        }
        ++pos_;
        ++depth_;
        // Members gather on a stack shared by all objects of the parse and move into the object once, at its end.
        const size_t base = members_.size();
        while (nextEntry(u'}', u"Missing '}': ")) {
            const size_t place = recentPlace(members_.size() - base);
            recent_ = &recentTexts_[place];
            QString key = parseKey();
            recent_ = &recentTexts_[place + 1];
            JsonValue value = parseValue();
            if (aborted_) {
                break;
            }
            if (failure_ != NoFailure) {
                reporting();
                line({vb::Error::describe(failure_), u": ", key});
                failure_ = NoFailure;
                break;
            }
            stuck_ = false;  // objects move on to the next key by themselves
            if (isPresent(base, key)) {
                reporting();
                line({vb::Error::describe(vb::KeyAlreadyPresent), u": ", key});
                break;
            }
            new (members_.slot()) Dictionary::Member{std::move(key), std::move(value)};
            members_.keep();
        }
        --depth_;
        return JsonValue(members_.handOver(base, &Dictionary::adoptDistinctMembers, storage_));
    }

    // Whether the object whose members start at `base` on the stack already holds the key. Small objects are
    // searched in place; larger ones get an index for their depth, kept while the object grows.
    bool isPresent(size_t base, const QString& key) {
        const size_t count = members_.size() - base;
        if (count < 16) {
            for (size_t i = base; i < members_.size(); ++i) {
                if (sameKey(members_[i].key, key)) {
                    return true;
                }
            }
            return false;
        }
        if (depthIndex_.size() <= static_cast<size_t>(depth_)) {
            depthIndex_.resize(depth_ + 1);
        }
        DepthIndex& table = depthIndex_[depth_];
        if (count == 16 || table.base != base || (count + 1) * 2 > table.positions.size()) {
            rebuildDepthIndex(base);
        }
        const size_t mask = table.positions.size() - 1;
        size_t slot = qHash(QStringView(key), 0) & mask;
        for (; table.positions[slot] != 0; slot = (slot + 1) & mask) {
            if (members_[table.positions[slot] - 1].key == key) {
                return true;
            }
        }
        // The key is about to be pushed at position members_.size().
        table.positions[slot] = static_cast<int64_t>(members_.size()) + 1;
        return false;
    }

    // Keys from the pool that are equal are mostly the same string.
    static bool sameKey(const QString& a, const QString& b) {
        return a.size() == b.size() &&
               (a.constData() == b.constData() ||
                std::memcmp(a.constData(), b.constData(), size_t(a.size()) * sizeof(QChar)) == 0);
    }

    void rebuildDepthIndex(size_t base) {
        DepthIndex& table = depthIndex_[depth_];
        const size_t count = members_.size() - base + 1;
        size_t size = 64;
        while (size < count * 4) {
            size *= 2;
        }
        table.base = base;
        table.positions.assign(size, 0);
        const size_t mask = size - 1;
        for (size_t i = base; i < members_.size(); ++i) {
            size_t slot = qHash(QStringView(members_[i].key), 0) & mask;
            while (table.positions[slot] != 0) {
                slot = (slot + 1) & mask;
            }
            table.positions[slot] = static_cast<int64_t>(i) + 1;
        }
    }

    JsonValue parseArray() {
        skipBlanks();
        if (at(pos_) != u'[') {
            reporting();
            line({u"Invalid Array at position ", number(lPos()), u" : ", from(pos_, 20)});
            return JsonValue(Collection());
        }
        ++pos_;
        ++depth_;
        const size_t base = items_.size();
        while (nextEntry(u']', u"Missing ']': ")) {
            recent_ = &recentTexts_[recentPlace(0) + 1];
            JsonValue value = parseValue();
            if (aborted_) {
                break;
            }
            if (failure_ != NoFailure) {
                reporting();
                line({vb::Error::describe(failure_), u": ", from(pos_, 20)});
                failure_ = NoFailure;
                break;
            }
            new (items_.slot()) JsonValue(std::move(value));
            items_.keep();
            // A broken true/false/null leaves the position where it was; reading it again would never end.
            if (stuck_) {
                stuck_ = false;
                break;
            }
        }
        --depth_;
        return JsonValue(items_.handOver(base, &Collection::adopt, storage_));
    }

    // The first position from p on that holds the quote or a backslash, or the end. Bytes note in `wide` whether
    // any byte before it is not ASCII.
    qsizetype scanString(qsizetype p, Unit quote, bool& wide) const {
        if constexpr (Bytes) {
            unsigned high = 0;
#ifdef JSON_SCAN_SSE2
            const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
            const __m128i bs = _mm_set1_epi8('\\');
            for (; p + 16 <= n_; p += 16) {
                const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + p));
                const unsigned stops = static_cast<unsigned>(
                    _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, q), _mm_cmpeq_epi8(chunk, bs))));
                const unsigned nonAscii = static_cast<unsigned>(_mm_movemask_epi8(chunk));
                if (stops != 0) {
                    high |= nonAscii & (stops ^ (stops - 1));
                    wide = wide || high != 0;
                    return p + std::countr_zero(stops);
                }
                high |= nonAscii;
            }
#endif
            for (; p < n_ && s_[p] != quote && s_[p] != '\\'; ++p) {
                high |= s_[p] & 0x80u;
            }
            wide = wide || high != 0;
            return p;
        } else {
            while (p < n_ && s_[p] != quote && s_[p] != u'\\') {
                ++p;
            }
            return p;
        }
    }

    // Appends the text of the units [p, q) to the gathered string: UTF-16 as it is, bytes decoded.
    void gather(qsizetype p, qsizetype q, bool wide) {
        if constexpr (Bytes) {
            if (wide) {
                decodeUtf8(s_ + p, s_ + q);
                return;
            }
            for (; p < q; ++p) {
                gathered_.push_back(char16_t(s_[p]));
            }
        } else {
            (void)wide;
            gathered_.append(s_ + p, s_ + q);
        }
    }

    // Decodes well-formed UTF-8 as QString::fromUtf8 would; anything else is read by the text reader instead.
    void decodeUtf8(const unsigned char* p, const unsigned char* end) {
        // Never more units than bytes.
        const size_t before = gathered_.size();
        gathered_.resize(before + size_t(end - p));
        char16_t* out = gathered_.data() + before;
        while (p < end) {
            const unsigned b = *p;
            if (b < 0x80) {
                *out++ = char16_t(b);
                ++p;
                continue;
            }
            char32_t code;
            if (!nextUtf8(p, end, code)) {
                throw HandOver{};
            }
            if (code >= 0x10000) {
                *out++ = char16_t(0xD800 + ((code - 0x10000) >> 10));
                *out++ = char16_t(0xDC00 + (code & 0x3FF));
            } else {
                *out++ = char16_t(code);
            }
        }
        gathered_.resize(size_t(out - gathered_.data()));
    }

    QStringView gatheredView() const {
        return QStringView(gathered_.data(), qsizetype(gathered_.size()));
    }
    QString gatheredText() {
        return textIn(&blocks_, gathered_.data(), qsizetype(gathered_.size()));
    }

    // The text of a slice that holds no escape; short ones ("new", "USD", "me2") repeat as much as keys do and share
    // one string through the pool (keys of any length up to its limit do).
    QString sliceText(qsizetype p, qsizetype q, bool wide, qsizetype pooledUpTo, KeyPool::Use use) {
        if (Bytes && wide) {
            gathered_.clear();
            gather(p, q, true);
            return gathered_.size() <= size_t(pooledUpTo)
                       ? pool_.intern(gathered_.data(), qsizetype(gathered_.size()), use, &blocks_)
                       : gatheredText();
        }
        const qsizetype n = q - p;
        if (n > pooledUpTo) {
            return textIn(&blocks_, s_ + p, n);
        }
        Recent& recent = *recent_;
        if (n != 0 && recent.size == n && std::memcmp(recent.units, s_ + p, size_t(n) * sizeof(Unit)) == 0) {
            return QString::fromRawData(recent.text, n);
        }
        QString text = pool_.intern(s_ + p, n, use, &blocks_);
        if (n != 0 && text.data_ptr().d_ptr() == nullptr) {
            recent = Recent{s_ + p, text.constData(), n};  // only lasting texts, which are never freed
        }
        return text;
    }

    // Objects in an array mostly repeat the keys of the one before, in the same order, and many of its short values
    // ("USD", "new"): each depth and member place remembers where in the input its last key and value were and the
    // pooled text made of them, and the same units again take that text without a look in the pool. Key at even
    // places, value at odd ones; depths and places beyond the table share places, which only costs a comparison.
    struct Recent {
        const Unit* units = nullptr;
        const QChar* text = nullptr;
        qsizetype size = 0;
    };
    size_t recentPlace(size_t member) const {
        return ((size_t(depth_ & 7) << 4) | (member & 15)) * 2;
    }

    JsonValue parseString() {
        skipBlanks();
        const Unit quote = s_[pos_];
        ++pos_;
        const qsizetype start = pos_;
        bool wide = false;
        qsizetype p = scanString(pos_, quote, wide);
        if (p >= n_ || s_[p] == quote) {
            pos_ = p < n_ ? p + 1 : p;
            return JsonValue(sliceText(start, p, wide, 32, KeyPool::Value));
        }
        // Escapes: gather the pieces between them.
        gathered_.clear();
        gather(start, p, wide);
        pos_ = p;
        while (pos_ < n_) {
            const Unit c = s_[pos_];
            if (c == u'\\') {
                ++pos_;
                const char16_t e = at(pos_);
                switch (e) {
                    case u'"':
                    case u'\\':
                    case u'/':
                    case u'\'':
                    case u'b':
                    case u'f':
                    case u'n':
                    case u'r':
                    case u't':
                        gathered_.push_back(escaped(e));
                        ++pos_;
                        break;
                    case u'u': {
                        ++pos_;
                        char16_t unit = 0;
                        qsizetype k = 0;
                        for (; k < 4 && pos_ + k < n_; ++k) {
                            const char16_t h = s_[pos_ + k];
                            int digit;
                            if (h >= u'0' && h <= u'9') {
                                digit = h - u'0';
                            } else if (h >= u'a' && h <= u'f') {
                                digit = h - u'a' + 10;
                            } else if (h >= u'A' && h <= u'F') {
                                digit = h - u'A' + 10;
                            } else {
                                break;
                            }
                            unit = static_cast<char16_t>(unit * 16 + digit);
                        }
                        // A short escape still passes over four units; over bytes that is the same only while
                        // they are ASCII.
                        if constexpr (Bytes) {
                            for (; k < 4 && pos_ + k < n_; ++k) {
                                if (s_[pos_ + k] >= 0x80) {
                                    throw HandOver{};
                                }
                            }
                        }
                        gathered_.push_back(unit);
                        pos_ += 4;
                        break;
                    }
                    default:
                        // An unknown escape drops the backslash; the character is read next as an ordinary one.
                        break;
                }
            } else if (c == quote) {
                ++pos_;
                break;
            } else {
                bool pieceWide = false;
                const qsizetype q = scanString(pos_ + 1, quote, pieceWide);
                gather(pos_, q, pieceWide || (Bytes && c >= 0x80));
                pos_ = q;
            }
        }
        return JsonValue(gatheredText());
    }

    // The character a one-letter escape stands for; quotes, backslash and slash stand for themselves.
    static char16_t escaped(char16_t e) {
        switch (e) {
            case u'b':
                return u'\b';
            case u'f':
                return u'\f';
            case u'n':
                return u'\n';
            case u'r':
                return u'\r';
            case u't':
                return u'\t';
            default:
                return e;
        }
    }

    static bool isNumberChar(char16_t c) {
        return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'e' || c == u'E';
    }

    // Reads a run of digits from p on into value, eight at a time where it can; counts them in `digits`, which
    // stops meaning anything past 19.
    qsizetype readDigits(qsizetype p, uint64_t& value, int& digits) const {
        if constexpr (Bytes) {
            while (p + 8 <= n_ && digits <= 19) {
                uint64_t chunk;
                std::memcpy(&chunk, s_ + p, 8);
                // All eight are digits when each byte is 0x30..0x39.
                if (((chunk & 0xF0F0F0F0F0F0F0F0ull) |
                     (((chunk + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) != 0x3333333333333333ull) {
                    break;
                }
                chunk -= 0x3030303030303030ull;
                chunk = (chunk * 10 + (chunk >> 8)) & 0x00FF00FF00FF00FFull;
                chunk = (chunk * 100 + (chunk >> 16)) & 0x0000FFFF0000FFFFull;
                chunk = (chunk * 10000 + (chunk >> 32)) & 0xFFFFFFFFull;
                value = value * 100000000 + chunk;
                digits += 8;
                p += 8;
            }
        }
        for (; p < n_ && s_[p] >= u'0' && s_[p] <= u'9' && digits <= 19; ++p) {
            value = value * 10 + unsigned(s_[p] - u'0');
            ++digits;
        }
        return p;
    }

    // The usual number (a sign, at most 19 digits, a point) read in one pass; anything else (an exponent, more
    // digits, a stray sign or point) is left to the exact reading of the whole run.
    bool quickNumber(Decimal& out) {
        qsizetype p = pos_;
        bool negative = false;
        if (p < n_ && (s_[p] == u'-' || s_[p] == u'+')) {
            negative = s_[p] == u'-';
            ++p;
        }
        uint64_t value = 0;
        int digits = 0;
        p = readDigits(p, value, digits);
        int scale = 0;
        if (p < n_ && s_[p] == u'.') {
            const qsizetype fraction = ++p;
            p = readDigits(p, value, digits);
            scale = int(p - fraction);
        }
        if (digits == 0 || digits > 19 || (p < n_ && isNumberChar(s_[p]))) {
            return false;
        }
        out = Decimal::fromScaled(value, scale, negative);
        pos_ = p;
        return true;
    }

    JsonValue parseNumber() {
        skipBlanks();
        if (Decimal quick; quickNumber(quick)) {
            return JsonValue(quick);
        }
        const qsizetype start = pos_;
        while (pos_ < n_ && isNumberChar(s_[pos_])) {
            ++pos_;
        }
        if (pos_ == start && !within()) {
            return JsonValue();
        }
        Decimal number;
        Decimal::Status status;
        if constexpr (Bytes) {
            status = Decimal::parse(QByteArrayView(s_ + start, pos_ - start), number);
        } else {
            status = Decimal::parse(QStringView(s_ + start, pos_ - start), number);
        }
        switch (status) {
            case Decimal::Status::Ok:
                return JsonValue(number);
            case Decimal::Status::NotANumber:
                failure_ = ConversionFailure;
                break;
            case Decimal::Status::Overflow:
                failure_ = OverflowFailure;
                break;
        }
        return JsonValue();
    }

    bool matches(const char16_t* word, qsizetype size) const {
        if (n_ - pos_ < size) {
            return false;
        }
        for (qsizetype i = 0; i < size; ++i) {
            if (s_[pos_ + i] != word[i]) {
                return false;
            }
        }
        return true;
    }

    JsonValue parseBoolean() {
        skipBlanks();
        if (matches(u"true", 4)) {
            pos_ += 4;
            return JsonValue(true);
        }
        if (matches(u"false", 5)) {
            pos_ += 5;
            return JsonValue(false);
        }
        reporting();
        line({u"Invalid Boolean at position ", number(lPos()), u" : ", rest(pos_)});
        stuck_ = true;
        return JsonValue(false);
    }

    JsonValue parseNull() {
        skipBlanks();
        if (matches(u"null", 4)) {
            pos_ += 4;
            return JsonValue::null();
        }
        reporting();
        line({u"Invalid null value at position ", number(lPos()), u" : ", rest(pos_)});
        stuck_ = true;
        return JsonValue();
    }

    // Quotes, colon, tab, line ends and space: one bit each below 64.
    static bool endsPlainKey(char16_t c) {
        constexpr uint64_t Ends =
            (1ull << '"') | (1ull << '\'') | (1ull << ':') | (1ull << 13) | (1ull << 10) | (1ull << 9) | (1ull << ' ');
        return c < 64 && ((Ends >> c) & 1) != 0;
    }

    QString parseKey() {
        skipBlanks();
        // The usual "name": or name: needs no gathering: the key is a slice of the text.
        {
            const bool quoted = at(pos_) == u'"';
            qsizetype q = quoted ? pos_ + 1 : pos_;
            bool wide = false;
            unsigned high = 0;
            while (q < n_ && !endsPlainKey(s_[q])) {
                high |= s_[q];
                ++q;
            }
            wide = Bytes && high >= 0x80;
            const qsizetype end = q;
            if (quoted && q < n_ && s_[q] == u'"') {
                ++q;
            } else if (quoted) {
                q = -1;
            }
            if (q >= 0 && q < n_ && s_[q] == u':') {
                const qsizetype start = quoted ? pos_ + 1 : pos_;
                pos_ = q + 1;
                return sliceText(start, end, wide, 64, KeyPool::Key);
            }
        }
        // Any other key: quotes toggle, blanks drop out, and a colon outside quotes ends it.
        key_.clear();
        bool wide = false;
        bool inDouble = false;
        bool inSingle = false;
        while (pos_ < n_) {
            const Unit c = s_[pos_];
            if (c == u'"' || c == u'\'') {
                bool& flag = c == u'"' ? inDouble : inSingle;
                flag = !flag;
                ++pos_;
                if (!flag) {
                    skipBlanks();
                    if (at(pos_) != u':') {
                        reporting();
                        line({u"Invalid Key at position ", number(lPos()), u" : ", keyText(wide)});
                        return finishKey(wide);
                    }
                }
            } else if (c == u':') {
                ++pos_;
                if (!inDouble && !inSingle) {
                    return finishKey(wide);
                }
                key_.push_back(c);
            } else if (c == CR || c == LF || c == TAB || c == u' ') {
                ++pos_;
            } else {
                if constexpr (Bytes) {
                    wide = wide || c >= 0x80;
                }
                key_.push_back(c);
                ++pos_;
            }
        }
        return finishKey(wide);
    }

    // The key gathered so far, as UTF-16.
    QStringView keyText(bool wide) {
        if constexpr (Bytes) {
            gathered_.clear();
            if (wide) {
                decodeUtf8(key_.data(), key_.data() + key_.size());
            } else {
                gathered_.assign(key_.begin(), key_.end());
            }
            return gatheredView();
        } else {
            (void)wide;
            return QStringView(key_.data(), static_cast<qsizetype>(key_.size()));
        }
    }
    QString finishKey(bool wide) {
        return pool_.intern(keyText(wide));
    }

    QStringView text_;
    const Unit* s_;
    qsizetype n_;
    qsizetype pos_ = 0;
    int depth_ = 0;
    bool aborted_ = false;
    bool stuck_ = false;
    int failure_ = NoFailure;
    QString errors_;
    std::u16string gathered_;
    std::basic_string<Unit> key_;
    EntryStack<Dictionary::Member> members_;
    EntryStack<JsonValue> items_;
    std::vector<DepthIndex> depthIndex_;
    KeyPool& pool_ = sharedPool();
    std::array<Recent, 256> recentTexts_;
    Recent* recent_ = &recentTexts_[0];
    TextBlocks blocks_;
    StorageBlocks storage_;
};

}  // namespace

ParseOutcome parseJsonText(QStringView text) {
    return Parser<char16_t>(reinterpret_cast<const char16_t*>(text.utf16()), text.size()).run();
}

ParseOutcome parseJsonUtf8(QByteArrayView utf8) {
    try {
        return Parser<unsigned char>(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size()).run();
    } catch (const HandOver&) {
        return parseJsonText(QString::fromUtf8(utf8));
    }
}

}  // namespace json

namespace {
QString& errorText() {
    static QString text;
    return text;
}
}  // namespace

std::optional<json::JsonValue> ParseJson(QStringView text) {
    json::ParseOutcome outcome = json::parseJsonText(text);
    errorText() = std::move(outcome.errors);
    return std::move(outcome.value);
}

std::optional<json::JsonValue> ParseJsonUtf8(QByteArrayView utf8) {
    json::ParseOutcome outcome = json::parseJsonUtf8(utf8);
    errorText() = std::move(outcome.errors);
    return std::move(outcome.value);
}

QString ParserErrors() {
    return errorText();
}
