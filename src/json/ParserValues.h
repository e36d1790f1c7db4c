#pragma once

// The reader's values: which kind a value is, objects (with the check for a key given twice) and arrays,
// and true, false and null.

#include "Parser.h"

#include <QHashFunctions>

#include <cstring>
#include <new>

namespace json {
namespace {

template <typename Unit>
inline JsonValue Parser<Unit>::parseValue() {
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
template <typename Unit>
inline bool Parser<Unit>::nextEntry(char16_t close, QStringView missing) {
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

template <typename Unit>
inline JsonValue Parser<Unit>::parseObject() {
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
template <typename Unit>
inline bool Parser<Unit>::isPresent(size_t base, const QString& key) {
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
template <typename Unit>
inline bool Parser<Unit>::sameKey(const QString& a, const QString& b) {
    return a.size() == b.size() && (a.constData() == b.constData() ||
                                    std::memcmp(a.constData(), b.constData(), size_t(a.size()) * sizeof(QChar)) == 0);
}

template <typename Unit>
inline void Parser<Unit>::rebuildDepthIndex(size_t base) {
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

template <typename Unit>
inline JsonValue Parser<Unit>::parseArray() {
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

template <typename Unit>
inline bool Parser<Unit>::matches(const char16_t* word, qsizetype size) const {
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

template <typename Unit>
inline JsonValue Parser<Unit>::parseBoolean() {
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

template <typename Unit>
inline JsonValue Parser<Unit>::parseNull() {
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

}  // namespace
}  // namespace json
