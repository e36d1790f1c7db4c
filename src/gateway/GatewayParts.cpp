// The answers and pages every endpoint builds, and the reading of the marketplace's JSON.

#include "GatewayParts.h"

#include <QCryptographicHash>

#include <algorithm>

namespace gateway {

Response plain(const QByteArray& text) {
    Response r;
    r.body = text;
    return r;
}

Response plain(const char* text) {
    return plain(QByteArray(text));
}

namespace {

QByteArray htmlEscape(const QString& text) {
    return text.toHtmlEscaped().toUtf8();
}

// The pages' one style sheet, inline; the security policy allows it by its digest and nothing else.
const QByteArray PageStyle =
    "body{font-family:'Liberation Sans',Arial,sans-serif;max-width:34em;margin:4em auto;padding:0 1.5em;"
    "line-height:1.5;color:#222}h1{font-size:1.5em;margin-bottom:.5em}p{font-size:1.1em}";

}  // namespace

Response page(int status, const QString& title, const QString& text) {
    static const QByteArray policy = "default-src 'none'; style-src 'sha256-" +
                                     QCryptographicHash::hash(PageStyle, QCryptographicHash::Sha256).toBase64() + "'";
    Response r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.headers.append(qMakePair(QByteArray("Content-Security-Policy"), policy));
    r.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    r.headers.append(qMakePair(QByteArray("Referrer-Policy"), QByteArray("no-referrer")));
    r.body = "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\"><title>Vantoria: " + htmlEscape(title) +
             "</title><meta name=\"viewport\" content=\"width=device-width\"><style>" + PageStyle +
             "</style></head><body><h1>" + htmlEscape(title) + "</h1><p>" + htmlEscape(text) + "</p></body></html>\n";
    return r;
}

QString plainText(const JsonValue& value) {
    if (value.isText()) {
        return value.text();
    }
    if (value.isNumber()) {
        return value.number().toText(u'.');
    }
    return {};
}

std::optional<JsonValue> parse(const QByteArray& body) {
    json::ParseOutcome outcome = json::parseJsonUtf8(body);
    return std::move(outcome.value);
}

bool plainId(const QString& id) {
    return !id.isEmpty() && id.size() <= 40 && std::all_of(id.begin(), id.end(), [](QChar c) {
        return c.isDigit() || (c.unicode() < 128 && c.isLetter());
    });
}

QString clockText(qint64 secs) {
    return QDateTime::fromSecsSinceEpoch(secs).toLocalTime().toString(QStringLiteral("HH:mm"));
}

const char* tokenText(TokenStatus status) {
    switch (status) {
        case TokenStatus::Ok:
            return "";
        case TokenStatus::NotLinked:
            return texts::NotLinked;
        case TokenStatus::Relink:
            return texts::Relink;
        case TokenStatus::Unavailable:
            return texts::MarketDown;
        case TokenStatus::StoreFailure:
            return texts::StoreDown;
    }
    return texts::StoreDown;
}

}  // namespace gateway
