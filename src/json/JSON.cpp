// The reader's entry points: the reentrant ones over a text and over UTF-8 bytes (the bytes handed over to the
// text reader when they must be), and ParseJson with the error text it leaves for ParserErrors. The reader itself
// is in Parser.h and its parts.

#include "JSON.h"

#include "Parser.h"
#include "ParserBlanks.h"
#include "ParserNumbers.h"
#include "ParserStrings.h"
#include "ParserValues.h"

namespace json {

ParseOutcome parseJsonText(QStringView text) {
    return Parser<char16_t>(reinterpret_cast<const char16_t*>(text.utf16()), text.size()).run();
}

ParseOutcome parseJsonUtf8(QByteArrayView utf8) {
    try {
        return Parser<unsigned char>(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size()).run();
    } catch (const HandOver&) {
        return parseJsonText(QString::fromUtf8(utf8));
    }
}

}  // namespace json

namespace {
QString& errorText() {
    static QString text;
    return text;
}
}  // namespace

std::optional<json::JsonValue> ParseJson(QStringView text) {
    json::ParseOutcome outcome = json::parseJsonText(text);
    errorText() = std::move(outcome.errors);
    return std::move(outcome.value);
}

std::optional<json::JsonValue> ParseJsonUtf8(QByteArrayView utf8) {
    json::ParseOutcome outcome = json::parseJsonUtf8(utf8);
    errorText() = std::move(outcome.errors);
    return std::move(outcome.value);
}

QString ParserErrors() {
    return errorText();
}
