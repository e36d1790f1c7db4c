#pragma once

// What the simulator knows and remembers, shared by the caller's thread and the server's: accounts, listings,
// faults to play and the log of requests.

#include "Api.h"
#include "Http.h"
#include "MarketSim.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSet>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace sim {

inline bool allDigits(const QString& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

struct State {
    struct Account {
        QString password;
        QString sellerId;
    };

    mutable QMutex mutex;

    QHash<QString, Account> accounts;
    QHash<QString, QList<Listing>> listings;  // by seller, in the order added
    QHash<QString, QString> sellerOf;         // listing id -> seller id
    QMap<std::pair<QByteArray, int>, Fault> faults;
    QHash<QByteArray, int> counts;  // requests per path since start()
    QList<Request> log;
    QList<quint64> logIds;  // beside `log`, to find an entry again once its answer has gone out
    quint64 nextLogId = 1;
    QSet<QString> refuseItems;  // see MarketSim::Options
    QSet<QString> failItems;
    int slowMs = 0;
    int closureAlerts = 0;
    MarketSim::Observer observer;
    // Sessions of the gateway: when on, the sign-in opens one in a cookie and a price change needs it.
    bool sessions = false;
    QSet<QByteArray> openSessions;
    // When set, the marketplace's API double answers every request instead (market-sim --role api).
    std::unique_ptr<ApiDouble> api;
    QString error;
    quint16 port = 0;

    // Everything below expects the caller to hold `mutex`.

    std::optional<Fault> faultFor(const QByteArray& path, int nth) const {
        auto it = faults.constFind({path, nth});
        if (it == faults.cend()) {
            it = faults.constFind({path, 0});
        }
        if (it == faults.cend()) {
            return std::nullopt;
        }
        return *it;
    }

    // The standing misbehaviour of the options for a request that has no fault of its own.
    std::optional<Fault> standingFault(const Request& request) const {
        Fault f;
        const QString item = request.path == PathPrice ? request.query.value(QStringLiteral("item_id")) : QString();
        if (!item.isEmpty() && failItems.contains(item)) {
            f.kind = FaultKind::Drop;
        } else if (!item.isEmpty() && refuseItems.contains(item)) {
            f.kind = FaultKind::Refuse;
        } else if (slowMs > 0) {
            f.kind = FaultKind::Delay;
            f.millis = slowMs;
        } else {
            return std::nullopt;
        }
        return f;
    }

    quint64 append(const Request& request) {
        const quint64 id = nextLogId++;
        log.append(request);
        logIds.append(id);
        return id;
    }

    Request* entry(quint64 id) {
        for (qsizetype i = logIds.size() - 1; i >= 0; --i) {
            if (logIds[i] == id) {
                return &log[i];
            }
        }
        return nullptr;
    }

    Listing* findListing(const QString& id) {
        const auto seller = sellerOf.constFind(id);
        if (seller == sellerOf.cend()) {
            return nullptr;
        }
        QList<Listing>& list = listings[*seller];
        for (Listing& listing : list) {
            if (listing.id == id) {
                return &listing;
            }
        }
        return nullptr;
    }

    // The normal answer to a request, as the marketplace or the gateway gives it (`fault` may alter a search page).
    Answer answer(const Request& request, const std::optional<Fault>& fault);

    // The gateway (Gateway.cpp).
    Answer signIn(const Request& request);
    Answer changePrice(const Request& request);
    Answer pause() const;

    // The marketplace (Marketplace.cpp).
    Answer search(const Request& request, const std::optional<Fault>& fault) const;
};

}  // namespace sim
