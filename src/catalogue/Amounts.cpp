#include "Amounts.h"

#include <charconv>
#include <cmath>
#include <string>

DosDecimales redondeoDosDecimales(double amount) {
    DosDecimales out;
    if (!std::isfinite(amount)) {
        out.finite = false;
        return out;
    }
    out.negative = std::signbit(amount);
    char buffer[64];
    // Shortest round-trip form in fixed notation: the decimal text the amount was written as.
    const auto res = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(amount), std::chars_format::fixed);
    std::string text(buffer, res.ptr);
    const auto point = text.find('.');
    std::string whole = point == std::string::npos ? text : text.substr(0, point);
    std::string frac = point == std::string::npos ? std::string() : text.substr(point + 1);
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

QString formatoPrecio(double amount, const QLocale& locale) {
    const DosDecimales d = redondeoDosDecimales(amount);
    if (!d.finite)
        return locale.toString(amount);
    QString out;
    if (d.negative)
        out += locale.negativeSign();
    const qsizetype n = d.entero.size();
    const QString group = locale.groupSeparator();
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            out += group;
        out += d.entero[i];
    }
    out += locale.decimalPoint();
    out += d.decimales;
    return out;
}
