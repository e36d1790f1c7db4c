#pragma once

// A network-free stand-in for the marketplace's API behind the gateway's client seam: listings, tokens that expire
// and refresh once, and answers scripted per call.

#include "Exchange.h"
#include "Secrets.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <deque>

struct FakeItem {
    QString seller = QStringLiteral("777");
    QString status = QStringLiteral("active");
    QString currency = QStringLiteral("VES");
    QString price = QStringLiteral("10");
    int variations = 0;
    bool automated = false;
    double minimum = 0;
    QStringList variationPrices;
};

class FakeMarketplace final : public gateway::MarketplaceClient {
  public:
    struct Scripted {
        int status;
        QByteArray body;
        qint64 advanceMs = 0;  // how long the call seems to take (a time-out)
    };

    // Answers for calls whose method and path start with `prefix` ("PUT /items/"), used before the normal ones.
    void script(const QByteArray& prefix, std::deque<Scripted> answers) {
        QMutexLocker lock(&mutex);
        scripted[prefix] = std::move(answers);
    }

    void addItems(const QString& seller, int count, int first = 0) {
        QMutexLocker lock(&mutex);
        for (int i = 0; i < count; ++i) {
            const QString id = QStringLiteral("MLV%1").arg(700000000 + first + i);
            FakeItem item;
            item.seller = seller;
            items.insert(id, item);
            order.append(id);
        }
    }

    gateway::ApiAnswer send(const gateway::ApiCall& call) override {
        QMutexLocker lock(&mutex);
        calls.append(QString::fromUtf8(call.method + " " + call.target));
        bearers.append(call.bearer);
        for (auto it = scripted.begin(); it != scripted.end(); ++it) {
            if ((call.method + ' ' + call.target).startsWith(it.key()) && !it->empty()) {
                const Scripted s = it->front();
                it->pop_front();
                if (advance) {
                    advance(std::min<qint64>(s.advanceMs, call.timeoutMs));
                }
                return {s.status, s.body};
            }
        }
        const qsizetype q = call.target.indexOf('?');
        const QByteArray path = q < 0 ? call.target : call.target.left(q);
        const auto query = gateway::splitQuery(q < 0 ? QByteArrayView() : QByteArrayView(call.target).sliced(q + 1));
        const auto value = [&](const QByteArray& key) {
            for (const auto& [k, v] : query) {
                if (k == key) {
                    return v;
                }
            }
            return QByteArray();
        };
        if (call.method == "POST" && path == "/oauth/token") {
            return token(call.body);
        }
        if (path.startsWith("/currencies/")) {
            return {200, "{\"id\":\"" + path.mid(12) + "\",\"decimal_places\":" + QByteArray::number(decimals) + "}"};
        }
        if (call.bearer != access) {
            return {401, error("invalid access token", "unauthorized", 401)};
        }
        if (path == "/users/me") {
            return {200, "{\"id\":" + meId.toUtf8() + ",\"nickname\":\"TIENDA\"}"};
        }
        if (path.startsWith("/users/") && path.endsWith("/items/search")) {
            return search(path.mid(7, path.size() - 7 - 13), value("offset").toInt(), value("limit").toInt(),
                          value("search_type") == "scan", value("scroll_id"));
        }
        if (path == "/items") {
            QByteArray out = "[";
            const QList<QByteArray> ids = value("ids").split(',');
            for (const QByteArray& id : ids) {
                if (out.size() > 1) {
                    out += ',';
                }
                if (!items.contains(QString::fromUtf8(id)) || dropped.contains(QString::fromUtf8(id))) {
                    out += "{\"code\":404,\"body\":{\"message\":\"Item not found\",\"error\":\"not_found\"}}";
                } else {
                    out += "{\"code\":200,\"body\":" + itemJson(QString::fromUtf8(id)) + "}";
                }
            }
            multigets.append(ids.size());
            return {200, out + "]"};
        }
        if (path.startsWith("/items/")) {
            const QString id = QString::fromUtf8(path.mid(7));
            if (!items.contains(id)) {
                return {404, error("Item not found", "not_found", 404)};
            }
            if (call.method == "GET") {
                return {200, itemJson(id)};
            }
            return put(id, call.body);
        }
        return {404, error("not found", "not_found", 404)};
    }

    static QByteArray error(const QByteArray& message, const QByteArray& code, int status,
                            const QByteArray& cause = "[]") {
        return "{\"message\":\"" + message + "\",\"error\":\"" + code + "\",\"status\":" + QByteArray::number(status) +
               ",\"cause\":" + cause + "}";
    }

    QByteArray itemJson(const QString& id) const {
        const FakeItem& item = items[id];
        QByteArray out = "{\"id\":\"" + id.toUtf8() + "\",\"title\":\"Producto " + id.toUtf8() +
                         "\",\"seller_id\":" + item.seller.toUtf8() + ",\"price\":" + item.price.toUtf8() +
                         ",\"currency_id\":\"" + item.currency.toUtf8() + "\",\"status\":\"" + item.status.toUtf8() +
                         "\",\"permalink\":\"https://articulo.mercadolibre.com.ve/" + id.toUtf8() +
                         "\",\"variations\":[";
        for (int v = 0; v < item.variations; ++v) {
            out += (v ? "," : "") + QByteArray("{\"id\":") + QByteArray::number(5000 + v) +
                   ",\"price\":" + item.variationPrices.value(v, item.price).toUtf8() + "}";
        }
        return out + "]}";
    }

    QMutex mutex;
    QMap<QByteArray, std::deque<Scripted>> scripted;
    QHash<QString, FakeItem> items;
    QStringList order;
    QStringList dropped;
    QStringList calls;
    QList<QByteArray> bearers;
    QList<qsizetype> multigets;
    QStringList applied;  // "ITEM=PRICE" for every PUT the marketplace applied
    QByteArray access = "acc-0";
    QByteArray refresh = "ref-0";
    int refreshes = 0;
    int decimals = 2;
    QString meId = QStringLiteral("777");
    bool putAnswersEmpty = false;  // a PUT answers {} as some sites do
    bool putIgnoresPrice = false;
    QByteArray expectedChallenge;
    QByteArray goodCode = "code-1";
    std::function<void(qint64)> advance;

  private:
    gateway::ApiAnswer token(const QByteArray& body) {
        QHash<QByteArray, QByteArray> form;
        for (const auto& [k, v] : gateway::splitQuery(body)) {
            form.insert(k, gateway::percentDecode(v));
        }
        if (form.value("client_secret") != "secreto") {
            return {401, error("invalid client", "invalid_client", 401)};
        }
        if (form.value("grant_type") == "refresh_token") {
            if (form.value("refresh_token") != refresh) {
                return {400, error("Error validating grant. Your authorization code or refresh token may be expired or "
                                   "it was already used",
                                   "invalid_grant", 400)};
            }
        } else if (form.value("grant_type") == "authorization_code") {
            if (form.value("code") != goodCode ||
                gateway::pkceChallenge(form.value("code_verifier")) != expectedChallenge) {
                return {400, error("invalid code", "invalid_grant", 400)};
            }
        } else {
            return {400, error("unsupported", "unsupported_grant_type", 400)};
        }
        ++refreshes;
        access = "acc-" + QByteArray::number(refreshes);
        refresh = "ref-" + QByteArray::number(refreshes);
        return {200, "{\"access_token\":\"" + access +
                         "\",\"token_type\":\"Bearer\",\"expires_in\":21600,"
                         "\"scope\":\"offline_access read write\",\"user_id\":" +
                         meId.toUtf8() + ",\"refresh_token\":\"" + refresh + "\"}"};
    }

    gateway::ApiAnswer search(const QByteArray& seller, int offset, int limit, bool scan, const QByteArray& scroll) {
        QStringList mine;
        for (const QString& id : order) {
            if (items[id].seller == QString::fromUtf8(seller) && items[id].status == u"active") {
                mine.append(id);
            }
        }
        if (limit > 100 || (!scan && offset + limit > 1000)) {
            return {400, error("invalid offset", "bad_request", 400)};
        }
        int from = offset;
        QByteArray scrollOut;
        if (scan) {
            from = scroll.isEmpty() ? 0 : scroll.mid(1).toInt();
            scrollOut = ",\"scroll_id\":\"s" + QByteArray::number(from + limit) + "\"";
        }
        QByteArray results;
        for (int i = from; i < std::min<int>(from + limit, mine.size()); ++i) {
            results += (results.isEmpty() ? "\"" : ",\"") + mine[i].toUtf8() + "\"";
        }
        return {200, "{\"seller_id\":\"" + seller + "\",\"paging\":{\"limit\":" + QByteArray::number(limit) +
                         ",\"offset\":" + QByteArray::number(offset) + ",\"total\":" + QByteArray::number(mine.size()) +
                         "}" + scrollOut + ",\"results\":[" + results + "]}"};
    }

    gateway::ApiAnswer put(const QString& id, const QByteArray& body) {
        FakeItem& item = items[id];
        if (item.automated) {
            return {400, error("Cannot modify price on items with dynamic pricing", "item.price.not_modifiable", 400)};
        }
        // The price sent: the first number after "price":.
        const qsizetype at = body.indexOf("\"price\":");
        QByteArray price = body.mid(at + 8);
        price.truncate(price.indexOf(price.contains(',') && price.indexOf(',') < price.indexOf('}') ? ',' : '}'));
        if (price.toDouble() < item.minimum) {
            return {400,
                    error("Validation error", "validation_error", 400,
                          "[{\"cause_id\":109,\"code\":\"item.price.invalid\",\"message\":\"The category requires a "
                          "minimum price\"}]")};
        }
        if (price.toDouble() >= 9999999999.0) {
            return {400,
                    error("Validation error", "validation_error", 400,
                          "[{\"cause_id\":129,\"code\":\"item.price.invalid\",\"message\":\"Price must be less than "
                          "9999999999\"}]")};
        }
        if (item.variations > 0 && body.count("\"id\":") != item.variations) {
            return {400, error("variations missing", "validation_error", 400)};
        }
        if (!putIgnoresPrice) {
            item.price = QString::fromUtf8(price);
            item.variationPrices.clear();
            applied.append(id + u'=' + item.price);
        }
        return {200, putAnswersEmpty ? QByteArray("{}") : itemJson(id)};
    }
};
