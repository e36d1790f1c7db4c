#pragma once

#include "JsonValue.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

namespace json {

// Containers opened deeper than this stop the parse with "Nesting too deep at position N".
constexpr int MaxNesting = 1000;

struct ParseOutcome {
    std::optional<JsonValue> value;  // a Dictionary or a Collection; nothing when the text starts with neither
    QString errors;                  // one line per fault, each ending in CR LF ("Invalid JSON" has no line end)
};

// The reentrant reader behind ParseJson: never raises, returns as much of the tree as it has built.
ParseOutcome parseJsonText(QStringView text);
// The same reader over UTF-8 bytes, read as they are (no text made of the whole input first). The result is the
// one parseJsonText gives for QString::fromUtf8 of the bytes.
ParseOutcome parseJsonUtf8(QByteArrayView utf8);

}  // namespace json

// Parses a JSON text leniently (apostrophe strings and keys, bare keys, comments, parentheses as blanks, a leading
// "+" on numbers, text after the top-level value). Never raises; what went wrong is read with ParserErrors().
std::optional<json::JsonValue> ParseJson(QStringView text);
// ParseJson of UTF-8 bytes, without converting the whole input to a text first.
std::optional<json::JsonValue> ParseJsonUtf8(QByteArrayView utf8);
// The error text of the most recent ParseJson call; empty when that parse met no fault.
QString ParserErrors();

namespace json {

// The tree in one line: {"key":value,...}, [v,...], texts in double quotes (\" \\ and \u00xx for controls and
// unpaired surrogates), numbers in plain decimal with ".", true, false, null, and "empty" for the empty kind.
QByteArray toCanonicalUtf8(const JsonValue& value);
// The same text handed to `sink` in pieces of about 64 KB as it is written, so that a long one is never held whole.
void writeCanonicalUtf8(const JsonValue& value, const std::function<void(QByteArrayView)>& sink);
// UTF-8 of a text in which an unpaired surrogate becomes U+FFFD.
QByteArray toUtf8Lossy(QStringView text);

}  // namespace json
