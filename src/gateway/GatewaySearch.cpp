// The listing page: the seller's item ids (a snapshot kept with the session) and one page of their bodies in the
// marketplace's search format.

#include "GatewayParts.h"

#include <QSet>

#include <algorithm>
#include <span>

namespace gateway {

std::optional<QStringList> Gateway::snapshot(Call& c, const QString& sellerId) {
    QStringList ids;
    QSet<QString> seen;
    const auto take = [&](const Dictionary& page) {
        const Collection* results = page.Item(u"results").asCollection();
        int added = 0;
        for (const JsonValue& id : results ? results->items() : std::span<const JsonValue>{}) {
            const QString text = plainText(id);
            ++added;
            if (plainId(text) && !seen.contains(text)) {
                seen.insert(text);
                ids.append(text);
            }
        }
        return added;
    };
    const QByteArray base = "/users/" + sellerId.toUtf8() + "/items/search?status=active";
    const auto get = [&](const QByteArray& target) -> std::optional<JsonValue> {
        const ApiAnswer answer = callApi(c, "GET", target);
        if (answer.status != 200) {
            return std::nullopt;
        }
        std::optional<JsonValue> value = parse(answer.body);
        if (!value || !value->isDictionary()) {
            c.lastStatus = 0;
            return std::nullopt;
        }
        return value;
    };
    std::optional<JsonValue> first = get(base + "&offset=0&limit=100");
    if (!first) {
        return std::nullopt;
    }
    const qint64 total = plainText(first->dictionary().Item(u"paging").asDictionary()
                                       ? first->dictionary().Item(u"paging").dictionary().Item(u"total")
                                       : JsonValue())
                             .toLongLong();
    // Offsets end at 1,000; a larger shop is read with a scan, whose pages follow one scroll id.
    constexpr qint64 OffsetCeiling = 1000;
    if (total <= OffsetCeiling) {
        take(first->dictionary());
        for (qint64 offset = 100; offset < total; offset += 100) {
            std::optional<JsonValue> next = get(base + "&offset=" + QByteArray::number(offset) + "&limit=100");
            if (!next) {
                return std::nullopt;
            }
            if (take(next->dictionary()) == 0) {
                break;
            }
        }
        return ids;
    }
    std::optional<JsonValue> page = get(base + "&search_type=scan&limit=100");
    const qint64 maxPages = total / 100 + 10;
    for (qint64 n = 0; page && n < maxPages; ++n) {
        if (take(page->dictionary()) == 0) {
            return ids;
        }
        const QString scroll = plainText(page->dictionary().Item(u"scroll_id"));
        if (scroll.isEmpty()) {
            return ids;
        }
        page = get(base + "&search_type=scan&limit=100&scroll_id=" + formEncode(scroll.toUtf8()));
    }
    if (!page) {
        return std::nullopt;
    }
    return ids;
}

Response Gateway::search(const Request& request) {
    Session s;
    QByteArray idHash;
    if (const char* why = refusal(session(request, &s, &idHash))) {
        return plain(why);
    }
    if (QString::fromUtf8(request.queryValue("seller_id")) != s.sellerId) {
        return plain(texts::OtherSeller);
    }
    bool ok = true;
    const QByteArray offsetText = request.queryValue("offset");
    const qint64 offset = offsetText.isEmpty() ? 0 : offsetText.toLongLong(&ok);
    bool limitOk = true;
    const QByteArray limitText = request.queryValue("limit");
    const int limit = limitText.isEmpty() ? 20 : limitText.toInt(&limitOk);
    if (!ok || !limitOk || offset < 0 || limit < 1) {
        return plain(texts::BadSearch);
    }
    const int pageSize = std::min(limit, 20);

    Call c;
    c.sellerId = s.sellerId;
    c.now = request.now.toSecsSinceEpoch();
    c.start = clock_.steadyMs();
    const AccessToken token = keeper_.valid(s.sellerId, c.now);
    if (token.status != TokenStatus::Ok) {
        return plain(tokenText(token.status));
    }
    c.token = token.token;
    const auto failed = [&]() {
        if (c.tokenFailure != TokenStatus::Ok) {
            return plain(tokenText(c.tokenFailure));
        }
        return plain(c.lastStatus == 429   ? texts::RateLimited
                     : c.lastStatus == 401 ? texts::Relink
                                           : texts::MarketDown);
    };

    QStringList ids = s.snapshot;
    bool changed = false;
    // The first page fixes the list the later pages are cut from, so paging never skips or repeats a listing.
    if (offset == 0 || !s.hasSnapshot) {
        std::optional<QStringList> fresh = snapshot(c, s.sellerId);
        if (!fresh) {
            return failed();
        }
        ids = std::move(*fresh);
        changed = true;
    }

    Collection results;
    QStringList kept = ids.mid(0, static_cast<qsizetype>(std::min<qint64>(offset, ids.size())));
    qsizetype position = kept.size();
    while (position < ids.size() && results.Count() < pageSize) {
        const QStringList batch = ids.mid(position, pageSize - results.Count());
        position += batch.size();
        const ApiAnswer answer = callApi(
            c, "GET",
            "/items?ids=" + batch.join(u',').toUtf8() + "&attributes=id,title,price,currency_id,permalink,status");
        const std::optional<JsonValue> value = answer.status == 200 ? parse(answer.body) : std::nullopt;
        const Collection* entries = value ? value->asCollection() : nullptr;
        if (!entries) {
            return failed();
        }
        QHash<QString, const Dictionary*> bodies;
        for (const JsonValue& entry : *entries) {
            const Dictionary* d = entry.asDictionary();
            const Dictionary* body = d ? d->Item(u"body").asDictionary() : nullptr;
            if (body && plainText(d->Item(u"code")) == u"200") {
                bodies.insert(plainText(body->Item(u"id")), body);
            }
        }
        for (const QString& id : batch) {
            const Dictionary* body = bodies.value(id);
            if (!body) {
                // A listing the marketplace no longer returns leaves the list, so the count stays true.
                changed = true;
                continue;
            }
            Dictionary result;
            for (const char16_t* key : {u"id", u"title", u"price", u"currency_id", u"permalink"}) {
                const JsonValue& field = body->Item(key);
                result.Add(QString::fromUtf16(key), field.isEmpty() ? JsonValue::null() : field);
            }
            results.Add(JsonValue(std::move(result)));
            kept.append(id);
        }
    }
    kept += ids.mid(position);
    if (changed && !store_.setSnapshot(idHash, kept)) {
        return plain(texts::StoreDown);
    }

    const Decimal total = Decimal::fromInteger(kept.size());
    Dictionary paging;
    paging.Add(QStringLiteral("total"), total);
    paging.Add(QStringLiteral("primary_results"), total);
    paging.Add(QStringLiteral("offset"), Decimal::fromInteger(offset));
    paging.Add(QStringLiteral("limit"), Decimal::fromInteger(pageSize));
    Dictionary answer;
    answer.Add(QStringLiteral("paging"), JsonValue(std::move(paging)));
    answer.Add(QStringLiteral("results"), JsonValue(std::move(results)));
    Response r;
    r.contentType = "application/json; charset=utf-8";
    r.body = json::toCanonicalUtf8(JsonValue(std::move(answer)));
    return r;
}

}  // namespace gateway
