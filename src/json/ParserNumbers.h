#pragma once

// The reader's numbers: the usual ones read in one pass, eight digits at a time, and any other left to
// the exact decimal reading.

#include "Parser.h"

#include <QByteArrayView>
#include <QStringView>

#include <cstring>

namespace json {
namespace {

template <typename Unit>
inline bool Parser<Unit>::isNumberChar(char16_t c) {
    return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'e' || c == u'E';
}

// Reads a run of digits from p on into value, eight at a time where it can; counts them in `digits`, which
// stops meaning anything past 19.
template <typename Unit>
inline qsizetype Parser<Unit>::readDigits(qsizetype p, uint64_t& value, int& digits) const {
    if constexpr (Bytes) {
        while (p + 8 <= n_ && digits <= 19) {
            uint64_t chunk;
            std::memcpy(&chunk, s_ + p, 8);
            // All eight are digits when each byte is 0x30..0x39.
            if (((chunk & 0xF0F0F0F0F0F0F0F0ull) | (((chunk + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) !=
                0x3333333333333333ull) {
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
template <typename Unit>
inline bool Parser<Unit>::quickNumber(Decimal& out) {
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

template <typename Unit>
inline JsonValue Parser<Unit>::parseNumber() {
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

}  // namespace
}  // namespace json
