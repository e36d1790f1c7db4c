#pragma once

#include <QByteArrayView>
#include <QChar>
#include <QString>
#include <QStringView>

#include <cstdint>

namespace json {

// An exact decimal number: sign, 96-bit unsigned magnitude and a power-of-ten scale from 0 to 28, so at most
// 28 digits after the point and a magnitude below 2^96.
class Decimal {
  public:
    enum class Status { Ok, NotANumber, Overflow };
    static constexpr int MaxScale = 28;

    Decimal() = default;
    static Decimal fromInteger(int64_t value);
    // magnitude / 10^scale with the sign given (a negative zero keeps its sign, as a parsed "-0" does); scale from
    // 0 to MaxScale.
    static Decimal fromScaled(uint64_t magnitude, int scale, bool negative) {
        Decimal d;
        d.lo_ = static_cast<uint32_t>(magnitude);
        d.mid_ = static_cast<uint32_t>(magnitude >> 32);
        d.scale_ = static_cast<uint8_t>(scale);
        d.negative_ = negative;
        return d;
    }

    // Reads a decimal number: optional sign, digits with at most one "." (".5" and "5." count), optional
    // exponent ("e"/"E", optional sign, digits). The point is always ".". Digits beyond what the kind holds are
    // rounded half to even; a value that needs a magnitude of 2^96 or more is an overflow.
    static Status parse(QStringView run, Decimal& out);
    // The same for a run of ASCII bytes.
    static Status parse(QByteArrayView run, Decimal& out);

    bool isNegative() const { return negative_; }
    bool isZero() const { return lo_ == 0 && mid_ == 0 && hi_ == 0; }
    int scale() const { return scale_; }
    uint32_t lo() const { return lo_; }
    uint32_t mid() const { return mid_; }
    uint32_t hi() const { return hi_; }

    // Plain decimal notation: "-" when negative (never for zero), the whole part, and for a fraction the given
    // point followed by the fraction digits without trailing zeros. No grouping, no exponent.
    QString toText(QChar point) const;
    // The longest text: a sign, 29 digits and the point.
    static constexpr int MaxTextSize = 31;
    // Writes toText('.') into `buffer`, which has room for MaxTextSize chars, and returns how many it wrote.
    int writeText(char* buffer) const;
    // As toText with the user's regional decimal separator.
    QString toRegionalText() const;
    double toDouble() const;

    // Equal in value (1.5 equals 1.50).
    friend bool operator==(const Decimal& a, const Decimal& b);

  private:
    template <typename Unit>
    static Status parseUnits(const Unit* s, qsizetype n, Decimal& out);

    uint32_t lo_ = 0;
    uint32_t mid_ = 0;
    uint32_t hi_ = 0;
    uint8_t scale_ = 0;
    bool negative_ = false;
};

}  // namespace json
