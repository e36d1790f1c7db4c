#pragma once

// A double of the marketplace's API as a gateway meets it (market-sim --role api): the OAuth authorization page
// and token endpoint (authorization code with PKCE S256, single-use refresh tokens), the seller, the item search
// (offset pages and scan), the multiget, one item, the price change with the marketplace's refusals, and the
// currency. Sellers, items, tokens and the faults to play are its own; every call is written to a log of JSON
// lines that tests read. It answers through the simulator's HTTPS server, called with the simulator's lock held.

#include "Http.h"
#include "JsonValue.h"
#include "MarketSim.h"

#include <QFile>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace sim {

inline constexpr char ApiSiteItemPrefix[] = "MLV";
inline constexpr qint64 ApiFirstItem = 700000000;       // the seller's items: MLV700000000 + i
inline constexpr qint64 ApiFirstOtherItem = 710000000;  // the other seller's items

// Calls answered with `status` instead of their answer: the next `count` of them, or all for `millis` from the
// first one; only calls of `method` when it is not empty. The authorization page and the control paths never.
struct ApiFailure {
    int status = 503;
    int count = 0;
    int millis = 0;
    QByteArray method;
};

struct ApiOptions {
    QString seller = QStringLiteral("123456789");
    int items = 45;
    QString otherSeller = QStringLiteral("987654321");
    int otherItems = 3;
    QStringList titles;  // the titles of the seller's first items, instead of the built-in ones
    QString clientId = QStringLiteral("1234567890123456");
    QString clientSecret = QStringLiteral("secreto-de-prueba");
    QString redirectUri;         // empty: any; else the only one accepted
    QString minPrice;            // a plain decimal: below it, cause 109; empty: no minimum
    QSet<QString> automated;     // price automation on: a PUT of the price alone is refused
    QSet<QString> paused;        // status "paused"
    QSet<QString> variations;    // three classic variations each
    QSet<QString> conflictOnce;  // the first PUT on each answers 409
    int lockSeconds = 0;         // a PUT within this many seconds of the last one on the item answers 409
    int tokenSeconds = 21600;    // lifetime of an access token
    int rate = 0;                // calls a second before 429; 0: no limit
    int slowMs = 0;              // every answer (of `slowMethod`, when given) this much late
    QByteArray slowMethod;
    QList<ApiFailure> failures;
    QString logFile;  // empty: the log is kept in memory only
};

class ApiDouble {
  public:
    explicit ApiDouble(const ApiOptions& options);
    ~ApiDouble();
    ApiDouble(const ApiDouble&) = delete;
    ApiDouble& operator=(const ApiDouble&) = delete;

    // False (and why) when the log file cannot be opened for appending.
    bool openLog(QString* error);
    Answer answer(const Request& request);
    // How late the answer to `request` is to go; nothing when on time.
    std::optional<Fault> lateness(const Request& request) const;
    QList<QByteArray> logLines() const { return lines_; }

  private:
    struct Item {
        QString id;
        QString seller;
        QString title;
        QByteArray price;  // plain decimal, as last applied
        QString status = QStringLiteral("active");
        bool automated = false;
        QList<qint64> variations;
        bool conflictPending = false;
        qint64 lastPutMs = -1;
    };
    struct Token {
        QString user;
        qint64 expiresMs = 0;  // access tokens only
    };
    struct Code {
        QString user;
        QString redirectUri;
        QString challenge;
        qint64 expiresMs = 0;
    };
    struct Scroll {
        QString user;
        QString status;
        qsizetype next = 0;
        qint64 expiresMs = 0;
    };

    Answer route(const Request& request, json::Dictionary& extra);
    Answer authorization(const Request& request, json::Dictionary& extra);
    Answer token(const Request& request, json::Dictionary& extra);
    Answer search(const Request& request, const QString& user);
    Answer multiget(const Request& request) const;
    Answer change(const Request& request, Item& item, json::Dictionary& extra);
    // The seller the request's Bearer token belongs to; empty when it has none that is alive.
    QString caller(const Request& request) const;
    std::optional<Answer> failure(const Request& request);
    json::JsonValue itemBody(const Item& item, const QString& attributes) const;
    void issue(const QString& user, json::Dictionary& body, json::Dictionary& extra);
    void write(const Request& request, int status, json::Dictionary extra);
    qint64 nowMs() const;

    ApiOptions o_;
    qint64 startMs_ = 0;
    QList<Item> items_;
    QHash<QString, qsizetype> itemIndex_;
    QHash<QString, Token> access_;
    QHash<QString, Token> refresh_;
    QHash<QString, Code> codes_;
    QHash<QString, Scroll> scrolls_;
    QList<qint64> recent_;  // times of the calls of the last second, for the rate
    QList<qint64> failingSince_;
    QList<int> failuresLeft_;
    QList<QByteArray> lines_;
    std::unique_ptr<QFile> log_;
    quint64 serial_ = 0;
};

}  // namespace sim
