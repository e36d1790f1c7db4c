#pragma once

#include <QLocale>
#include <QString>

// An amount brought to two decimals as the operator reads it: the shortest decimal text that reads back as the
// same double is rounded, halves away from zero, so 1.005 gives 1.01 although the double lies just below it.
struct DosDecimales {
    bool negative = false;
    QString entero;     // integer digits, no grouping, no leading zeros ("0" below one)
    QString decimales;  // exactly two digits
    bool finite = true;
};

DosDecimales redondeoDosDecimales(double amount);

// The display format "#,##0.00" under `locale`'s group and decimal signs; the digits are always grouped.
QString formatoPrecio(double amount, const QLocale& locale = QLocale());

// A locale's signs, asked once: asking the system's locale for them costs more than the rest of a price's format.
struct SignosNumericos {
    explicit SignosNumericos(const QLocale& locale);
    QString negativo, miles, decimal;
};
// The same format with `locale`'s signs asked beforehand.
QString formatoPrecio(double amount, const QLocale& locale, const SignosNumericos& signos);

// A number as the operator types it, or as the grid displays it, under `locale`'s signs; infinity and NaN are not.
bool leoNumero(const QString& text, const QLocale& locale, double* valor);

// A whole amount loses a trailing ".00"; any other text comes back unchanged.
QString LimpioCerosDecimales(const QString& Valor);

// The amount as statements and requests carry it: no sign, "." as decimal point, no grouping, two decimals rounded
// as the operator sees them, and no ".00" on a whole amount.
QString Cifras(double Monto);
