#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <optional>

namespace gateway {

struct Account {
    QString user;
    QByteArray passwordHash;
    QString sellerId;  // empty until the account is linked
    int failures = 0;
    qint64 lockedUntil = 0;  // seconds since the epoch; 0 when not locked
};

// A seller's token pair, both sealed; the store never sees them in the clear.
struct SellerTokens {
    QByteArray accessSealed;
    QByteArray refreshSealed;
    qint64 expiresAt = 0;
    bool relink = false;  // the marketplace refused the refresh token: only a new link helps
};

struct Session {
    QString user;
    QString sellerId;
    qint64 lastSeen = 0;
    bool hasSnapshot = false;
    QStringList snapshot;
};

struct OAuthState {
    QString user;
    QByteArray linkHash;
    QByteArray verifierSealed;
};

struct AuditRow {
    QString at;  // ISO 8601, UTC
    QString user;
    QString sellerId;
    QString item;
    QString priceAsked;
    QString priceSet;
    QString outcome;
    int marketStatus = 0;
};

// The gateway's SQLite store. Every thread gets its own connection to the same file, so one Store serves the
// server's worker threads; SQLite's own locking keeps several processes on one file consistent.
class Store {
  public:
    explicit Store(QString path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens the file and creates the tables when missing.
    bool open();
    QString lastError() const;
    QString path() const { return path_; }

    // Nothing for an unknown user; `failed` tells a failing store apart from that.
    std::optional<Account> account(const QString& user, bool* failed = nullptr);
    QList<Account> accounts();
    bool addAccount(const QString& user, const QByteArray& passwordHash);
    bool setPassword(const QString& user, const QByteArray& passwordHash);
    bool removeAccount(const QString& user);
    bool setFailures(const QString& user, int failures, qint64 lockedUntil);
    // Counts one failed sign-in in one statement, so concurrent attempts all count; the `limit`th locks the account
    // until `lockUntil` and starts the count again. Returns the account's lock time afterwards (0: not locked).
    std::optional<qint64> addFailure(const QString& user, int limit, qint64 lockUntil);
    bool setSeller(const QString& user, const QString& sellerId);

    std::optional<SellerTokens> tokens(const QString& sellerId);
    bool saveTokens(const QString& sellerId, const QByteArray& accessSealed, const QByteArray& refreshSealed,
                    qint64 expiresAt);
    bool markRelink(const QString& sellerId);

    // The refresh lock of a seller: taken by one holder at a time until `until` (a crashed holder's lock lapses).
    bool tryLock(const QString& sellerId, const QByteArray& holder, qint64 now, qint64 until);
    void unlock(const QString& sellerId, const QByteArray& holder);
    // Who holds the refresh lock of a seller, if anyone.
    std::optional<QByteArray> lockHolder(const QString& sellerId);

    bool createSession(const QByteArray& idHash, const QString& user, const QString& sellerId, qint64 now);
    std::optional<Session> session(const QByteArray& idHash);
    bool touchSession(const QByteArray& idHash, qint64 now);
    bool removeSession(const QByteArray& idHash);
    bool setSnapshot(const QByteArray& idHash, const QStringList& ids);

    bool addLink(const QByteArray& linkHash, const QString& user, qint64 expiresAt);
    // The user of a link still valid at `now`.
    std::optional<QString> linkUser(const QByteArray& linkHash, qint64 now);
    bool removeLink(const QByteArray& linkHash);
    bool addState(const QByteArray& stateHash, const OAuthState& state, qint64 expiresAt);
    // The state once: it is deleted as it is read.
    std::optional<OAuthState> takeState(const QByteArray& stateHash, qint64 now);

    // Forgets sessions idle since before `idleBefore`, and links and states that have lapsed.
    void purge(qint64 now, qint64 idleBefore);

    bool addAudit(const AuditRow& row);
    // A row written before the marketplace is called, and its outcome once known.
    std::optional<qint64> beginAudit(const AuditRow& row);
    bool finishAudit(qint64 id, const AuditRow& row);
    QList<AuditRow> audit(const QString& sellerId = {});

  private:
    QSqlDatabase connection();

    QString path_;
    mutable QMutex mutex_;
    QStringList connectionNames_;
    QString lastError_;
    void setError(const QString& error);
};

}  // namespace gateway
