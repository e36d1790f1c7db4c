#include "Decimal.h"

#include <QLocale>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace json {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr u128 Max96 = (static_cast<u128>(1) << 96) - 1;
constexpr int MaxKeptDigits = 38;  // 10^38 still fits in 128 bits

constexpr std::array<u128, 39> makePowers() {
    std::array<u128, 39> p{};
    p[0] = 1;
    for (size_t i = 1; i < p.size(); ++i) {
        p[i] = p[i - 1] * 10;
    }
    return p;
}
constexpr std::array<u128, 39> Pow10 = makePowers();

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Removes `drop` trailing digits of mant, rounding half to even. The digits already dropped while reading
// (firstDropped, then whether any later one was non-zero) lie below the removed ones.
u128 roundOff(u128 mant, int drop, int firstDropped, bool sticky) {
    bool tailNonZero = firstDropped > 0 || sticky;
    if (drop == 0) {
        if (firstDropped < 0) {
            return mant;
        }
        const bool up = firstDropped > 5 || (firstDropped == 5 && (sticky || (mant & 1)));
        return up ? mant + 1 : mant;
    }
    if (drop > MaxKeptDigits) {
        return 0;
    }
    const u128 pow = Pow10[drop];
    const u128 q = mant / pow;
    const u128 r = mant % pow;
    const u128 half = pow / 2;
    bool up;
    if (r > half) {
        up = true;
    } else if (r < half) {
        up = false;
    } else {
        up = tailNonZero || (q & 1);
    }
    return up ? q + 1 : q;
}

// Writes the decimal digits of value so that they end just before `end`; returns where they start.
char* putDigits(uint64_t value, char* end) {
    static constexpr char Pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, Pairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, Pairs + 2 * value, 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// The parts of a decimal number read from its units (UTF-16 or ASCII bytes): magnitude below 2^96, scale 0..28.
struct Parts {
    bool negative = false;
    u128 magnitude = 0;
    int scale = 0;
};

template <typename Unit>
Decimal::Status readDecimal(const Unit* s, qsizetype n, Parts& out) {
    using Status = Decimal::Status;
    qsizetype i = 0;
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    out.negative = negative;

    u128 mant = 0;
    int kept = 0;
    int64_t exp10 = 0;
    int firstDropped = -1;
    bool sticky = false;
    bool sawDigit = false;
    bool sawPoint = false;
    for (; i < n; ++i) {
        const char16_t c = s[i];
        if (isDigit(c)) {
            sawDigit = true;
            const int d = c - u'0';
            if (kept == 0 && d == 0) {
                if (sawPoint) {
                    --exp10;
                }
            } else if (kept < MaxKeptDigits) {
                mant = mant * 10 + d;
                ++kept;
                if (sawPoint) {
                    --exp10;
                }
            } else {
                if (!sawPoint) {
                    ++exp10;
                }
                if (firstDropped < 0) {
                    firstDropped = d;
                } else if (d != 0) {
                    sticky = true;
                }
            }
        } else if (c == u'.') {
            if (sawPoint) {
                return Status::NotANumber;
            }
            sawPoint = true;
        } else {
            break;
        }
    }
    if (!sawDigit) {
        return Status::NotANumber;
    }
    if (i < n) {
        if (s[i] != u'e' && s[i] != u'E') {
            return Status::NotANumber;
        }
        ++i;
        bool expNegative = false;
        if (i < n && (s[i] == u'+' || s[i] == u'-')) {
            expNegative = s[i] == u'-';
            ++i;
        }
        if (i >= n) {
            return Status::NotANumber;
        }
        int64_t exponent = 0;
        for (; i < n; ++i) {
            if (!isDigit(s[i])) {
                return Status::NotANumber;
            }
            if (exponent < 1'000'000'000) {
                exponent = exponent * 10 + (s[i] - u'0');
            }
        }
        exp10 += expNegative ? -exponent : exponent;
    }

    if (mant == 0) {
        out.scale = static_cast<int>(exp10 < 0 ? std::min<int64_t>(-exp10, Decimal::MaxScale) : 0);
        return Status::Ok;
    }

    u128 magnitude = 0;
    int scale = 0;
    if (exp10 >= 0) {
        if (firstDropped >= 0 || exp10 > Decimal::MaxScale + 1) {
            return Status::Overflow;
        }
        magnitude = mant;
        for (int64_t k = 0; k < exp10; ++k) {
            if (magnitude > Max96 / 10) {
                return Status::Overflow;
            }
            magnitude *= 10;
        }
        if (magnitude > Max96) {
            return Status::Overflow;
        }
    } else {
        const int64_t wanted = -exp10;
        int64_t drop = wanted > Decimal::MaxScale ? wanted - Decimal::MaxScale : 0;
        for (;;) {
            if (drop > MaxKeptDigits) {
                magnitude = 0;
                break;
            }
            magnitude = roundOff(mant, static_cast<int>(drop), firstDropped, sticky);
            if (magnitude <= Max96) {
                break;
            }
            if (drop >= wanted) {
                return Status::Overflow;
            }
            ++drop;
        }
        scale = static_cast<int>(wanted - drop);
        if (scale < 0) {
            scale = 0;
        }
    }
    out.magnitude = magnitude;
    out.scale = scale;
    return Status::Ok;
}

}  // namespace

Decimal Decimal::fromInteger(int64_t value) {
    Decimal d;
    d.negative_ = value < 0;
    const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    d.lo_ = static_cast<uint32_t>(magnitude);
    d.mid_ = static_cast<uint32_t>(magnitude >> 32);
    return d;
}

template <typename Unit>
Decimal::Status Decimal::parseUnits(const Unit* s, qsizetype n, Decimal& out) {
    Parts parts;
    const Status status = readDecimal(s, n, parts);
    if (status == Status::Ok) {
        Decimal d;
        d.negative_ = parts.negative;
        d.lo_ = static_cast<uint32_t>(parts.magnitude);
        d.mid_ = static_cast<uint32_t>(parts.magnitude >> 32);
        d.hi_ = static_cast<uint32_t>(parts.magnitude >> 64);
        d.scale_ = static_cast<uint8_t>(parts.scale);
        out = d;
    }
    return status;
}

Decimal::Status Decimal::parse(QStringView run, Decimal& out) {
    return parseUnits(reinterpret_cast<const char16_t*>(run.utf16()), run.size(), out);
}

Decimal::Status Decimal::parse(QByteArrayView run, Decimal& out) {
    return parseUnits(reinterpret_cast<const unsigned char*>(run.data()), run.size(), out);
}

int Decimal::writeText(char* buffer) const {
    // The digits of the magnitude, at least one more than the scale, filled in from the right.
    char digits[32];
    char* const end = digits + sizeof digits;
    char* first;
    if (hi_ == 0) {
        first = putDigits((static_cast<uint64_t>(mid_) << 32) | lo_, end);
    } else {
        // Below 2^96, so the part above the lowest 19 digits fits in 64 bits too.
        const u128 magnitude = (static_cast<u128>(hi_) << 64) | (static_cast<u128>(mid_) << 32) | lo_;
        constexpr uint64_t Pow19 = static_cast<uint64_t>(Pow10[19]);
        first = putDigits(static_cast<uint64_t>(magnitude % Pow19), end);
        while (end - first < 19) {
            *--first = '0';
        }
        first = putDigits(static_cast<uint64_t>(magnitude / Pow19), first);
    }
    while (end - first <= scale_) {
        *--first = '0';
    }
    char* const point = end - scale_;
    const char* last = end;
    while (last > point && last[-1] == '0') {
        --last;
    }

    char* out = buffer;
    if (negative_ && !isZero()) {
        *out++ = '-';
    }
    std::memcpy(out, first, static_cast<size_t>(point - first));
    out += point - first;
    if (last > point) {
        *out++ = '.';
        std::memcpy(out, point, static_cast<size_t>(last - point));
        out += last - point;
    }
    return static_cast<int>(out - buffer);
}

QString Decimal::toText(QChar point) const {
    char buffer[MaxTextSize];
    QString text = QString::fromLatin1(buffer, writeText(buffer));
    if (point != u'.') {
        const qsizetype at = text.indexOf(u'.');
        if (at >= 0) {
            text[at] = point;
        }
    }
    return text;
}

QString Decimal::toRegionalText() const {
    return toText(QLocale().decimalPoint().at(0));
}

double Decimal::toDouble() const {
    const u128 magnitude = (static_cast<u128>(hi_) << 64) | (static_cast<u128>(mid_) << 32) | lo_;
    const long double value = static_cast<long double>(magnitude) / static_cast<long double>(Pow10[scale_]);
    return static_cast<double>(negative_ ? -value : value);
}

bool operator==(const Decimal& a, const Decimal& b) {
    auto normalised = [](const Decimal& d) {
        u128 m = (static_cast<u128>(d.hi_) << 64) | (static_cast<u128>(d.mid_) << 32) | d.lo_;
        int scale = d.scale_;
        while (scale > 0 && m % 10 == 0) {
            m /= 10;
            --scale;
        }
        return std::pair<u128, int>(m, m == 0 ? 0 : scale);
    };
    const auto [ma, sa] = normalised(a);
    const auto [mb, sb] = normalised(b);
    if (ma != mb || sa != sb) {
        return false;
    }
    return ma == 0 || a.negative_ == b.negative_;
}

}  // namespace json
