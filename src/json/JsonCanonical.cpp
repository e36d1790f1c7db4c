#include "JSON.h"

namespace json {
namespace {

bool isHigh(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLow(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void putCodePoint(QByteArray& out, char32_t cp) {
    if (cp < 0x80) {
        out.append(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.append(static_cast<char>(0xC0 | (cp >> 6)));
        out.append(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.append(static_cast<char>(0xE0 | (cp >> 12)));
        out.append(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.append(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.append(static_cast<char>(0xF0 | (cp >> 18)));
        out.append(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.append(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.append(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Walks the code units of a text; a surrogate pair is one character, an unpaired half is handed to `lone`.
template <typename Lone, typename Plain>
void walk(QStringView text, Lone lone, Plain plain) {
    const auto* s = reinterpret_cast<const char16_t*>(text.utf16());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = s[i];
        if (isHigh(c) && i + 1 < n && isLow(s[i + 1])) {
            plain(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00));
            ++i;
        } else if (isHigh(c) || isLow(c)) {
            lone(c);
        } else {
            plain(c);
        }
    }
}

void putEscape(QByteArray& out, char16_t unit) {
    static const char hex[] = "0123456789abcdef";
    out.append("\\u");
    out.append(hex[(unit >> 12) & 0xF]);
    out.append(hex[(unit >> 8) & 0xF]);
    out.append(hex[(unit >> 4) & 0xF]);
    out.append(hex[unit & 0xF]);
}

void putText(QByteArray& out, QStringView text) {
    out.append('"');
    walk(
        text, [&](char16_t unit) { putEscape(out, unit); },
        [&](char32_t cp) {
            if (cp == U'"') {
                out.append("\\\"");
            } else if (cp == U'\\') {
                out.append("\\\\");
            } else if (cp < 0x20) {
                putEscape(out, static_cast<char16_t>(cp));
            } else {
                putCodePoint(out, cp);
            }
        });
    out.append('"');
}

void put(QByteArray& out, const JsonValue& value) {
    switch (value.kind()) {
        case Kind::Empty:
            out.append("empty");
            break;
        case Kind::Null:
            out.append("null");
            break;
        case Kind::Boolean:
            out.append(value.boolean() ? "true" : "false");
            break;
        case Kind::Number:
            out.append(value.number().toText(QLatin1Char('.')).toLatin1());
            break;
        case Kind::Text:
            putText(out, value.text());
            break;
        case Kind::Dictionary: {
            out.append('{');
            bool first = true;
            for (const Dictionary::Member& m : value.dictionary()) {
                if (!first) {
                    out.append(',');
                }
                first = false;
                putText(out, m.key);
                out.append(':');
                put(out, m.value);
            }
            out.append('}');
            break;
        }
        case Kind::Collection: {
            out.append('[');
            bool first = true;
            for (const JsonValue& item : value.collection()) {
                if (!first) {
                    out.append(',');
                }
                first = false;
                put(out, item);
            }
            out.append(']');
            break;
        }
    }
}

}  // namespace

QByteArray toCanonicalUtf8(const JsonValue& value) {
    QByteArray out;
    put(out, value);
    return out;
}

QByteArray toUtf8Lossy(QStringView text) {
    QByteArray out;
    out.reserve(text.size());
    walk(
        text, [&](char16_t) { putCodePoint(out, 0xFFFD); }, [&](char32_t cp) { putCodePoint(out, cp); });
    return out;
}

}  // namespace json
