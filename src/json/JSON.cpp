#include "JSON.h"

#include "VbError.h"
#include "cStringBuilder.h"

#include <QHashFunctions>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace json {
namespace {

constexpr char16_t CR = u'\r';
constexpr char16_t LF = u'\n';
constexpr char16_t TAB = u'\t';

// The lines that quote "the rest of the text" could make the error text grow with the square of the input for a
// text full of broken literals; past this many characters such quotes are cut to 20 characters.
constexpr qsizetype ErrorTextBudget = qsizetype(1) << 22;

// A cheap hash for the short texts the pool holds (keys, codes, words).
size_t hashUnits(QStringView text) {
    uint32_t h = 2166136261u;
    for (QChar c : text) {
        h = (h ^ c.unicode()) * 16777619u;
    }
    return h ^ (h >> 15);
}

bool sameUnits(QStringView a, QStringView b) {
    return a.size() == b.size() && std::memcmp(a.utf16(), b.utf16(), size_t(a.size()) * 2) == 0;
}

// Keys and short values repeat a lot in marketplace answers, within a page and from one page to the next; equal
// ones share one string. The pool lives on between parses (it changes no result) and starts afresh when full, so
// it never holds more than a few thousand short strings.
class KeyPool {
  public:
    QString intern(QStringView text) {
        if (text.size() > 64) {
            return text.toString();
        }
        if (slots_.empty()) {
            slots_.assign(SlotCount, 0);
            entries_.reserve(MaxEntries);
        }
        constexpr size_t mask = SlotCount - 1;
        size_t slot = hashUnits(text) & mask;
        for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
            const QString& entry = entries_[slots_[slot] - 1];
            if (sameUnits(entry, text)) {
                return entry;
            }
        }
        if (entries_.size() == MaxEntries) {
            entries_.clear();
            std::fill(slots_.begin(), slots_.end(), 0);
            return intern(text);
        }
        entries_.push_back(text.toString());
        slots_[slot] = static_cast<uint32_t>(entries_.size());
        return entries_.back();
    }

  private:
    static constexpr size_t SlotCount = 8192;
    static constexpr size_t MaxEntries = 4096;
    std::vector<uint32_t> slots_;
    std::vector<QString> entries_;
};

KeyPool& sharedPool() {
    static thread_local KeyPool pool;
    return pool;
}

// Positions (+ 1) of the members of one large object on the member stack, by key hash.
struct DepthIndex {
    size_t base = 0;
    std::vector<int64_t> positions;
};

class Parser {
  public:
    explicit Parser(QStringView text)
        : text_(text), s_(reinterpret_cast<const char16_t*>(text.utf16())), n_(text.size()) {
        builder_.ChunkSize(256);
        members_.reserve(64);
        items_.reserve(64);
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
            errors_ = QStringLiteral("Invalid JSON");
        }
        outcome.errors = std::move(errors_);
        return outcome;
    }

  private:
    enum Failure { NoFailure = 0, ConversionFailure = vb::TypeMismatch, OverflowFailure = vb::Overflow };

    char16_t at(qsizetype p) const { return p < n_ ? s_[p] : char16_t(0); }
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

    void skipBlanks() {
        if (pos_ < n_ && s_[pos_] > u'/') {
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
            line({missing, last20()});
            return false;
        }
        return true;
    }

    JsonValue parseObject() {
        skipBlanks();
        if (at(pos_) != u'{') {
            line({u"Invalid Object at position ", number(lPos()), u" : ", rest(pos_)});
            return JsonValue(Dictionary());
        }
        ++pos_;
        ++depth_;
        // Members gather on a stack shared by all objects of the parse and move into the object once, at its end.
        const size_t base = members_.size();
        while (nextEntry(u'}', u"Missing '}': ")) {
            QString key = parseKey();
            JsonValue value = parseValue();
            if (aborted_) {
                break;
            }
            if (failure_ != NoFailure) {
                line({vb::Error::describe(failure_), u": ", key});
                failure_ = NoFailure;
                break;
            }
            stuck_ = false;  // objects move on to the next key by themselves
            if (isPresent(base, key)) {
                line({vb::Error::describe(vb::KeyAlreadyPresent), u": ", key});
                break;
            }
            members_.push_back(Dictionary::Member{std::move(key), std::move(value)});
        }
        --depth_;
        Dictionary dictionary = Dictionary::fromDistinctMembers(
            std::span<Dictionary::Member>(members_.data() + base, members_.size() - base));
        members_.resize(base);
        return JsonValue(std::move(dictionary));
    }

    // Whether the object whose members start at `base` on the stack already holds the key. Small objects are
    // searched in place; larger ones get an index for their depth, kept while the object grows.
    bool isPresent(size_t base, const QString& key) {
        const size_t count = members_.size() - base;
        if (count < 16) {
            for (size_t i = base; i < members_.size(); ++i) {
                if (members_[i].key == key) {
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
            line({u"Invalid Array at position ", number(lPos()), u" : ", from(pos_, 20)});
            return JsonValue(Collection());
        }
        ++pos_;
        ++depth_;
        const size_t base = items_.size();
        while (nextEntry(u']', u"Missing ']': ")) {
            JsonValue value = parseValue();
            if (aborted_) {
                break;
            }
            if (failure_ != NoFailure) {
                line({vb::Error::describe(failure_), u": ", from(pos_, 20)});
                failure_ = NoFailure;
                break;
            }
            items_.push_back(std::move(value));
            // A broken true/false/null leaves the position where it was; reading it again would never end.
            if (stuck_) {
                stuck_ = false;
                break;
            }
        }
        --depth_;
        Collection collection = Collection::fromMoved(std::span<JsonValue>(items_.data() + base, items_.size() - base));
        items_.resize(base);
        return JsonValue(std::move(collection));
    }

    JsonValue parseString() {
        skipBlanks();
        const char16_t quote = s_[pos_];
        ++pos_;
        const qsizetype start = pos_;
        qsizetype p = pos_;
        while (p < n_ && s_[p] != quote && s_[p] != u'\\') {
            ++p;
        }
        if (p >= n_ || s_[p] == quote) {
            const QStringView plain(s_ + start, p - start);
            pos_ = p < n_ ? p + 1 : p;
            // Short values ("new", "USD", "me2") repeat as much as keys do and share one string too.
            return JsonValue(plain.size() <= 16 ? pool_.intern(plain) : plain.toString());
        }
        // Escapes: gather the pieces between them in the builder.
        builder_.Remove(0, builder_.Length());
        builder_.Append(QStringView(s_ + start, p - start));
        pos_ = p;
        while (pos_ < n_) {
            const char16_t c = s_[pos_];
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
                        builder_.Append(QChar(escaped(e)));
                        ++pos_;
                        break;
                    case u'u': {
                        ++pos_;
                        char16_t unit = 0;
                        for (qsizetype k = 0; k < 4 && pos_ + k < n_; ++k) {
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
                        builder_.Append(QChar(unit));
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
                qsizetype q = pos_ + 1;
                while (q < n_ && s_[q] != quote && s_[q] != u'\\') {
                    ++q;
                }
                builder_.Append(QStringView(s_ + pos_, q - pos_));
                pos_ = q;
                keepGrowthGeometric();
            }
        }
        return JsonValue(builder_.toString());
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

    // The builder grows by whole chunks; letting the chunk follow the length keeps a very long string linear.
    void keepGrowthGeometric() {
        if (builder_.Length() > builder_.ChunkSize()) {
            builder_.ChunkSize(builder_.Length());
        }
    }

    static bool isNumberChar(char16_t c) {
        return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'e' || c == u'E';
    }

    JsonValue parseNumber() {
        skipBlanks();
        const qsizetype start = pos_;
        while (pos_ < n_ && isNumberChar(s_[pos_])) {
            ++pos_;
        }
        if (pos_ == start && !within()) {
            return JsonValue();
        }
        Decimal number;
        switch (Decimal::parse(QStringView(s_ + start, pos_ - start), number)) {
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

    bool matches(QStringView word) const { return from(pos_, word.size()) == word; }

    JsonValue parseBoolean() {
        skipBlanks();
        if (matches(u"true")) {
            pos_ += 4;
            return JsonValue(true);
        }
        if (matches(u"false")) {
            pos_ += 5;
            return JsonValue(false);
        }
        line({u"Invalid Boolean at position ", number(lPos()), u" : ", rest(pos_)});
        stuck_ = true;
        return JsonValue(false);
    }

    JsonValue parseNull() {
        skipBlanks();
        if (matches(u"null")) {
            pos_ += 4;
            return JsonValue::null();
        }
        line({u"Invalid null value at position ", number(lPos()), u" : ", rest(pos_)});
        stuck_ = true;
        return JsonValue();
    }

    static bool endsPlainKey(char16_t c) {
        return c == u'"' || c == u'\'' || c == u':' || c == CR || c == LF || c == TAB || c == u' ';
    }

    QString parseKey() {
        skipBlanks();
        // The usual "name": or name: needs no gathering: the key is a slice of the text.
        {
            const bool quoted = at(pos_) == u'"';
            qsizetype q = quoted ? pos_ + 1 : pos_;
            while (q < n_ && !endsPlainKey(s_[q])) {
                ++q;
            }
            const qsizetype end = q;
            if (quoted && q < n_ && s_[q] == u'"') {
                ++q;
            } else if (quoted) {
                q = -1;
            }
            if (q >= 0 && q < n_ && s_[q] == u':') {
                const qsizetype start = quoted ? pos_ + 1 : pos_;
                pos_ = q + 1;
                return pool_.intern(QStringView(s_ + start, end - start));
            }
        }
        key_.clear();
        bool inDouble = false;
        bool inSingle = false;
        while (pos_ < n_) {
            const char16_t c = s_[pos_];
            if (c == u'"' || c == u'\'') {
                bool& flag = c == u'"' ? inDouble : inSingle;
                flag = !flag;
                ++pos_;
                if (!flag) {
                    skipBlanks();
                    if (at(pos_) != u':') {
                        line({u"Invalid Key at position ", number(lPos()), u" : ", keyView()});
                        return finishKey();
                    }
                }
            } else if (c == u':') {
                ++pos_;
                if (!inDouble && !inSingle) {
                    return finishKey();
                }
                key_.push_back(c);
            } else if (c == CR || c == LF || c == TAB || c == u' ') {
                ++pos_;
            } else {
                key_.push_back(c);
                ++pos_;
            }
        }
        return finishKey();
    }

    QStringView keyView() const { return QStringView(key_.data(), static_cast<qsizetype>(key_.size())); }
    QString finishKey() { return pool_.intern(keyView()); }

    QStringView text_;
    const char16_t* s_;
    qsizetype n_;
    qsizetype pos_ = 0;
    int depth_ = 0;
    bool aborted_ = false;
    bool stuck_ = false;
    int failure_ = NoFailure;
    QString errors_;
    cStringBuilder builder_;
    std::u16string key_;
    std::vector<Dictionary::Member> members_;
    std::vector<JsonValue> items_;
    std::vector<DepthIndex> depthIndex_;
    KeyPool& pool_ = sharedPool();
};

}  // namespace

ParseOutcome parseJsonText(QStringView text) {
    return Parser(text).run();
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

QString ParserErrors() {
    return errorText();
}
