#pragma once

// The reader's blanks: indentation, skipped sixteen bytes at a time, and the comments and parentheses
// the reader passes over as blanks.

#include "Parser.h"

#include <bit>

namespace json {
namespace {

// Whether a unit can start blanks or a comment: tab, line ends, space, parentheses, asterisk and slash.
template <typename Unit>
inline bool Parser<Unit>::mayBeBlank(char16_t c) {
    constexpr uint64_t Blanks = (1ull << 9) | (1ull << 10) | (1ull << 13) | (1ull << 32) | (1ull << 40) | (1ull << 41) |
                                (1ull << 42) | (1ull << 47);
    return c < 64 && ((Blanks >> c) & 1) != 0;
}

// The first position from p on that is not a space, tab or line end.
template <typename Unit>
inline qsizetype Parser<Unit>::skipIndentation(qsizetype p) const {
    if constexpr (Bytes) {
#ifdef JSON_SCAN_SSE2
        const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                      cr = _mm_set1_epi8('\r');
        for (; p + 16 <= n_; p += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s_ + p));
            const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, space), _mm_cmpeq_epi8(chunk, tab)),
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

template <typename Unit>
inline void Parser<Unit>::skipBlanks() {
    if (pos_ < n_ && !mayBeBlank(s_[pos_])) {
        return;
    }
    skipBlanksAndComments();
}

// Indentation first (outside a comment, spaces, tabs and line ends change nothing), then blanks and comments.
template <typename Unit>
inline void Parser<Unit>::skipBlanksAndComments() {
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

}  // namespace
}  // namespace json
