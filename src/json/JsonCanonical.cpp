#include "JSON.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace json {
namespace {

bool isHigh(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLow(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The bytes being written go through a buffer: a piece asks for room for its longest form, is written through a
// plain pointer and moves the end of the written part past itself. When the buffer is full, what it holds goes
// to the sink and the buffer is used again from its start.
class Output {
  public:
    using Sink = std::function<void(QByteArrayView)>;
    // The most room a piece asks for; the buffer holds at least that.
    static constexpr qsizetype MaxPiece = 4096;

    Output(qsizetype capacity, Sink sink) : sink_(std::move(sink)) {
        bytes_.resize(std::max(capacity, MaxPiece));
        at_ = bytes_.data();
        end_ = at_ + bytes_.size();
    }

    // Where the next bytes go, with room for `size` (at most MaxPiece) of them; done() takes the end of what was
    // written.
    char* room(qsizetype size) {
        Q_ASSERT(size <= MaxPiece);
        if (end_ - at_ < size) {
            flush();
        }
        return at_;
    }
    void done(char* writtenUpTo) { at_ = writtenUpTo; }

    void put(char c) {
        *room(1) = c;
        ++at_;
    }
    template <size_t N>
    void put(const char (&literal)[N]) {
        std::memcpy(room(N - 1), literal, N - 1);
        at_ += N - 1;
    }

    // Hands what the buffer holds to the sink.
    void flush() {
        if (at_ != bytes_.constData()) {
            sink_(QByteArrayView(bytes_.constData(), at_ - bytes_.constData()));
            at_ = bytes_.data();
        }
    }

  private:
    Sink sink_;
    QByteArray bytes_;
    char* at_;
    char* end_;
};

// Writes a code point in UTF-8 (at most 4 bytes) and returns the end of what it wrote.
char* putCodePoint(char* out, char32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Writes \uxxxx (6 bytes) and returns the end of what it wrote.
char* putEscape(char* out, char16_t unit) {
    static const char hex[] = "0123456789abcdef";
    *out++ = '\\';
    *out++ = 'u';
    *out++ = hex[(unit >> 12) & 0xF];
    *out++ = hex[(unit >> 8) & 0xF];
    *out++ = hex[(unit >> 4) & 0xF];
    *out++ = hex[unit & 0xF];
    return out;
}

// A character written as the one byte of its code unit: printable ASCII other than the quote and the backslash.
bool isPlain(char16_t c) {
    return c >= 0x20 && c < 0x80 && c != u'"' && c != u'\\';
}

void putText(Output& output, QStringView text) {
    const auto* s = reinterpret_cast<const char16_t*>(text.utf16());
    const char16_t* const end = s + text.size();
    output.put('"');
    while (s != end) {
        // A run of plain characters, one byte each, up to 4,096 at a time.
        const char16_t* const stop = s + std::min<qsizetype>(end - s, Output::MaxPiece);
        char* out = output.room(stop - s);
        while (s != stop && isPlain(*s)) {
            *out++ = static_cast<char>(*s++);
        }
        output.done(out);
        if (s == stop) {
            continue;
        }
        // Then one character that is not plain; a surrogate pair is one character, an unpaired half is escaped.
        out = output.room(6);
        const char16_t c = *s++;
        if (c == u'"' || c == u'\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(c);
        } else if (c < 0x20) {
            out = putEscape(out, c);
        } else if (isHigh(c) && s != end && isLow(*s)) {
            out = putCodePoint(out, QChar::surrogateToUcs4(c, *s++));
        } else if (isHigh(c) || isLow(c)) {
            out = putEscape(out, c);
        } else {
            out = putCodePoint(out, c);
        }
        output.done(out);
    }
    output.put('"');
}

void put(Output& output, const JsonValue& value) {
    switch (value.kind()) {
        case Kind::Empty:
            output.put("empty");
            break;
        case Kind::Null:
            output.put("null");
            break;
        case Kind::Boolean:
            if (value.boolean()) {
                output.put("true");
            } else {
                output.put("false");
            }
            break;
        case Kind::Number: {
            char* out = output.room(Decimal::MaxTextSize);
            output.done(out + value.number().writeText(out));
            break;
        }
        case Kind::Text:
            putText(output, value.text());
            break;
        case Kind::Dictionary: {
            output.put('{');
            bool first = true;
            for (const Dictionary::Member& m : value.dictionary()) {
                if (!first) {
                    output.put(',');
                }
                first = false;
                putText(output, m.key);
                output.put(':');
                put(output, m.value);
            }
            output.put('}');
            break;
        }
        case Kind::Collection: {
            output.put('[');
            bool first = true;
            for (const JsonValue& item : value.collection()) {
                if (!first) {
                    output.put(',');
                }
                first = false;
                put(output, item);
            }
            output.put(']');
            break;
        }
    }
}

}  // namespace

void writeCanonicalUtf8(const JsonValue& value, const std::function<void(QByteArrayView)>& sink) {
    Output output(64 * 1024, sink);
    put(output, value);
    output.flush();
}

QByteArray toCanonicalUtf8(const JsonValue& value) {
    QByteArray out;
    writeCanonicalUtf8(value, [&out](QByteArrayView piece) { out.append(piece); });
    return out;
}

QByteArray toUtf8Lossy(QStringView text) {
    QByteArray out;
    out.reserve(text.size());
    Output output(Output::MaxPiece, [&out](QByteArrayView piece) { out.append(piece); });
    const auto* s = reinterpret_cast<const char16_t*>(text.utf16());
    const char16_t* const end = s + text.size();
    while (s != end) {
        char* written = output.room(4);
        const char16_t c = *s++;
        if (isHigh(c) && s != end && isLow(*s)) {
            written = putCodePoint(written, QChar::surrogateToUcs4(c, *s++));
        } else {
            written = putCodePoint(written, isHigh(c) || isLow(c) ? char32_t(0xFFFD) : char32_t(c));
        }
        output.done(written);
    }
    output.flush();
    return out;
}

}  // namespace json
