#pragma once

// The reader's class: its input, its position, its error lines and its state, and the declarations of its parts,
// each in a file of its own: ParserBlanks.h, ParserValues.h, ParserStrings.h and ParserNumbers.h.
//
// The reader's headers (these, TextBlocks.h, KeyPool.h and EntryStack.h) are included by JSON.cpp alone and keep
// what they hold in an unnamed namespace: the compiler then sees the reader as private to that one file and inlines
// what it inlined when the reader was written there (in a named namespace it left parseString, parseKey and
// parseNumber out of line).

#include "Decimal.h"
#include "EntryStack.h"
#include "JSON.h"
#include "KeyPool.h"
#include "TextBlocks.h"
#include "VbError.h"

#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <initializer_list>
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

    QStringView gatheredView() const { return QStringView(gathered_.data(), qsizetype(gathered_.size())); }
    QString gatheredText() { return textIn(&blocks_, gathered_.data(), qsizetype(gathered_.size())); }

    // Objects in an array mostly repeat the keys of the one before, in the same order, and many of its short values
    // ("USD", "new"): each depth and member place remembers where in the input its last key and value were and the
    // pooled text made of them, and the same units again take that text without a look in the pool. Key at even
    // places, value at odd ones; depths and places beyond the table share places, which only costs a comparison.
    struct Recent {
        const Unit* units = nullptr;
        const QChar* text = nullptr;
        qsizetype size = 0;
    };
    size_t recentPlace(size_t member) const { return ((size_t(depth_ & 7) << 4) | (member & 15)) * 2; }

    // Blanks and comments: ParserBlanks.h.
    static bool mayBeBlank(char16_t c);
    qsizetype skipIndentation(qsizetype p) const;
    void skipBlanks();
    void skipBlanksAndComments();

    // Values, objects, arrays, true, false and null: ParserValues.h.
    JsonValue parseValue();
    bool nextEntry(char16_t close, QStringView missing);
    JsonValue parseObject();
    bool isPresent(size_t base, const QString& key);
    static bool sameKey(const QString& a, const QString& b);
    void rebuildDepthIndex(size_t base);
    JsonValue parseArray();
    bool matches(const char16_t* word, qsizetype size) const;
    JsonValue parseBoolean();
    JsonValue parseNull();

    // Strings and keys: ParserStrings.h.
    qsizetype scanString(qsizetype p, Unit quote, bool& wide) const;
    void gather(qsizetype p, qsizetype q, bool wide);
    void decodeUtf8(const unsigned char* p, const unsigned char* end);
    QString sliceText(qsizetype p, qsizetype q, bool wide, qsizetype pooledUpTo, KeyPool::Use use);
    JsonValue parseString();
    static char16_t escaped(char16_t e);
    static bool endsPlainKey(char16_t c);
    QString parseKey();
    QStringView keyText(bool wide);
    QString finishKey(bool wide);

    // Numbers: ParserNumbers.h.
    static bool isNumberChar(char16_t c);
    qsizetype readDigits(qsizetype p, uint64_t& value, int& digits) const;
    bool quickNumber(Decimal& out);
    JsonValue parseNumber();

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
}  // namespace json
