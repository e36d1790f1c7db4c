#include "Amounts.h"

#include "VbError.h"

#include <QStringList>

#include <algorithm>

#include <charconv>
#include <cmath>
#include <string>
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

DosDecimales redondeoDosDecimales(double amount) {
    DosDecimales out;
    if (!std::isfinite(amount)) {
        out.finite = false;
        return out;
    }
    out.negative = std::signbit(amount);
    // The shortest digits that read back as the same double, and where the point goes: the decimal text the
    // amount was written as. Fixed notation would give a large amount's exact binary value instead (1e64 as
    // 10000000000000000213204190094543968723012578712679649467743338496).
    char buffer[32];
    const auto res = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(amount), std::chars_format::scientific);
    if (res.ec != std::errc())
        vb::raise(vb::Overflow);
    const std::string_view sci(buffer, std::size_t(res.ptr - buffer));
    const std::size_t e = sci.find('e');
    std::string significant;
    for (char c : sci.substr(0, e))
        if (c != '.')
            significant += c;
    std::string_view exponent = sci.substr(e + 1);
    const bool negativeExponent = exponent.front() == '-';
    exponent.remove_prefix(1);
    int exp10 = 0;
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), exp10);
    // Digits before the point: at most 309, the largest double's.
    const long before = (negativeExponent ? -exp10 : exp10) + 1L;
    std::string whole, frac;
    if (before <= 0) {
        whole = "0";
        frac = std::string(std::size_t(-before), '0') + significant;
    } else if (std::size_t(before) >= significant.size()) {
        whole = significant + std::string(std::size_t(before) - significant.size(), '0');
    } else {
        whole = significant.substr(0, std::size_t(before));
        frac = significant.substr(std::size_t(before));
    }
    const bool roundUp = frac.size() > 2 && frac[2] >= '5';
    frac.resize(2, '0');
    std::string digits = whole + frac;
    if (roundUp) {
        int i = int(digits.size()) - 1;
        while (i >= 0 && digits[std::size_t(i)] == '9')
            digits[std::size_t(i--)] = '0';
        if (i < 0)
            digits.insert(digits.begin(), '1');
        else
            ++digits[std::size_t(i)];
    }
    whole = digits.substr(0, digits.size() - 2);
    frac = digits.substr(digits.size() - 2);
    const auto nonZero = whole.find_first_not_of('0');
    whole = nonZero == std::string::npos ? std::string("0") : whole.substr(nonZero);
    out.entero = QString::fromLatin1(whole.data(), qsizetype(whole.size()));
    out.decimales = QString::fromLatin1(frac.data(), qsizetype(frac.size()));
    if (out.entero == QLatin1String("0") && out.decimales == QLatin1String("00"))
        out.negative = false;
    return out;
}

SignosNumericos::SignosNumericos(const QLocale& locale)
    : negativo(locale.negativeSign()), miles(locale.groupSeparator()), decimal(locale.decimalPoint()) {}

QString formatoPrecio(double amount, const QLocale& locale) {
    const DosDecimales d = redondeoDosDecimales(amount);
    if (!d.finite)
        return locale.toString(amount);
    return formatoPrecio(d, SignosNumericos(locale));
}

QString formatoPrecio(double amount, const QLocale& locale, const SignosNumericos& signos) {
    const DosDecimales d = redondeoDosDecimales(amount);
    if (!d.finite)
        return locale.toString(amount);
    return formatoPrecio(d, signos);
}

QString formatoPrecio(const DosDecimales& d, const SignosNumericos& signos) {
    const qsizetype n = d.entero.size();
    QString out(qsizetype(d.negative ? signos.negativo.size() : 0) + n + (n - 1) / 3 * signos.miles.size() +
                    signos.decimal.size() + d.decimales.size(),
                Qt::Uninitialized);
    QChar* o = out.data();
    const auto put = [&o](const QString& text) {
        std::copy(text.cbegin(), text.cend(), o);
        o += text.size();
    };
    if (d.negative)
        put(signos.negativo);
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            put(signos.miles);
        *o++ = d.entero[i];
    }
    put(signos.decimal);
    put(d.decimales);
    return out;
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
