#include "Amounts.h"

#include "VbError.h"

#include <QStringList>

#include <algorithm>

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace {

// The integer part of `text` without its group signs, when they stand every three digits as the grid puts them;
// an empty text when there are none or they stand elsewhere.
QString sinSeparadoresDeMiles(const QString& text, const QLocale& locale) {
    const QString group = locale.groupSeparator();
    const QString point = locale.decimalPoint();
    if (group.isEmpty() || group == point)
        return {};
    qsizetype end = text.indexOf(point);
    if (end < 0)
        end = text.size();
    QString whole = text.left(end);
    QString sign;
    for (const QString& s : {locale.negativeSign(), locale.positiveSign()}) {
        if (!s.isEmpty() && whole.startsWith(s)) {
            sign = s;
            whole.remove(0, s.size());
            break;
        }
    }
    const QStringList groups = whole.split(group);
    if (groups.size() < 2)
        return {};
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const QString& g = groups[i];
        if (i == 0 ? (g.isEmpty() || g.size() > 3) : g.size() != 3)
            return {};
        for (QChar c : g)
            if (c < u'0' || c > u'9')
                return {};
    }
    return sign + groups.join(QString()) + text.mid(end);
}

}  // namespace

namespace {

// An amount's digits brought to two decimals, without a string of their own: the integer digits (no leading zeros,
// "0" below one) followed by the two decimals, in `digits` from `from`.
struct Redondeo {
    bool finite = true;
    bool negative = false;
    int from = 0, wholeDigits = 0;
    // The largest double has 309 integer digits; one more for a carry, two decimals.
    char digits[1 + 309 + 1 + 2];

    explicit Redondeo(double amount);
    std::string_view whole() const { return {digits + from, std::size_t(wholeDigits)}; }
    std::string_view decimals() const { return {digits + from + wholeDigits, 2}; }
};

Redondeo::Redondeo(double amount) {
    if (!std::isfinite(amount)) {
        finite = false;
        return;
    }
    negative = std::signbit(amount);
    // The shortest digits that read back as the same double, and where the point goes: the decimal text the
    // amount was written as. Fixed notation would give a large amount's exact binary value instead (1e64 as
    // 10000000000000000213204190094543968723012578712679649467743338496).
    char buffer[32];
    const auto res = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(amount), std::chars_format::scientific);
    if (res.ec != std::errc())
        vb::raise(vb::Overflow);
    char significant[24];
    long n = 0;
    const char* p = buffer;
    for (; p != res.ptr && *p != 'e'; ++p)
        if (*p != '.')
            significant[n++] = *p;
    const bool negativeExponent = p + 1 < res.ptr && p[1] == '-';
    int exp10 = 0;
    if (p + 2 < res.ptr)
        std::from_chars(p + 2, res.ptr, exp10);
    // Digits before the point: at most 309, the largest double's. The digit at position i of the significant
    // digits, counted from the first of them, with zeros on either side.
    const long before = (negativeExponent ? -exp10 : exp10) + 1L;
    const auto digitAt = [&](long i) { return i >= 0 && i < n ? significant[i] : '0'; };
    char* d = digits + 1;  // room for a carry
    long w = 0;
    if (before <= 0)
        d[w++] = '0';
    else
        for (; w < before; ++w)
            d[w] = digitAt(w);
    d[w] = digitAt(before);
    d[w + 1] = digitAt(before + 1);
    // Halves away from zero: the third decimal, where the amount has one.
    if (n - before > 2 && digitAt(before + 2) >= '5') {
        long i = w + 1;
        while (i >= 0 && d[i] == '9')
            d[i--] = '0';
        if (i < 0) {
            *--d = '1';
            ++w;
        } else {
            ++d[i];
        }
    }
    long z = 0;
    while (z < w - 1 && d[z] == '0')
        ++z;
    from = int(d + z - digits);
    wholeDigits = int(w - z);
    if (wholeDigits == 1 && d[z] == '0' && d[w] == '0' && d[w + 1] == '0')
        negative = false;
}

QString formato(const Redondeo& r, const SignosNumericos& signos) {
    const std::string_view whole = r.whole(), decimals = r.decimals();
    const auto n = qsizetype(whole.size());
    QString out(qsizetype(r.negative ? signos.negativo.size() : 0) + n + (n - 1) / 3 * signos.miles.size() +
                    signos.decimal.size() + qsizetype(decimals.size()),
                Qt::Uninitialized);
    QChar* o = out.data();
    const auto put = [&o](const QString& text) {
        std::copy(text.cbegin(), text.cend(), o);
        o += text.size();
    };
    if (r.negative)
        put(signos.negativo);
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            put(signos.miles);
        *o++ = QLatin1Char(whole[std::size_t(i)]);
    }
    put(signos.decimal);
    for (char c : decimals)
        *o++ = QLatin1Char(c);
    return out;
}

}  // namespace

DosDecimales redondeoDosDecimales(double amount) {
    const Redondeo r(amount);
    DosDecimales out;
    out.finite = r.finite;
    if (!r.finite)
        return out;
    out.negative = r.negative;
    out.entero = QString::fromLatin1(r.whole().data(), qsizetype(r.whole().size()));
    out.decimales = QString::fromLatin1(r.decimals().data(), qsizetype(r.decimals().size()));
    return out;
}

SignosNumericos::SignosNumericos(const QLocale& locale)
    : negativo(locale.negativeSign()), miles(locale.groupSeparator()), decimal(locale.decimalPoint()) {}

QString formatoPrecio(double amount, const QLocale& locale) {
    const Redondeo r(amount);
    if (!r.finite)
        return locale.toString(amount);
    return formato(r, SignosNumericos(locale));
}

QString formatoPrecio(double amount, const QLocale& locale, const SignosNumericos& signos) {
    const Redondeo r(amount);
    if (!r.finite)
        return locale.toString(amount);
    return formato(r, signos);
}

// A number typed under the user's settings. What the grid shows reads too, although it groups every three digits
// where the settings' own rule may not (Spanish leaves four-digit numbers ungrouped).
// "inf" and "nan" read as numbers too, but are no amount.
bool leoNumero(const QString& text, const QLocale& locale, double* valor) {
    bool ok = false;
    *valor = locale.toDouble(text, &ok);
    if (ok)
        return std::isfinite(*valor);
    const QString plain = sinSeparadoresDeMiles(text, locale);
    if (plain.isEmpty())
        return false;
    *valor = locale.toDouble(plain, &ok);
    return ok && std::isfinite(*valor);
}

QString LimpioCerosDecimales(const QString& Valor) {
    if (Valor.endsWith(QLatin1String(".00")))
        return Valor.left(Valor.size() - 3);
    return Valor;
}

QString Cifras(double Monto) {
    const DosDecimales d = redondeoDosDecimales(std::fabs(Monto));
    if (!d.finite)
        vb::raise(vb::Overflow);
    return LimpioCerosDecimales(d.entero + u'.' + d.decimales);
}
