#include "JetSql.h"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <vector>

namespace jet {
namespace {

char16_t foldCase(char16_t c) {
    return QChar(c).toCaseFolded().unicode();
}

// The base letter of a character, case folded (Á, á and a all give a), and the character case folded, kept for
// the characters of the Latin blocks: the collation asks for both for every character in which two texts differ.
struct Weights {
    static constexpr char16_t Kept = 0x250;
    std::array<char16_t, Kept> base{}, folded{};
    Weights() {
        for (char16_t c = 0; c < Kept; ++c) {
            QChar ch(c);
            char16_t b = c;
            if (ch.decompositionTag() == QChar::Canonical) {
                const QString d = ch.decomposition();
                if (!d.isEmpty())
                    b = d.front().unicode();
            }
            base[c] = foldCase(b);
            folded[c] = foldCase(c);
        }
    }
};

const Weights& weights() {
    static const Weights w;
    return w;
}

char16_t baseLetter(char16_t c) {
    if (c < Weights::Kept)
        return weights().base[c];
    QChar ch(c);
    if (ch.decompositionTag() == QChar::Canonical) {
        const QString d = ch.decomposition();
        if (!d.isEmpty())
            return foldCase(d.front().unicode());
    }
    return foldCase(c);
}

char16_t foldedLetter(char16_t c) {
    return c < Weights::Kept ? weights().folded[c] : foldCase(c);
}

// Matches one pattern element at `p` against `c`; sets `next` past the element.
bool matchOne(QStringView pattern, qsizetype p, char16_t c, qsizetype& next) {
    const char16_t pc = pattern[p].unicode();
    if (pc == u'?') {
        next = p + 1;
        return true;
    }
    if (pc == u'#') {
        next = p + 1;
        return c >= u'0' && c <= u'9';
    }
    if (pc == u'[') {
        const qsizetype close = pattern.indexOf(u']', p + 1);
        if (close > p + 1) {
            qsizetype i = p + 1;
            bool negate = false;
            if (pattern[i] == u'!' && close > i + 1) {
                negate = true;
                ++i;
            }
            const char16_t fc = foldCase(c);
            bool in = false;
            for (; i < close; ++i) {
                const char16_t lo = foldCase(pattern[i].unicode());
                if (i + 2 < close && pattern[i + 1] == u'-') {
                    const char16_t hi = foldCase(pattern[i + 2].unicode());
                    if (fc >= lo && fc <= hi)
                        in = true;
                    i += 2;
                } else if (fc == lo) {
                    in = true;
                }
            }
            next = close + 1;
            return in != negate;
        }
    }
    next = p + 1;
    return foldCase(pc) == foldCase(c);
}

void likeFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (argc != 2) {
        sqlite3_result_error(ctx, "LIKE ... ESCAPE is not supported", -1);
        return;
    }
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const auto* pat = static_cast<const char16_t*>(sqlite3_value_text16(argv[0]));
    const int patBytes = sqlite3_value_bytes16(argv[0]);
    const auto* val = static_cast<const char16_t*>(sqlite3_value_text16(argv[1]));
    const int valBytes = sqlite3_value_bytes16(argv[1]);
    if (!pat || !val) {
        sqlite3_result_error_nomem(ctx);
        return;
    }
    sqlite3_result_int(ctx, like(QStringView(val, valBytes / 2), QStringView(pat, patBytes / 2)) ? 1 : 0);
}

// The UTF-16 code units of a text, one at a time.
struct Utf16Units {
    const char16_t* p;
    const char16_t* end;
    bool done() const { return p == end; }
    char16_t next() { return *p++; }
};

// The UTF-16 code units of a UTF-8 text as SQLite keeps it, decoded one at a time; a character beyond the basic
// plane gives its two surrogates, and a byte that starts no character gives U+FFFD.
struct Utf8Units {
    const unsigned char* p;
    const unsigned char* end;
    char16_t low = 0;

    bool done() const { return low == 0 && p == end; }
    char16_t next() {
        if (low != 0) {
            const char16_t l = low;
            low = 0;
            return l;
        }
        const unsigned char c = *p++;
        if (c < 0x80)
            return c;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
        if (more < 0 || c >= 0xF8)
            return 0xFFFD;
        char32_t u = c & (0x3F >> more);
        for (; more > 0; --more) {
            if (p == end || (*p & 0xC0) != 0x80)
                return 0xFFFD;
            u = (u << 6) | (*p++ & 0x3F);
        }
        if (u < 0x10000)
            return char16_t(u);
        if (u > 0x10FFFF)
            return 0xFFFD;
        low = char16_t(0xDC00 + ((u - 0x10000) & 0x3FF));
        return char16_t(0xD800 + ((u - 0x10000) >> 10));
    }
};

// The order of compare(), over any two sources of code units.
template <typename A, typename B>
int compareUnits(A a, B b) {
    int secondary = 0, tertiary = 0;
    while (!a.done() && !b.done()) {
        const char16_t ca = a.next(), cb = b.next();
        if (ca == cb)
            continue;
        const char16_t pa = baseLetter(ca), pb = baseLetter(cb);
        if (pa != pb)
            return pa < pb ? -1 : 1;
        const char16_t fa = foldedLetter(ca), fb = foldedLetter(cb);
        if (secondary == 0 && fa != fb)
            secondary = (fa == pa) ? -1 : (fb == pb) ? 1 : (fa < fb ? -1 : 1);
        if (tertiary == 0)
            tertiary = ca > cb ? -1 : 1;  // lower case before capitals
    }
    if (!a.done() || !b.done())
        return a.done() ? -1 : 1;  // the shorter text first
    return secondary != 0 ? secondary : tertiary;
}

int collation(void*, int na, const void* a, int nb, const void* b) {
    return compare(QStringView(static_cast<const char16_t*>(a), na / 2),
                   QStringView(static_cast<const char16_t*>(b), nb / 2));
}

// SQLite keeps the catalogue's texts in UTF-8: comparing them as they are spares a conversion to UTF-16 (and its
// allocation) in every comparison of a sort.
int collationUtf8(void*, int na, const void* a, int nb, const void* b) {
    return compareUtf8(QByteArrayView(static_cast<const char*>(a), na),
                       QByteArrayView(static_cast<const char*>(b), nb));
}

// Positions of the statement outside quoted texts, quoted names and bracketed names.
template <typename F>
void scanTopLevel(const QString& s, F&& visit) {
    QChar quote;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            continue;
        }
        if (c == u'\'' || c == u'"') {
            quote = c;
            continue;
        }
        if (c == u'[') {
            quote = u']';
            continue;
        }
        visit(i);
    }
}

bool wordAt(const QString& s, qsizetype i, QLatin1String word) {
    if (i > 0 && (s[i - 1].isLetterOrNumber() || s[i - 1] == u'_'))
        return false;
    if (QStringView(s).mid(i, word.size()).compare(word, Qt::CaseInsensitive) != 0)
        return false;
    const qsizetype end = i + word.size();
    return end >= s.size() || !(s[end].isLetterOrNumber() || s[end] == u'_');
}

}  // namespace

bool like(QStringView value, QStringView pattern) {
    qsizetype i = 0, p = 0, starP = -1, starI = 0;
    const qsizetype n = value.size(), m = pattern.size();
    while (i < n) {
        if (p < m && pattern[p] == u'*') {
            while (p < m && pattern[p] == u'*')
                ++p;
            starP = p;
            starI = i;
            continue;
        }
        qsizetype next = 0;
        if (p < m && matchOne(pattern, p, value[i].unicode(), next)) {
            p = next;
            ++i;
            continue;
        }
        if (starP < 0)
            return false;
        p = starP;
        i = ++starI;
    }
    while (p < m && pattern[p] == u'*')
        ++p;
    return p == m;
}

int compare(QStringView a, QStringView b) {
    return compareUnits(Utf16Units{a.utf16(), a.utf16() + a.size()}, Utf16Units{b.utf16(), b.utf16() + b.size()});
}

int compareUtf8(QByteArrayView a, QByteArrayView b) {
    // Equal leading bytes are equal characters and weigh nothing; start at the character they end in.
    const qsizetype n = std::min(a.size(), b.size());
    qsizetype same = 0;
    // Eight bytes at a time while they are equal: names in a sort share long beginnings.
    for (quint64 wa = 0, wb = 0; same + 8 <= n; same += 8) {
        std::memcpy(&wa, a.data() + same, 8);
        std::memcpy(&wb, b.data() + same, 8);
        if (wa != wb)
            break;
    }
    while (same < n && a[same] == b[same])
        ++same;
    if (same == a.size() && same == b.size())
        return 0;
    const QByteArrayView longer = a.size() > same ? a : b;
    while (same > 0 && (static_cast<unsigned char>(longer[same]) & 0xC0) == 0x80)
        --same;
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    return compareUnits(Utf8Units{pa + same, pa + a.size()}, Utf8Units{pb + same, pb + b.size()});
}

QString paraSqlite(const QString& statement) {
    qsizetype orderAt = -1;
    scanTopLevel(statement, [&](qsizetype i) {
        if (wordAt(statement, i, QLatin1String("order"))) {
            qsizetype j = i + 5;
            while (j < statement.size() && statement[j].isSpace())
                ++j;
            if (j > i + 5 && wordAt(statement, j, QLatin1String("by")))
                orderAt = j + 2;
        }
    });
    if (orderAt < 0)
        return statement;
    qsizetype end = statement.size();
    std::vector<qsizetype> commas;
    int depth = 0;
    scanTopLevel(statement, [&](qsizetype i) {
        if (i < orderAt || i >= end)
            return;
        const QChar c = statement[i];
        if (c == u'(')
            ++depth;
        else if (c == u')')
            --depth;
        else if (c == u',' && depth == 0)
            commas.push_back(i);
        else if (c == u';' && depth == 0)
            end = i;
    });
    QString out = statement.left(orderAt);
    qsizetype from = orderAt;
    commas.push_back(end);
    for (std::size_t k = 0; k < commas.size(); ++k) {
        const qsizetype to = commas[k];
        QString term = statement.mid(from, to - from);
        const QString trimmed = term.trimmed();
        if (!trimmed.contains(QLatin1String("collate"), Qt::CaseInsensitive) && !trimmed.isEmpty()) {
            qsizetype cut = term.size();
            while (cut > 0 && term[cut - 1].isSpace())
                --cut;
            const QString body = term.left(cut);
            qsizetype dir = -1;
            for (QLatin1String d : {QLatin1String(" asc"), QLatin1String(" desc")})
                if (body.endsWith(d, Qt::CaseInsensitive))
                    dir = body.size() - d.size();
            if (dir < 0)
                term = body + QLatin1String(" COLLATE JET") + term.mid(cut);
            else
                term = body.left(dir) + QLatin1String(" COLLATE JET") + body.mid(dir) + term.mid(cut);
        }
        out += term;
        if (k + 1 < commas.size())
            out += u',';
        from = to + 1;
    }
    out += statement.mid(end);
    return out;
}

QString comodinesAnsi(const QString& statement) {
    QString out;
    out.reserve(statement.size() + 16);
    qsizetype i = 0;
    bool afterLike = false;
    while (i < statement.size()) {
        const QChar c = statement[i];
        if (c == u'\'') {
            // Copy the literal, translating its wildcards if it follows LIKE.
            out += c;
            ++i;
            bool inSet = false;
            while (i < statement.size()) {
                const QChar d = statement[i];
                if (d == u'\'') {
                    if (i + 1 < statement.size() && statement[i + 1] == u'\'') {
                        out += QLatin1String("''");
                        i += 2;
                        continue;
                    }
                    break;
                }
                if (afterLike && !inSet) {
                    if (d == u'*')
                        out += u'%';
                    else if (d == u'?')
                        out += u'_';
                    else if (d == u'#')
                        out += QLatin1String("[0-9]");
                    else if (d == u'%')
                        out += QLatin1String("[%]");
                    else if (d == u'_')
                        out += QLatin1String("[_]");
                    else
                        out += d;
                    if (d == u'[')
                        inSet = true;
                } else {
                    out += d;
                    if (d == u']')
                        inSet = false;
                }
                ++i;
            }
            if (i < statement.size())
                out += statement[i++];
            afterLike = false;
            continue;
        }
        if (c == u'[') {
            const qsizetype close = statement.indexOf(u']', i);
            const qsizetype stop = close < 0 ? statement.size() : close + 1;
            out += QStringView(statement).mid(i, stop - i);
            i = stop;
            afterLike = false;
            continue;
        }
        if (wordAt(statement, i, QLatin1String("like"))) {
            out += QStringView(statement).mid(i, 4);
            i += 4;
            afterLike = true;
            continue;
        }
        if (!c.isSpace())
            afterLike = false;
        out += c;
        ++i;
    }
    return out;
}

bool registro(sqlite3* db, QString* error) {
    int rc = sqlite3_create_function_v2(db, "like", 2, SQLITE_UTF16 | SQLITE_DETERMINISTIC, nullptr, likeFunction,
                                        nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function_v2(db, "like", 3, SQLITE_UTF16 | SQLITE_DETERMINISTIC, nullptr, likeFunction,
                                        nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_collation_v2(db, "JET", SQLITE_UTF16, nullptr, collation, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_collation_v2(db, "JET", SQLITE_UTF8, nullptr, collationUtf8, nullptr);
    if (rc != SQLITE_OK && error)
        *error = QString::fromUtf8(sqlite3_errmsg(db));
    return rc == SQLITE_OK;
}

}  // namespace jet
