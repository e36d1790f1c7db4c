#pragma once

// What the gateway's endpoint files share and no one else sees: the per-request call state, the answers and
// pages they build, and the reading of the marketplace's JSON.

#include "Gateway.h"

#include "JSON.h"

#include <optional>

namespace gateway {

using json::Collection;
using json::Decimal;
using json::Dictionary;
using json::JsonValue;

// One request's dealings with the marketplace: whose token, since when, and how the last call went.
struct Gateway::Call {
    QString sellerId;
    QByteArray token;
    qint64 now = 0;
    qint64 start = 0;
    bool refreshed = false;
    TokenStatus tokenFailure = TokenStatus::Ok;
    int lastStatus = 0;
};

struct Gateway::PriceOutcome {
    QByteArray text;
    QString priceSet;
};

Response plain(const QByteArray& text);
Response plain(const char* text);
// A page for the browser: plain HTML, no scripts, nothing loaded from elsewhere.
Response page(int status, const QString& title, const QString& text);
// A JSON text or number as plain text ("." for the decimal point); empty for anything else.
QString plainText(const JsonValue& value);
std::optional<JsonValue> parse(const QByteArray& body);
// An id of ASCII letters and digits, 1 to 40 of them.
bool plainId(const QString& id);
// The local time of day ("HH:mm") of `secs` since the epoch.
QString clockText(qint64 secs);
// The sentence for a token that could not be had.
const char* tokenText(TokenStatus status);

}  // namespace gateway
