// The price change: rounding to the currency's places, the PUT with its checks, and the marketplace's answers
// turned into the window's sentences.

#include "GatewayParts.h"

#include <QMutexLocker>

#include <algorithm>
#include <span>

namespace gateway {

namespace {

// The sentence for a marketplace answer that did not do what was asked.
const char* causeOf(const ApiAnswer& answer) {
    switch (answer.status) {
        case 0:
            return texts::MarketDown;
        case 401:
            return texts::Relink;
        case 403:
            return texts::NotYours;
        case 404:
            return texts::NotFound;
        case 409:
            return texts::Busy;
        case 429:
            return texts::RateLimited;
        default:
            break;
    }
    if (answer.status >= 500) {
        return texts::MarketDown;
    }
    if (answer.status != 400) {
        return texts::Refused;
    }
    const std::optional<JsonValue> value = parse(answer.body);
    const Dictionary* d = value ? value->asDictionary() : nullptr;
    if (!d) {
        return texts::Refused;
    }
    if (plainText(d->Item(u"error")) == u"item.price.not_modifiable") {
        return texts::Automated;
    }
    const Collection* causes = d->Item(u"cause").asCollection();
    for (const JsonValue& cause : causes ? causes->items() : std::span<const JsonValue>{}) {
        const Dictionary* c = cause.asDictionary();
        if (!c) {
            continue;
        }
        const QString code = plainText(c->Item(u"code"));
        const QString id = plainText(c->Item(u"cause_id"));
        if (code == u"item.price.not_modifiable") {
            return texts::Automated;
        }
        if (code == u"109" || id == u"109") {
            return texts::BelowMinimum;
        }
        if (code == u"129" || id == u"129") {
            return texts::TooHigh;
        }
    }
    return texts::Refused;
}

bool hasAutomationWarning(const Dictionary& body) {
    const Collection* warnings = body.Item(u"warnings").asCollection();
    if (!warnings) {
        return false;
    }
    return std::any_of(warnings->begin(), warnings->end(), [](const JsonValue& w) {
        const Dictionary* d = w.asDictionary();
        return d && plainText(d->Item(u"code")) == u"item.price.not_modifiable";
    });
}

enum class Shown { Absent, Matches, Differs };

// Whether an item's body shows `price` everywhere it was sent, or carries no price at all.
Shown showsPrice(const Dictionary& body, const Decimal& price, bool variations) {
    if (variations) {
        const Collection* list = body.Item(u"variations").asCollection();
        if (!list || list->Count() == 0) {
            return Shown::Absent;
        }
        const bool all = std::all_of(list->begin(), list->end(), [&](const JsonValue& v) {
            const Dictionary* d = v.asDictionary();
            return d && d->Item(u"price").isNumber() && d->Item(u"price").number() == price;
        });
        return all ? Shown::Matches : Shown::Differs;
    }
    const JsonValue& p = body.Item(u"price");
    if (!p.isNumber()) {
        return Shown::Absent;
    }
    return p.number() == price ? Shown::Matches : Shown::Differs;
}

}  // namespace

std::optional<QString> roundPrice(const QString& text, int places) {
    if (text.isEmpty() || text.size() > 40 || places < 0 || places > 10) {
        return std::nullopt;
    }
    const qsizetype dot = text.indexOf(u'.');
    QString whole = dot < 0 ? text : text.left(dot);
    QString fraction = dot < 0 ? QString() : text.mid(dot + 1);
    const auto digits = [](const QString& s) {
        return std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    };
    if (whole.isEmpty() || !digits(whole) || !digits(fraction) || (dot >= 0 && fraction.isEmpty())) {
        return std::nullopt;
    }
    const bool up = fraction.size() > places && fraction.at(places) >= u'5';
    fraction = fraction.left(places);
    QString all = whole + fraction;
    if (up) {
        qsizetype i = all.size() - 1;
        while (i >= 0 && all.at(i) == u'9') {
            all[i] = u'0';
            --i;
        }
        if (i < 0) {
            all.prepend(u'1');
        } else {
            all[i] = QChar(all.at(i).unicode() + 1);
        }
    }
    whole = all.left(all.size() - fraction.size());
    fraction = all.right(fraction.size());
    while (whole.size() > 1 && whole.startsWith(u'0')) {
        whole.remove(0, 1);
    }
    while (fraction.endsWith(u'0')) {
        fraction.chop(1);
    }
    if (whole == u"0" && fraction.isEmpty()) {
        return std::nullopt;
    }
    return fraction.isEmpty() ? whole : whole + u'.' + fraction;
}

std::optional<int> Gateway::decimalPlaces(Call& c, const QString& currency) {
    {
        QMutexLocker lock(&currencyMutex_);
        const auto found = currencyPlaces_.constFind(currency);
        if (found != currencyPlaces_.cend()) {
            return *found;
        }
    }
    const ApiAnswer answer = callApi(c, "GET", "/currencies/" + currency.toUtf8());
    if (answer.status != 200) {
        return std::nullopt;
    }
    const std::optional<JsonValue> value = parse(answer.body);
    const Dictionary* d = value ? value->asDictionary() : nullptr;
    bool ok = false;
    const int places = d ? plainText(d->Item(u"decimal_places")).toInt(&ok) : 0;
    if (!ok || places < 0 || places > 10) {
        c.lastStatus = 0;
        return std::nullopt;
    }
    QMutexLocker lock(&currencyMutex_);
    currencyPlaces_.insert(currency, places);
    return places;
}

Gateway::PriceOutcome Gateway::changePrice(Call& c, const QString& item, const QString& asked) {
    const QByteArray itemPath = "/items/" + item.toUtf8();
    const auto failed = [&](const ApiAnswer& answer) -> PriceOutcome {
        if (c.tokenFailure != TokenStatus::Ok) {
            return {tokenText(c.tokenFailure), {}};
        }
        return {causeOf(answer), {}};
    };
    const ApiAnswer itemAnswer =
        callApi(c, "GET", itemPath + "?attributes=id,seller_id,status,currency_id,price,variations");
    if (itemAnswer.status != 200) {
        return failed(itemAnswer);
    }
    const std::optional<JsonValue> itemValue = parse(itemAnswer.body);
    const Dictionary* listing = itemValue ? itemValue->asDictionary() : nullptr;
    if (!listing) {
        return {texts::MarketDown, {}};
    }
    // Ownership comes from the marketplace, never from the request.
    if (plainText(listing->Item(u"seller_id")) != c.sellerId) {
        return {texts::NotYours, {}};
    }
    if (plainText(listing->Item(u"status")) != u"active") {
        return {texts::NotActive, {}};
    }
    QString currency = plainText(listing->Item(u"currency_id"));
    if (!plainId(currency)) {
        currency = QStringLiteral("VES");
    }
    const std::optional<int> places = decimalPlaces(c, currency);
    if (!places) {
        return c.tokenFailure != TokenStatus::Ok ? PriceOutcome{tokenText(c.tokenFailure), {}}
                                                 : PriceOutcome{texts::MarketDown, {}};
    }
    const std::optional<QString> rounded = roundPrice(asked, *places);
    Decimal price;
    if (!rounded || Decimal::parse(QStringView(*rounded), price) != Decimal::Status::Ok) {
        return {texts::BadPrice, {}};
    }

    Dictionary body;
    const Collection* variations = listing->Item(u"variations").asCollection();
    const bool classic = variations && variations->Count() > 0;
    if (classic) {
        // Every variation id goes with the same price: one left out would be deleted.
        Collection list;
        for (const JsonValue& v : *variations) {
            const Dictionary* d = v.asDictionary();
            if (!d || d->Item(u"id").isEmpty()) {
                return {texts::Refused, {}};
            }
            Dictionary entry;
            entry.Add(QStringLiteral("id"), d->Item(u"id"));
            entry.Add(QStringLiteral("price"), price);
            list.Add(JsonValue(std::move(entry)));
        }
        body.Add(QStringLiteral("variations"), JsonValue(std::move(list)));
    } else {
        body.Add(QStringLiteral("price"), price);
    }
    const QByteArray putBody = json::toCanonicalUtf8(JsonValue(std::move(body)));
    // What the item holds now, read back from the marketplace.
    const auto readBack = [&]() {
        const ApiAnswer check = callApi(c, "GET", itemPath + "?attributes=id,price,variations");
        const std::optional<JsonValue> checkValue = check.status == 200 ? parse(check.body) : std::nullopt;
        const Dictionary* now = checkValue ? checkValue->asDictionary() : nullptr;
        return now ? showsPrice(*now, price, classic) : Shown::Absent;
    };
    ApiAnswer put = callApi(c, "PUT", itemPath, putBody, false);
    if (put.status == 0 && c.tokenFailure == TokenStatus::Ok) {
        // No answer (time-out, dropped connection): the price may have landed. It is read back before it is sent
        // again, so it is never applied twice, and a price the marketplace holds is reported as set.
        switch (readBack()) {
            case Shown::Matches:
                return {texts::PriceSet, *rounded};
            case Shown::Absent:
                return {texts::Unconfirmed, {}};
            case Shown::Differs:
                break;
        }
        put = callApi(c, "PUT", itemPath, putBody, false);
        if (put.status == 0) {
            return {texts::Unconfirmed, {}};
        }
    }
    if (put.status != 200) {
        return failed(put);
    }
    const std::optional<JsonValue> putValue = parse(put.body);
    const Dictionary* answered = putValue ? putValue->asDictionary() : nullptr;
    if (answered && hasAutomationWarning(*answered)) {
        return {texts::Automated, {}};
    }
    Shown shown = answered ? showsPrice(*answered, price, classic) : Shown::Absent;
    if (shown == Shown::Absent) {
        // A PUT may answer an empty object; only a read of the item tells what it holds now.
        shown = readBack();
    }
    if (shown != Shown::Matches) {
        return {texts::Unconfirmed, {}};
    }
    return {texts::PriceSet, *rounded};
}

Response Gateway::price(const Request& request) {
    AuditRow row;
    row.at = request.now.toUTC().toString(Qt::ISODate);
    row.item = QString::fromUtf8(request.queryValue("item_id"));
    row.priceAsked = QString::fromUtf8(request.queryValue("precio_item"));
    Call c;
    std::optional<qint64> pending;
    const auto finish = [&](const QByteArray& text) {
        row.outcome = QString::fromUtf8(text);
        row.marketStatus = c.lastStatus;
        if (pending) {
            store_.finishAudit(*pending, row);
        } else {
            store_.addAudit(row);
        }
        return plain(text);
    };
    Session s;
    QByteArray idHash;
    const SessionState state = session(request, &s, &idHash);
    if (const char* why = refusal(state)) {
        // A store that refuses writes could not take the audit's row either.
        return state == SessionState::Broken ? plain(why) : finish(why);
    }
    row.user = s.user;
    row.sellerId = s.sellerId;
    if (request.queryValue("men") != "480613") {
        return finish(texts::NotAuthorized);
    }
    if (!plainId(row.item)) {
        return finish(texts::NotFound);
    }
    if (!roundPrice(row.priceAsked, 10)) {
        return finish(texts::BadPrice);
    }
    // The request is in the audit before the marketplace hears of it: a store that cannot write stops it here,
    // and a process that ends before the outcome leaves the row "in course" rather than no row.
    row.outcome = QString::fromUtf8(AuditPending);
    pending = store_.beginAudit(row);
    if (!pending) {
        return plain(texts::StoreDown);
    }
    c.sellerId = s.sellerId;
    c.now = request.now.toSecsSinceEpoch();
    c.start = clock_.steadyMs();
    const AccessToken token = keeper_.valid(s.sellerId, c.now);
    if (token.status != TokenStatus::Ok) {
        return finish(tokenText(token.status));
    }
    c.token = token.token;
    const PriceOutcome outcome = changePrice(c, row.item, row.priceAsked);
    row.priceSet = outcome.priceSet;
    return finish(outcome.text);
}

}  // namespace gateway
