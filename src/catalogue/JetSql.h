#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

struct sqlite3;

// The meaning the statements have on the shop's Jet database, for engines that read them otherwise.
namespace jet {

// Jet's LIKE: `*` any run of characters, `?` any one character, `#` one digit, `[abc]`, `[a-z]` and `[!abc]`
// one character of (or not of) a set; letters compare without regard to case, accented capitals included.
bool like(QStringView value, QStringView pattern);

// Text order: letter case ignored and accented letters with their base letter; ties are then broken by accent,
// then by case, so the order is total.
int compare(QStringView a, QStringView b);
// The same order for two texts in UTF-8.
int compareUtf8(QByteArrayView a, QByteArrayView b);

// The statement for SQLite: the terms of its Order By compare with the JET collation.
QString paraSqlite(const QString& statement);

// The statement for Jet through ODBC, which reads LIKE patterns with ANSI wildcards (`%`, `_`).
QString comodinesAnsi(const QString& statement);

// Makes LIKE on `db` follow like() above and adds the collation "JET" that follows compare().
bool registro(sqlite3* db, QString* error);

}  // namespace jet
