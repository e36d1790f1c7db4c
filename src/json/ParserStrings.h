#pragma once

// The reader's strings and keys: finding their end, decoding UTF-8 and escapes, quoted and bare keys, and
// the texts they become (pooled, remembered per member place, or laid in the parse's text blocks).

#include "Parser.h"
#include "Utf8.h"

#include <bit>
#include <cstring>

namespace json {
namespace {

// The first position from p on that holds the quote or a backslash, or the end. Bytes note in `wide` whether
// any byte before it is not ASCII.
template <typename Unit>
inline qsizetype Parser<Unit>::scanString(qsizetype p, Unit quote, bool& wide) const {
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
template <typename Unit>
inline void Parser<Unit>::gather(qsizetype p, qsizetype q, bool wide) {
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
template <typename Unit>
inline void Parser<Unit>::decodeUtf8(const unsigned char* p, const unsigned char* end) {
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

// The text of a slice that holds no escape; short ones ("new", "USD", "me2") repeat as much as keys do and share
// one string through the pool (keys of any length up to its limit do).
template <typename Unit>
inline QString Parser<Unit>::sliceText(qsizetype p, qsizetype q, bool wide, qsizetype pooledUpTo, KeyPool::Use use) {
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

template <typename Unit>
inline JsonValue Parser<Unit>::parseString() {
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
template <typename Unit>
inline char16_t Parser<Unit>::escaped(char16_t e) {
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

// Quotes, colon, tab, line ends and space: one bit each below 64.
template <typename Unit>
inline bool Parser<Unit>::endsPlainKey(char16_t c) {
    constexpr uint64_t Ends =
        (1ull << '"') | (1ull << '\'') | (1ull << ':') | (1ull << 13) | (1ull << 10) | (1ull << 9) | (1ull << ' ');
    return c < 64 && ((Ends >> c) & 1) != 0;
}

template <typename Unit>
inline QString Parser<Unit>::parseKey() {
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
template <typename Unit>
inline QStringView Parser<Unit>::keyText(bool wide) {
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

template <typename Unit>
inline QString Parser<Unit>::finishKey(bool wide) {
    return pool_.intern(keyText(wide));
}

}  // namespace
}  // namespace json
